#include "ci/uSynchronizer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Lock = uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended;
using LockError = uSynchronizer::EMultiReadExclusiveWriteSynchronizerExtendedException;

// How long a thread that should be blocked is watched, and how long a thread that should get
// through may take before the lock counts as hung.
constexpr auto kBlockedWindow = 30ms;
constexpr auto kHangLimit = 5s;

// Names each parameterized case after its name field.
struct CaseName {
  template <class T>
  std::string operator()(const testing::TestParamInfo<T>& param) const {
    return param.param.name;
  }
};

// Runs fn on a detached thread and hands back its result, so a test can bound its wait and
// fail on a hang instead of blocking the run. fn keeps what it uses alive by value.
template <class F>
auto Spawn(F fn) -> std::future<std::invoke_result_t<F&>> {
  std::packaged_task<std::invoke_result_t<F&>()> task(std::move(fn));
  auto result = task.get_future();
  std::thread(std::move(task)).detach();
  return result;
}

template <class T>
bool FinishesInTime(std::future<T>& f) {
  return f.wait_for(kHangLimit) == std::future_status::ready;
}

template <class T>
bool StaysBlocked(std::future<T>& f) {
  return f.wait_for(kBlockedWindow) == std::future_status::timeout;
}

// The lock error that fn raises, if any.
template <class F>
std::optional<LockError> LockErrorOf(F&& fn) {
  try {
    fn();
  } catch (const LockError& e) {
    return e;
  }
  return std::nullopt;
}

using LockAction = void (*)(Lock&);
void ReadOnce(Lock& lock) {
  lock.BeginRead();
  lock.EndRead();
}
void WriteOnce(Lock& lock) {
  lock.BeginWrite();
  lock.EndWrite();
}

class SynchronizerTest : public testing::Test {
 protected:
  // Whether another thread takes the lock and releases it again in time.
  bool OtherThreadCan(LockAction action) {
    auto done = Spawn([lock = lock_, action] { action(*lock); });
    if (!FinishesInTime(done)) return false;
    done.get();
    return true;
  }
  void ExpectCounts(int reads, int writes) {
    EXPECT_EQ(lock_->GetReadCount(), reads);
    EXPECT_EQ(lock_->GetWriteCount(), writes);
  }

  // Shared with the spawned threads, which may outlive a failed test.
  std::shared_ptr<Lock> lock_ = std::make_shared<Lock>("TTestProvider");
};

