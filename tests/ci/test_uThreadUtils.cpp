#include "ci/uThreadUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

using uThreadUtils::TThreadRunner;

TEST(ThreadUtilsName, CutToWhatLinuxKeeps) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"HID work thread", "HID work thread"},          // exactly 15 bytes
      {"CI Data Receive Thread", "CI Data Receive"},   // " Thread" dropped
      {"Object Destroyer Thread", "Object Destroye"},  // then cut to 15 bytes
      {"A very long name for a worker", "A very long nam"},
      {"Short", "Short"},
      {"", ""},
      // Not split inside a character: "é" is two bytes at offsets 14 and 15.
      {"abcdefghijklmn\xC3\xA9xyz", "abcdefghijklmn"},
  };
  for (const Case& c : cases) EXPECT_EQ(uThreadUtils::CutThreadName(c.name), c.expected) << c.name;
}

TEST(ThreadUtilsName, NamesTheCallingThread) {
  std::string seen;
  std::thread t([&] {
    uThreadUtils::SetCurrentThreadName("CI Data Receive Thread");
    seen = uThreadUtils::GetCurrentThreadName();
  });
  t.join();
  EXPECT_EQ(seen, "CI Data Receive");
}

TEST(ThreadUtilsEvent, AutoResetWakesOnceManualStaysSet) {
  uThreadUtils::TEvent autoReset(true);
  EXPECT_FALSE(autoReset.WaitFor(0));
  autoReset.SetEvent();
  EXPECT_TRUE(autoReset.WaitFor(0));
  EXPECT_FALSE(autoReset.WaitFor(0));

  uThreadUtils::TEvent manual(false);
  manual.SetEvent();
  EXPECT_TRUE(manual.WaitFor(0));
  EXPECT_TRUE(manual.WaitFor(0));
  manual.ResetEvent();
  EXPECT_FALSE(manual.WaitFor(0));

  uThreadUtils::TEvent crossThread(true);
  std::thread setter([&] { crossThread.SetEvent(); });
  EXPECT_TRUE(crossThread.WaitFor(5000));
  setter.join();
}

namespace {
// Worker methods for the runner tests.
struct TWorker {
  std::atomic<int> runs{0};
  std::string threadName;
  std::promise<void> started;

  void RunUntilTerminated(TThreadRunner& runner) {
    threadName = uThreadUtils::GetCurrentThreadName();
    ++runs;
    started.set_value();
    while (!runner.Terminated()) uThreadUtils::Sleep(1);
  }
  void Throw(TThreadRunner&) {
    ++runs;
    throw std::runtime_error("worker failed");
  }

  // What the owner hears of its runner's end.
  std::vector<std::string> failures;
  bool failureOnRunnersThread = false;
  TThreadRunner* failed = nullptr;
  void OnFailure(TThreadRunner& runner, const std::string& message) {
    failures.push_back(message);
    failed = &runner;
    failureOnRunnersThread = uThreadUtils::GetCurrentThreadName() == runner.RunnerName();
  }
};
}  // namespace

TEST(ThreadUtilsRunner, RunsItsMethodOnceUnderItsNameWhileListed) {
  TWorker worker;
  const auto list = uThreadUtils::ThreadRunnerList();
  ASSERT_NE(list, nullptr);
  const std::size_t before = list->Count();
  {
    TThreadRunner runner("HID work thread",
                         uThreadUtils::TRunnerMethod(&worker, &TWorker::RunUntilTerminated));
    worker.started.get_future().wait();
    EXPECT_EQ(list->Count(), before + 1);
    EXPECT_EQ(runner.RunnerName(), "HID work thread");
    EXPECT_LE(runner.CreatedAt(), std::chrono::system_clock::now());
    EXPECT_FALSE(runner.Finished());
  }  // destruction asks the method to return and waits for it
  EXPECT_EQ(worker.runs, 1);
  EXPECT_EQ(worker.threadName, "HID work thread");
  EXPECT_EQ(list->Count(), before);
}

TEST(ThreadUtilsRunner, AThrowingMethodEndsTheThreadNormallyAndTellsTheOwner) {
  TWorker worker;
  TThreadRunner runner("Failing runner", uThreadUtils::TRunnerMethod(&worker, &TWorker::Throw),
                       uThreadUtils::TRunnerFailureMethod(&worker, &TWorker::OnFailure));
  runner.WaitFor();
  EXPECT_TRUE(runner.Finished());
  EXPECT_EQ(worker.runs, 1);
  EXPECT_EQ(runner.FailureMessage(), "worker failed");
  EXPECT_EQ(worker.failures, std::vector<std::string>{"worker failed"});
  EXPECT_EQ(worker.failed, &runner);
  EXPECT_TRUE(worker.failureOnRunnersThread);
}

TEST(ThreadUtilsRunner, WithoutAMethodItJustEnds) {
  TWorker owner;
  TThreadRunner runner("Idle runner", uThreadUtils::TRunnerMethod(),
                       uThreadUtils::TRunnerFailureMethod(&owner, &TWorker::OnFailure));
  runner.WaitFor();
  EXPECT_TRUE(runner.Finished());
  EXPECT_EQ(runner.FailureMessage(), "");
  EXPECT_TRUE(owner.failures.empty());  // no failure to tell
}
