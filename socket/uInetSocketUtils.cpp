#include "socket/uInetSocketUtils.h"

#include <memory>

namespace uInetSocketUtils {

TInetSocketPacketQueue::~TInetSocketPacketQueue() {
  Clear();
}

void TInetSocketPacketQueue::DropOldestLocked() {
  delete queue_.Pop();
}

void TInetSocketPacketQueue::Push(const TInetSocketPacket& packet) {
  std::lock_guard lock(mutex_);
  if (capacity_ == 0) return;
  auto copy = std::make_unique<TInetSocketPacket>(packet);
  queue_.Push(copy.get());  // stores nothing when it raises, so the copy goes with `copy`
  static_cast<void>(copy.release());
  if (capacity_ > 0 && queue_.Count() > capacity_) DropOldestLocked();
}

bool TInetSocketPacketQueue::Pop(TInetSocketPacket& packet) {
  std::lock_guard lock(mutex_);
  if (queue_.IsEmpty()) return false;
  const std::unique_ptr<TInetSocketPacket> oldest(queue_.Pop());
  packet = std::move(*oldest);
  return true;
}

void TInetSocketPacketQueue::ClearLocked() {
  while (!queue_.IsEmpty()) DropOldestLocked();
  queue_.Clear();  // gives the storage back too
}

void TInetSocketPacketQueue::Clear() {
  std::lock_guard lock(mutex_);
  ClearLocked();
}

void TInetSocketPacketQueue::SetCapacity(int capacity) {
  std::lock_guard lock(mutex_);
  capacity_ = capacity;
  if (capacity == 0) ClearLocked();
  while (capacity > 0 && queue_.Count() > capacity) DropOldestLocked();
}

int TInetSocketPacketQueue::Capacity() const {
  std::lock_guard lock(mutex_);
  return capacity_;
}

int TInetSocketPacketQueue::Count() const {
  std::lock_guard lock(mutex_);
  return queue_.Count();
}

}  // namespace uInetSocketUtils