TEST_F(SynchronizerTest, BeginWriteWhileReadingRaisesAndLeavesTheLockAsItWas) {
  EXPECT_EQ(lock_->BeginRead(), 1);
  for (auto begin : {+[](Lock& l) { l.BeginWrite(); }, +[](Lock& l) { l.BeginWriteEx(true); }}) {
    const auto error = LockErrorOf([&] { begin(*lock_); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->ErrorIndex(), 0);
    EXPECT_EQ(error->LockName(), "TTestProvider");
    EXPECT_STREQ(error->what(), "TTestProvider is currently locked for reading!");
    ExpectCounts(1, 0);
    EXPECT_EQ(lock_->GetRevisionLevel(), 0u);
  }
  EXPECT_TRUE(OtherThreadCan(ReadOnce));
  lock_->EndRead();
  ExpectCounts(0, 0);
  EXPECT_TRUE(OtherThreadCan(WriteOnce));
}

TEST_F(SynchronizerTest, ReaderBecomesWriterWithoutTheCheck) {
  lock_->BeginRead();
  EXPECT_TRUE(lock_->BeginWriteEx(false));
  ExpectCounts(1, 1);

  auto reader = Spawn([lock = lock_] { ReadOnce(*lock); });
  EXPECT_TRUE(StaysBlocked(reader));
  lock_->EndWrite();
  // Back to a plain shared hold: readers get in again.
  EXPECT_TRUE(FinishesInTime(reader));
  ExpectCounts(1, 0);
  lock_->EndRead();
  ExpectCounts(0, 0);
  EXPECT_TRUE(OtherThreadCan(WriteOnce));
}

struct UnbalancedCase {
  const char* name;
  LockAction begin;
  LockAction end;
  int depth;  // matched begin/end pairs before the extra end
  int errorIndex;
  const char* message;
};

class SynchronizerUnbalancedTest : public SynchronizerTest,
                                   public testing::WithParamInterface<UnbalancedCase> {};

TEST_P(SynchronizerUnbalancedTest, ExtraEndRaisesAndTheLockStaysUsable) {
  const UnbalancedCase& c = GetParam();
  for (int i = 0; i < c.depth; ++i) c.begin(*lock_);
  for (int i = 0; i < c.depth; ++i) EXPECT_NO_THROW(c.end(*lock_));
  ExpectCounts(0, 0);

  const auto error = LockErrorOf([&] { c.end(*lock_); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorIndex(), c.errorIndex);
  EXPECT_EQ(error->LockName(), "TTestProvider");
  EXPECT_STREQ(error->what(), c.message);
  ExpectCounts(0, 0);

  c.begin(*lock_);
  EXPECT_NO_THROW(c.end(*lock_));
  ExpectCounts(0, 0);
  EXPECT_TRUE(OtherThreadCan(WriteOnce));
}

INSTANTIATE_TEST_SUITE_P(
    Synchronizer, SynchronizerUnbalancedTest,
    testing::Values(UnbalancedCase{"NestedWrites", [](Lock& l) { l.BeginWrite(); },
                                   [](Lock& l) { l.EndWrite(); }, 2, 1,
                                   "TTestProvider is not locked for writing!"},
                    UnbalancedCase{"NeverWritten", [](Lock& l) { l.BeginWrite(); },
                                   [](Lock& l) { l.EndWrite(); }, 0, 1,
                                   "TTestProvider is not locked for writing!"},
                    UnbalancedCase{"NestedReads", [](Lock& l) { l.BeginRead(); },
                                   [](Lock& l) { l.EndRead(); }, 2, 2,
                                   "TTestProvider is not locked for reading!"},
                    UnbalancedCase{"NeverRead", [](Lock& l) { l.BeginRead(); },
                                   [](Lock& l) { l.EndRead(); }, 0, 2,
                                   "TTestProvider is not locked for reading!"}),
    CaseName{});

TEST_F(SynchronizerTest, EndFromAThreadWithoutTheHoldRaisesAndKeepsTheHolder) {
  struct Case {
    const char* name;
    bool holderWrites;
    LockAction misuse;
    int errorIndex;
  };
  const Case cases[] = {
      {"EndWrite while another thread writes", true, [](Lock& l) { l.EndWrite(); }, 1},
      {"EndRead while another thread writes", true, [](Lock& l) { l.EndRead(); }, 2},
      {"EndRead while another thread reads", false, [](Lock& l) { l.EndRead(); }, 2},
      {"EndWrite while another thread reads", false, [](Lock& l) { l.EndWrite(); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.holderWrites ? void(lock_->BeginWrite()) : void(lock_->BeginRead());

    auto misuse = Spawn([lock = lock_, action = c.misuse] {
      const auto error = LockErrorOf([&] { action(*lock); });
      return error ? error->ErrorIndex() : -1;
    });
    ASSERT_TRUE(FinishesInTime(misuse));
    EXPECT_EQ(misuse.get(), c.errorIndex);
    ExpectCounts(c.holderWrites ? 0 : 1, c.holderWrites ? 1 : 0);

    // The holder still owns its hold, so releasing it works.
    EXPECT_NO_THROW(c.holderWrites ? lock_->EndWrite() : lock_->EndRead());
    ExpectCounts(0, 0);
    EXPECT_TRUE(OtherThreadCan(WriteOnce));
  }
}

TEST_F(SynchronizerTest, WriterReadsNestedButCannotWriteNestedWhileReading) {
  // On its own thread, so a writer blocking on its own shared hold fails instead of hanging.
  auto done = Spawn([lock = lock_] {
    lock->BeginWrite();
    const int reads = lock->BeginRead();
    const auto error = LockErrorOf([&] { lock->BeginWrite(); });
    const int writes = lock->GetWriteCount();
    lock->EndRead();
    EXPECT_NO_THROW(lock->BeginWrite());
    lock->EndWrite();
    lock->EndWrite();
    return std::tuple{reads, writes, error ? error->ErrorIndex() : -1};
  });
  ASSERT_TRUE(FinishesInTime(done));
  const auto [reads, writes, errorIndex] = done.get();
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(errorIndex, 0);
  ExpectCounts(0, 0);
  EXPECT_TRUE(OtherThreadCan(WriteOnce));
}

TEST(SynchronizerErrors, MessagesNameTheLock) {
  const std::pair<int, const char*> cases[] = {
      {0, "TSlotList is currently locked for reading!"},
      {1, "TSlotList is not locked for writing!"},
      {2, "TSlotList is not locked for reading!"},
      {3, "Unknown error 3"},
      {-1, "Unknown error -1"},
  };
  for (const auto& [index, message] : cases) {
    SCOPED_TRACE(index);
    EXPECT_EQ(LockError::FormatMessage("TSlotList", index), message);
    const LockError error("TSlotList", index);
    EXPECT_STREQ(error.what(), message);
    EXPECT_EQ(error.LockName(), "TSlotList");
    EXPECT_EQ(error.ErrorIndex(), index);
  }
}

struct ExclusionCase {
  const char* name;
  bool holderWrites;
  LockAction contender;
  bool waits;
};

class SynchronizerExclusionTest : public SynchronizerTest,
                                  public testing::WithParamInterface<ExclusionCase> {};

TEST_P(SynchronizerExclusionTest, ContenderWaitsForTheHolder) {
  const ExclusionCase& c = GetParam();
  c.holderWrites ? void(lock_->BeginWrite()) : void(lock_->BeginRead());

  auto started = std::make_shared<std::promise<void>>();
  auto startedFuture = started->get_future();
  auto contender = Spawn([lock = lock_, started, action = c.contender] {
    started->set_value();
    action(*lock);
  });
  startedFuture.wait();
  if (c.waits)
    EXPECT_TRUE(StaysBlocked(contender)) << "the contender got in while the lock was held";
  else
    EXPECT_TRUE(FinishesInTime(contender)) << "the contender did not get in beside the holder";

  c.holderWrites ? lock_->EndWrite() : lock_->EndRead();
  ASSERT_TRUE(FinishesInTime(contender)) << "the contender did not get in after the release";
  contender.get();
  ExpectCounts(0, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Synchronizer, SynchronizerExclusionTest,
    testing::Values(ExclusionCase{"WriterKeepsReaderOut", true, ReadOnce, true},
                    ExclusionCase{"WriterKeepsWriterOut", true, WriteOnce, true},
                    ExclusionCase{"ReaderKeepsWriterOut", false, WriteOnce, true},
                    ExclusionCase{"ReaderKeepsPromotingReaderOut", false,
                                  [](Lock& l) {
                                    l.BeginRead();
                                    l.BeginWriteEx(false);
                                    l.EndWrite();
                                    l.EndRead();
                                  },
                                  true},
                    ExclusionCase{"ReadersShare", false, ReadOnce, false}),
    CaseName{});

TEST(SynchronizerThreads, TwoReadersBecomingWritersTakeTurns) {
  struct Shared {
    Lock lock{"TPromotedLock"};
    std::latch bothReading{2};
    int writes = 0;  // plain on purpose: only written under the exclusive hold
  };
  auto shared = std::make_shared<Shared>();
  auto promote = [shared] {
    shared->lock.BeginRead();
    shared->bothReading.arrive_and_wait();
    const bool undisturbed = shared->lock.BeginWriteEx(false);
    ++shared->writes;
    shared->lock.EndWrite();
    shared->lock.EndRead();
    return undisturbed;
  };
  auto first = Spawn(promote);
  auto second = Spawn(promote);
  ASSERT_TRUE(FinishesInTime(first)) << "deadlock";
  ASSERT_TRUE(FinishesInTime(second)) << "deadlock";
  // Both saw the same revision before writing, so the one that wrote second was disturbed.
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(shared->writes, 2);
  EXPECT_EQ(shared->lock.GetRevisionLevel(), 2u);
  EXPECT_EQ(shared->lock.GetReadCount(), 0);
  EXPECT_EQ(shared->lock.GetWriteCount(), 0);
}

// Writers that queue up while the lock is held get it one by one in the order they came;
// before, every release woke them all and any of them could win.
TEST(SynchronizerThreads, WaitingWritersGetTheLockInTheOrderTheyCame) {
  constexpr int kWriters = 5;
  constexpr int kRounds = 10;
  struct Shared {
    uSynchronizer::TMultiReadExclusiveWriteSynchronizer lock;
    std::mutex orderMutex;
    std::vector<int> order;
  };
  for (int round = 0; round < kRounds; ++round) {
    auto shared = std::make_shared<Shared>();
    shared->lock.BeginWrite();
    std::vector<std::future<void>> writers;
    for (int i = 0; i < kWriters; ++i) {
      writers.push_back(Spawn([shared, i] {
        shared->lock.BeginWrite();
        {
          std::lock_guard hold(shared->orderMutex);
          shared->order.push_back(i);
        }
        shared->lock.EndWrite();
      }));
      // The next one comes only once this one waits.
      const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
      while (shared->lock.WaitingWriters() < i + 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      ASSERT_EQ(shared->lock.WaitingWriters(), i + 1);
    }
    shared->lock.EndWrite();
    for (auto& writer : writers) ASSERT_TRUE(FinishesInTime(writer)) << "deadlock";
    EXPECT_EQ(shared->order, (std::vector<int>{0, 1, 2, 3, 4})) << "round " << round;
  }
}

TEST_F(SynchronizerTest, RevisionCountsExclusiveAcquisitionsOnly) {
  EXPECT_EQ(lock_->GetRevisionLevel(), 0u);
  EXPECT_TRUE(lock_->BeginWrite());
  EXPECT_EQ(lock_->GetRevisionLevel(), 1u);
  EXPECT_TRUE(lock_->BeginWrite());
  EXPECT_EQ(lock_->GetRevisionLevel(), 1u);
  lock_->EndWrite();
  lock_->EndWrite();
  ReadOnce(*lock_);
  EXPECT_EQ(lock_->GetRevisionLevel(), 1u);

  EXPECT_TRUE(OtherThreadCan(WriteOnce));
  EXPECT_EQ(lock_->GetRevisionLevel(), 2u);

  lock_->BeginRead();
  EXPECT_TRUE(lock_->BeginWriteEx(false));
  EXPECT_EQ(lock_->GetRevisionLevel(), 3u);
  lock_->EndWrite();
  lock_->EndRead();
}

// Writers bump a plain counter and readers read it; ThreadSanitizer reports a race if the
// lock ever lets a reader or another writer in beside a writer.
TEST(SynchronizerThreads, MixedReadersAndWritersStayExclusive) {
  constexpr int kThreads = 4;
  constexpr int kIterations = 2000;
  struct Shared {
    Lock lock{"TStressLock"};
    std::latch start{kThreads};
    int counter = 0;
  };
  auto shared = std::make_shared<Shared>();
  auto work = [shared] {
    shared->start.arrive_and_wait();
    int lastSeen = 0;
    bool neverBackwards = true;
    for (int n = 0; n < kIterations; ++n) {
      if (n % 4 == 0) {
        uSynchronizer::TWriteLock write(shared->lock);
        ++shared->counter;
        if (n % 8 == 0) {
          uSynchronizer::TReadLock nested(shared->lock);
          lastSeen = shared->counter;
        }
      } else {
        uSynchronizer::TReadLock read(shared->lock);
        if (n % 3 == 0) {
          // A nested shared hold must not wait for writers queued behind the outer one.
          uSynchronizer::TReadLock nested(shared->lock);
        }
        if (shared->counter < lastSeen) neverBackwards = false;
        lastSeen = shared->counter;
      }
    }
    return neverBackwards;
  };
  std::future<bool> workers[kThreads];
  for (auto& worker : workers) worker = Spawn(work);
  for (auto& worker : workers) {
    ASSERT_TRUE(FinishesInTime(worker)) << "deadlock";
    EXPECT_TRUE(worker.get());
  }
  constexpr int kWrites = kThreads * kIterations / 4;
  EXPECT_EQ(shared->counter, kWrites);
  EXPECT_EQ(shared->lock.GetRevisionLevel(), static_cast<std::uint32_t>(kWrites));
  EXPECT_EQ(shared->lock.GetReadCount(), 0);
  EXPECT_EQ(shared->lock.GetWriteCount(), 0);
}

// The scoped holds take the kind they name, give it back on every way out of the scope, and a
// Begin that throws (a write asked for while this thread reads) leaves nothing to give back.
TEST(SynchronizerScopedHolds, TakeTheirKindAndReleaseOnEveryPath) {
  struct TCase {
    const char* name;
    std::function<void(Lock&)> hold;  // takes the hold, then leaves its scope by throwing
    int reads;
    int writes;
  };
  const TCase cases[] = {
      {"read",
       [](Lock& l) {
         uSynchronizer::TReadLock h(l);
         throw std::runtime_error("out");
       },
       1, 0},
      {"write",
       [](Lock& l) {
         uSynchronizer::TWriteLock h(l);
         throw std::runtime_error("out");
       },
       0, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Lock lock("THoldLock");
    int reads = -1, writes = -1;
    try {
      c.hold(lock);
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.GetReadCount(), 0);
    EXPECT_EQ(lock.GetWriteCount(), 0);
    {
      const auto inside = [&](Lock& l) {
        reads = l.GetReadCount();
        writes = l.GetWriteCount();
      };
      if (c.reads > 0) {
        uSynchronizer::TReadLock h(lock);
        inside(lock);
      } else {
        uSynchronizer::TWriteLock h(lock);
        inside(lock);
      }
    }
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(lock.GetReadCount(), 0);
    EXPECT_EQ(lock.GetWriteCount(), 0);
  }
  Lock lock("THoldLock");
  {
    uSynchronizer::TReadLock read(lock);
    EXPECT_THROW(uSynchronizer::TWriteLock write(lock), LockError);
    EXPECT_EQ(lock.GetWriteCount(), 0);
    EXPECT_EQ(lock.GetReadCount(), 1);
  }
  EXPECT_EQ(lock.GetReadCount(), 0);
}

}  // namespace
