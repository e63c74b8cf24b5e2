#include "ci/uThreadUtils.h"

#include <pthread.h>

#include <algorithm>
#include <exception>

#include "ci/uCI_Library.h"
#include "ci/uStrUtils.h"

namespace uThreadUtils {

namespace {
std::mutex gRunnerListMutex;
std::shared_ptr<TThreadRunnerList> gRunnerList;

std::shared_ptr<TThreadRunnerList> CurrentRunnerList() {
  std::lock_guard lock(gRunnerListMutex);
  return gRunnerList;
}

bool EndsWithThreadWord(std::string_view name) {
  return uStrUtils::EndsWithIgnoreAsciiCase(name, " thread");
}
}  // namespace

std::string CutThreadName(std::string_view name) {
  if (name.size() <= kMaxThreadNameBytes) return std::string(name);
  if (EndsWithThreadWord(name)) name.remove_suffix(7);
  if (name.size() <= kMaxThreadNameBytes) return std::string(name);
  std::size_t cut = kMaxThreadNameBytes;
  // Step back over UTF-8 continuation bytes so that no character is split.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return std::string(name.substr(0, cut));
}

void SetCurrentThreadName(std::string_view name) {
  const std::string cut = CutThreadName(name);
  pthread_setname_np(pthread_self(), cut.c_str());
}

std::string GetCurrentThreadName() {
  char buf[64] = {};
  if (pthread_getname_np(pthread_self(), buf, sizeof buf) != 0) return {};
  return buf;
}

void Sleep(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- TEvent

void TEvent::SetEvent() {
  // Notified under the lock, so a waiter that wakes and frees the event cannot pull it away
  // from under this call.
  std::lock_guard lock(mutex_);
  set_ = true;
  if (autoReset_)
    cv_.notify_one();
  else
    cv_.notify_all();
}

void TEvent::ResetEvent() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool TEvent::WaitFor(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; }))
    return false;
  if (autoReset_) set_ = false;
  return true;
}

// ---- TThread

TThread::TThread() : state_(std::make_shared<TState>()) {}

TThread::~TThread() {
  Terminate();
  std::lock_guard lock(joinMutex_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();  // destroyed from its own body: it cannot wait for itself
  else
    thread_.join();
}

void TThread::Start() {
  std::lock_guard lock(joinMutex_);
  if (thread_.joinable() || state_->finished) return;
  thread_ = std::thread([this, state = state_] {
    try {
      Execute();
    } catch (...) {
      // A body must not take the process down; derived classes report their own failures.
    }
    state->finished = true;
  });
}

void TThread::Terminate() noexcept {
  state_->terminated = true;
}
bool TThread::Terminated() const noexcept {
  return state_->terminated;
}
bool TThread::Finished() const noexcept {
  return state_->finished;
}

bool TThread::IsCurrentThread() const noexcept {
  return thread_.get_id() == std::this_thread::get_id();
}

void TThread::WaitFor() {
  std::lock_guard lock(joinMutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TThread::TerminateAndWait() {
  Terminate();
  WaitFor();
}

// ---- TNamedThread

void TNamedThread::SetName(std::string_view name) {
  name_ = std::string(name);
  SetCurrentThreadName(name_);
}

// ---- TThreadRunner

TThreadRunner::TThreadRunner(std::string runnerName, TRunnerMethod workerMethod,
                             TRunnerFailureMethod onFailure)
    : runnerName_(std::move(runnerName)),
      createdAt_(std::chrono::system_clock::now()),
      workerMethod_(workerMethod),
      onFailure_(onFailure),
      list_(CurrentRunnerList()) {
  if (list_) list_->Add(this);
  Start();
}

TThreadRunner::~TThreadRunner() {
  if (list_) list_->Remove(this);
  TerminateAndWait();
}

std::string TThreadRunner::FailureMessage() const {
  std::lock_guard lock(failureMutex_);
  return failureMessage_;
}

void TThreadRunner::Execute() {
  SetName(runnerName_);
  std::string failure;
  try {
    if (workerMethod_.IsAssigned()) workerMethod_(*this);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  if (failure.empty()) return;
  {
    std::lock_guard lock(failureMutex_);
    failureMessage_ = failure;
  }
  // The last use of this object: the owner may free it (and with it this runner) from
  // inside the call.
  const TRunnerFailureMethod onFailure = onFailure_;
  try {
    if (onFailure.IsAssigned()) onFailure(*this, failure);
  } catch (...) {
    // The thread ends either way.
  }
}

// ---- TThreadRunnerList

void TThreadRunnerList::Add(TThreadRunner* runner) {
  std::lock_guard lock(mutex_);
  runners_.push_back(runner);
}

void TThreadRunnerList::Remove(TThreadRunner* runner) {
  std::lock_guard lock(mutex_);
  auto it = std::find(runners_.begin(), runners_.end(), runner);
  if (it != runners_.end()) runners_.erase(it);
}

std::vector<TThreadRunner*> TThreadRunnerList::Snapshot() const {
  std::lock_guard lock(mutex_);
  return runners_;
}

std::size_t TThreadRunnerList::Count() const {
  std::lock_guard lock(mutex_);
  return runners_.size();
}

std::shared_ptr<TThreadRunnerList> ThreadRunnerList() {
  auto list = CurrentRunnerList();
  if (!list) throw uCI_Library::ECILibraryError();
  return list;
}

namespace detail {
void StartThreadRunnerList() {
  std::lock_guard lock(gRunnerListMutex);
  gRunnerList = std::make_shared<TThreadRunnerList>();
}

void EndThreadRunnerList() {
  std::shared_ptr<TThreadRunnerList> last;  // freed outside the lock
  std::lock_guard lock(gRunnerListMutex);
  last = std::move(gRunnerList);
}
}  // namespace detail

}  // namespace uThreadUtils
