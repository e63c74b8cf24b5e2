#include "ci/uSynchronizer.h"

#include <algorithm>

namespace uSynchronizer {

// ---- TMultiReadExclusiveWriteSynchronizer

TMultiReadExclusiveWriteSynchronizer::TReader* TMultiReadExclusiveWriteSynchronizer::FindReader(
    std::thread::id id) {
  for (TReader& r : readers_)
    if (r.id == id) return &r;
  return nullptr;
}

const TMultiReadExclusiveWriteSynchronizer::TReader*
TMultiReadExclusiveWriteSynchronizer::FindReader(std::thread::id id) const {
  for (const TReader& r : readers_)
    if (r.id == id) return &r;
  return nullptr;
}

bool TMultiReadExclusiveWriteSynchronizer::OtherReadersActive(std::thread::id me) const {
  return std::any_of(readers_.begin(), readers_.end(),
                     [me](const TReader& r) { return r.id != me && !r.waitingToWrite; });
}

void TMultiReadExclusiveWriteSynchronizer::BeginRead() {
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (TReader* r = FindReader(me)) {
    ++r->depth;
    return;
  }
  if (writer_ != me)
    changed_.wait(lock, [&] { return writer_ == std::thread::id{} && waitingWriters_ == 0; });
  readers_.push_back({me, 1, false});
}

bool TMultiReadExclusiveWriteSynchronizer::EndRead() {
  const auto me = std::this_thread::get_id();
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(readers_.begin(), readers_.end(),
                           [me](const TReader& r) { return r.id == me; });
    if (it == readers_.end()) return false;
    if (--it->depth > 0) return true;
    readers_.erase(it);
  }
  changed_.notify_all();
  return true;
}

bool TMultiReadExclusiveWriteSynchronizer::BeginWrite() {
  const auto me = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writer_ == me) {
    ++writeDepth_;
    return true;
  }
  const std::uint32_t seen = revision_;
  const std::uint64_t ticket = nextTicket_++;
  ++waitingWriters_;
  if (TReader* r = FindReader(me)) r->waitingToWrite = true;
  const auto free = [&] {
    return ticket == servingTicket_ && writer_ == std::thread::id{} && !OtherReadersActive(me);
  };
  if (!free()) {
    // Other waiting writers may now pass readers that are waiting to write.
    changed_.notify_all();
    changed_.wait(lock, free);
  }
  ++servingTicket_;
  --waitingWriters_;
  if (TReader* r = FindReader(me)) r->waitingToWrite = false;
  writer_ = me;
  writeDepth_ = 1;
  ++revision_;
  return revision_ == seen + 1;
}

bool TMultiReadExclusiveWriteSynchronizer::EndWrite() {
  {
    std::lock_guard lock(mutex_);
    if (writer_ != std::this_thread::get_id()) return false;
    if (--writeDepth_ > 0) return true;
    writer_ = std::thread::id{};
  }
  changed_.notify_all();
  return true;
}

std::uint32_t TMultiReadExclusiveWriteSynchronizer::RevisionLevel() const {
  std::lock_guard lock(mutex_);
  return revision_;
}

int TMultiReadExclusiveWriteSynchronizer::ThreadReadDepth() const {
  std::lock_guard lock(mutex_);
  const TReader* r = FindReader(std::this_thread::get_id());
  return r ? r->depth : 0;
}

int TMultiReadExclusiveWriteSynchronizer::WaitingWriters() const {
  std::lock_guard lock(mutex_);
  return waitingWriters_;
}

bool TMultiReadExclusiveWriteSynchronizer::IsWriter() const {
  std::lock_guard lock(mutex_);
  return writer_ == std::this_thread::get_id();
}

// ---- EMultiReadExclusiveWriteSynchronizerExtendedException

std::string EMultiReadExclusiveWriteSynchronizerExtendedException::FormatMessage(
    const std::string& lockName, int errorIndex) {
  switch (errorIndex) {
    case 0:
      return lockName + " is currently locked for reading!";
    case 1:
      return lockName + " is not locked for writing!";
    case 2:
      return lockName + " is not locked for reading!";
    default:
      return "Unknown error " + std::to_string(errorIndex);
  }
}

EMultiReadExclusiveWriteSynchronizerExtendedException::
    EMultiReadExclusiveWriteSynchronizerExtendedException(std::string lockName, int errorIndex)
    : std::runtime_error(FormatMessage(lockName, errorIndex)),
      lockName_(std::move(lockName)),
      errorIndex_(errorIndex) {}

// ---- TMultiReadExclusiveWriteSynchronizerExtended

TMultiReadExclusiveWriteSynchronizerExtended::TMultiReadExclusiveWriteSynchronizerExtended(
    std::string lockName)
    : lockName_(std::move(lockName)) {}

void TMultiReadExclusiveWriteSynchronizerExtended::Fail(int errorIndex) const {
  throw EMultiReadExclusiveWriteSynchronizerExtendedException(lockName_, errorIndex);
}

int TMultiReadExclusiveWriteSynchronizerExtended::BeginRead() {
  inner_.BeginRead();
  return ++readCount_;
}

void TMultiReadExclusiveWriteSynchronizerExtended::EndRead() {
  // The counts are checked per thread, so a misuse never releases another thread's hold
  // and never leaves a count below zero.
  if (inner_.ThreadReadDepth() == 0) Fail(2);
  --readCount_;
  inner_.EndRead();
}

bool TMultiReadExclusiveWriteSynchronizerExtended::BeginWriteEx(bool check) {
  // Checked before taking the lock: the result is the same as taking and undoing it, without
  // waiting for other readers first.
  if (check && inner_.ThreadReadDepth() > 0) Fail(0);
  const bool undisturbed = inner_.BeginWrite();
  ++writeCount_;
  return undisturbed;
}

void TMultiReadExclusiveWriteSynchronizerExtended::EndWrite() {
  if (!inner_.IsWriter()) Fail(1);
  --writeCount_;
  inner_.EndWrite();
}

}  // namespace uSynchronizer
