#include "ci/uEventer.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ci/uMethod.h"

namespace {
using TIntEventer = uEventer::TEventer<int>;

// Handlers that record who was called with what.
struct TRecorder {
  std::string name;
  std::vector<std::string>* log;
  void OnValue(int v) { log->push_back(name + ":" + std::to_string(v)); }
  void OnThrow(int v) {
    log->push_back(name + ":throw" + std::to_string(v));
    throw std::runtime_error("handler failed");
  }
  void OnThrowOther(int) { throw 42; }
};

// A handler that changes the eventer it is raised from.
struct TMutator {
  TIntEventer* eventer;
  TRecorder* late;
  std::vector<std::string>* log;
  void AddLate(int) {
    log->push_back("mutator");
    eventer->AddHandler(TIntEventer::THandler(late, &TRecorder::OnValue));
  }
  void RemoveSelf(int) {
    log->push_back("mutator");
    eventer->RemoveHandler(TIntEventer::THandler(this, &TMutator::RemoveSelf));
  }
};
}  // namespace

TEST(EventerMethod, EqualWhenObjectAndMethodAreEqual) {
  std::vector<std::string> log;
  TRecorder a{"a", &log}, b{"b", &log};
  using M = uMethod::TMethod<void(int)>;
  EXPECT_EQ(M(&a, &TRecorder::OnValue), M(&a, &TRecorder::OnValue));
  EXPECT_FALSE(M(&a, &TRecorder::OnValue) == M(&b, &TRecorder::OnValue));
  EXPECT_FALSE(M(&a, &TRecorder::OnValue) == M(&a, &TRecorder::OnThrow));
  EXPECT_FALSE(M().IsAssigned());
  EXPECT_TRUE(M(static_cast<TRecorder*>(nullptr), &TRecorder::OnValue).IsAssigned());
  EXPECT_FALSE(M(static_cast<TRecorder*>(nullptr), &TRecorder::OnValue).IsComplete());
}

TEST(Eventer, DuplicatesAreCalledPerEntryAndRemovedOneAtATime) {
  std::vector<std::string> log;
  TRecorder a{"a", &log}, b{"b", &log};
  TIntEventer eventer;
  eventer.AddHandler({&a, &TRecorder::OnValue});
  eventer.AddHandler({&b, &TRecorder::OnValue});
  eventer.AddHandler({&a, &TRecorder::OnValue});
  eventer.Raise(1);
  EXPECT_EQ(log, (std::vector<std::string>{"a:1", "b:1", "a:1"}));

  log.clear();
  eventer.RemoveHandler({&a, &TRecorder::OnValue});  // the first entry goes
  eventer.Raise(2);
  EXPECT_EQ(log, (std::vector<std::string>{"b:2", "a:2"}));

  log.clear();
  eventer.RemoveHandler({&a, &TRecorder::OnThrow});  // absent: nothing happens
  eventer.RemoveHandler({&a, &TRecorder::OnValue});
  eventer.RemoveHandler({&a, &TRecorder::OnValue});
  eventer.Raise(3);
  EXPECT_EQ(log, (std::vector<std::string>{"b:3"}));
}

TEST(Eventer, AThrowingHandlerDoesNotStopTheOthers) {
  std::vector<std::string> log;
  TRecorder a{"a", &log}, b{"b", &log}, c{"c", &log};
  TIntEventer eventer;
  eventer.AddHandler({&a, &TRecorder::OnThrow});
  eventer.AddHandler({&b, &TRecorder::OnThrowOther});
  eventer.AddHandler({&c, &TRecorder::OnValue});
  EXPECT_NO_THROW(eventer.Raise(5));
  EXPECT_EQ(log, (std::vector<std::string>{"a:throw5", "c:5"}));
}

TEST(Eventer, ChangesMadeDuringARaiseCount) {
  std::vector<std::string> log;
  TRecorder late{"late", &log}, tail{"tail", &log};
  TIntEventer eventer;
  TMutator mutator{&eventer, &late, &log};

  eventer.AddHandler({&mutator, &TMutator::AddLate});
  eventer.Raise(1);  // the handler added during the raise is called in the same raise
  EXPECT_EQ(log, (std::vector<std::string>{"mutator", "late:1"}));

  TIntEventer removing;
  mutator.eventer = &removing;
  removing.AddHandler({&mutator, &TMutator::RemoveSelf});
  removing.AddHandler({&tail, &TRecorder::OnValue});
  log.clear();
  removing.Raise(2);  // the list is read again: "tail" moved to index 0 and is skipped
  removing.Raise(3);
  EXPECT_EQ(log, (std::vector<std::string>{"mutator", "tail:3"}));
}

TEST(Eventer, AnotherThreadWaitsWhileTheEventerIsLocked) {
  std::vector<std::string> log;
  TRecorder a{"a", &log};
  TIntEventer eventer;
  eventer.AddHandler({&a, &TRecorder::OnValue});
  eventer.Lock();
  auto raised = std::async(std::launch::async, [&] { eventer.Raise(9); });
  EXPECT_EQ(raised.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  eventer.Unlock();
  raised.get();
  EXPECT_EQ(log, (std::vector<std::string>{"a:9"}));
}
