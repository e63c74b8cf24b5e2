#pragma once
// Thread helpers: thread naming, a waitable event, a joinable thread class with cooperative
// termination, the named worker thread TThreadRunner and the process-wide runner list.
//
// Threads are always joined by their owner; a thread is never detached except when it is
// destroyed from its own body, which the object destroyer exists to avoid.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ci/uMethod.h"

namespace uThreadUtils {

// Linux keeps at most 15 bytes of a thread name.
inline constexpr std::size_t kMaxThreadNameBytes = 15;

// The name Linux is given for `name`: a longer name first loses a trailing " Thread" word
// (any case), then is cut to 15 bytes without splitting a UTF-8 sequence.
// "CI Data Receive Thread" -> "CI Data Receive", "HID work thread" stays as it is.
std::string CutThreadName(std::string_view name);

// Names the calling thread (pthread_setname_np) with CutThreadName(name).
void SetCurrentThreadName(std::string_view name);
// The calling thread's name as the system holds it.
std::string GetCurrentThreadName();

// Sleeps the calling thread for ms milliseconds.
void Sleep(std::uint32_t ms);

// Waitable event; an auto-reset event wakes one waiter and resets itself.
class TEvent {
 public:
  explicit TEvent(bool autoReset = true, bool initiallySet = false)
      : autoReset_(autoReset), set_(initiallySet) {}
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // True when the event was signalled within timeoutMs.
  bool WaitFor(std::uint32_t timeoutMs);

 private:
  const bool autoReset_;
  bool set_;
  std::mutex mutex_;
  std::condition_variable cv_;
};

// A joinable thread whose body is Execute. Start it once the most derived object is fully
// built; every derived class whose Execute touches its own members calls TerminateAndWait()
// in its destructor, before those members go.
class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Start();
  // Asks the body to return; the body polls Terminated().
  void Terminate() noexcept;
  bool Terminated() const noexcept;
  // Waits until the body has returned. Called on the thread itself it does not wait.
  void WaitFor();
  void TerminateAndWait();
  bool Finished() const noexcept;
  bool IsCurrentThread() const noexcept;

 protected:
  virtual void Execute() = 0;

 private:
  // Kept apart from the object so the thread's last steps never touch a freed TThread.
  struct TState {
    std::atomic<bool> terminated{false};
    std::atomic<bool> finished{false};
  };
  std::shared_ptr<TState> state_;
  std::thread thread_;
  std::mutex joinMutex_;
};

// A thread with a name that it gives itself.
class TNamedThread : public TThread {
 public:
  const std::string& Name() const noexcept { return name_; }

 protected:
  // Stores the name and names the calling thread, so call it from the thread's body.
  void SetName(std::string_view name);

 private:
  std::string name_;
};

class TThreadRunner;
class TThreadRunnerList;
using TRunnerMethod = uMethod::TMethod<void(TThreadRunner&)>;
// Told, on the runner's own thread, that the method ended with an exception, and what it said.
using TRunnerFailureMethod = uMethod::TMethod<void(TThreadRunner&, const std::string& message)>;

// A named thread that runs one method once. It starts running at construction and is
// listed in the process-wide runner list while it lives. The method is expected to return
// soon after Terminated() becomes true. An exception that ends the method ends the thread
// normally and goes to onFailure, so that the owner learns its thread has died.
class TThreadRunner final : public TNamedThread {
 public:
  TThreadRunner(std::string runnerName, TRunnerMethod workerMethod,
                TRunnerFailureMethod onFailure = {});
  ~TThreadRunner() override;

  const std::string& RunnerName() const noexcept { return runnerName_; }
  std::chrono::system_clock::time_point CreatedAt() const noexcept { return createdAt_; }
  // What ended the method with an exception, empty when it returned normally.
  std::string FailureMessage() const;

 protected:
  void Execute() override;

 private:
  const std::string runnerName_;
  const std::chrono::system_clock::time_point createdAt_;
  const TRunnerMethod workerMethod_;
  const TRunnerFailureMethod onFailure_;
  const std::shared_ptr<TThreadRunnerList> list_;  // the list it is on, kept until it leaves
  mutable std::mutex failureMutex_;
  std::string failureMessage_;
};

// Thread-safe list of the live runners; one per library scope.
class TThreadRunnerList {
 public:
  void Add(TThreadRunner* runner);
  void Remove(TThreadRunner* runner);
  std::vector<TThreadRunner*> Snapshot() const;
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::vector<TThreadRunner*> runners_;
};

// The process-wide runner list; outside the library scope uCI_Library::ECILibraryError.
// Runners made outside the scope are on no list.
std::shared_ptr<TThreadRunnerList> ThreadRunnerList();

namespace detail {
// Created and let go of by the library scope; runners still alive keep the list they are on.
void StartThreadRunnerList();
void EndThreadRunnerList();
}  // namespace detail

}  // namespace uThreadUtils
