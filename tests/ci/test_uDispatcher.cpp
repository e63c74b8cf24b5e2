#include "ci/uDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TestInterfaces.h"
#include "support/WaitUntil.h"

using namespace uDispatcher;
using testsupport::ITestSender;
using testsupport::TTestObject;
using uInterfaces::TInterfacePtr;

namespace {
using TStringList = TCINotifyStringEventSlotListOf<ITestSender>;
using TErrorList = TCINotifyErrorEventSlotListOf<ITestSender>;
using TNotifyList = TCINotifyEventSlotListOf<ITestSender>;

// A subscriber that records what reached it and on which thread.
struct TSubscriber {
  std::mutex mutex;
  std::vector<std::string> texts;
  std::vector<std::thread::id> threads;
  std::atomic<int> calls{0};

  void OnText(ITestSender* sender, const std::string& text) {
    std::lock_guard lock(mutex);
    texts.push_back(std::to_string(sender ? sender->Tag() : -1) + ":" + text);
    threads.push_back(std::this_thread::get_id());
    ++calls;
  }
  void OnError(ITestSender*, const std::string& method, const std::vector<std::string>& args,
               std::int32_t code) {
    std::lock_guard lock(mutex);
    std::string line = method + "(";
    for (const auto& a : args) line += a + ",";
    texts.push_back(line + ")=" + std::to_string(code));
    ++calls;
  }
  void OnNotify(ITestSender* sender) {
    std::lock_guard lock(mutex);
    texts.push_back("notify " + std::to_string(sender->Tag()));
    ++calls;
  }
  void OnThrow(ITestSender*, const std::string& text) {
    ++calls;
    if (text == "throw") throw std::runtime_error("event failed");
    if (text == "throw-other") throw 7;
    std::lock_guard lock(mutex);
    texts.push_back(text);
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex);
    return texts;
  }
};

// Counts how many events were freed, and how many of them ran.
struct TCountingEvent : TDispatcherEvent {
  std::atomic<int>* ran;
  std::atomic<int>* freed;
  std::string slot;
  TCountingEvent(std::atomic<int>* r, std::atomic<int>* f, std::string s = "")
      : ran(r), freed(f), slot(std::move(s)) {
    SlotID = slot;
  }
  ~TCountingEvent() override { ++*freed; }
  void Execute() override { ++*ran; }
};

// Blocks a dispatcher thread until released, so events pile up behind it.
struct TGateEvent : TDispatcherEvent {
  std::shared_future<void> gate;
  std::promise<void>* entered;
  TGateEvent(std::shared_future<void> g, std::promise<void>* e) : gate(std::move(g)), entered(e) {}
  void Execute() override {
    entered->set_value();
    gate.wait();
  }
};

using testsupport::WaitUntil;
}  // namespace

TEST(DispatcherQueue, RemoveSlotEventsKeepsTheOthersInOrder) {
  std::atomic<int> ran{0}, freed{0};
  TDispatcherQueue queue;
  const char* slots[] = {"A", "B", "A", "C", "A", "B"};
  for (const char* s : slots) queue.Push(std::make_unique<TCountingEvent>(&ran, &freed, s));
  queue.RemoveSlotEvents("A");
  EXPECT_EQ(freed, 3);
  std::vector<std::string> left;
  while (auto e = queue.Pop()) left.push_back(e->SlotID);
  EXPECT_EQ(left, (std::vector<std::string>{"B", "C", "B"}));
  EXPECT_EQ(ran, 0);
}

TEST(DispatcherQueue, ClearAndDestructionFreeEventsUnrun) {
  std::atomic<int> ran{0}, freed{0};
  {
    TDispatcherQueue queue;
    for (int i = 0; i < 5; ++i) queue.Push(std::make_unique<TCountingEvent>(&ran, &freed));
    queue.Clear();
    EXPECT_EQ(freed, 5);
    EXPECT_EQ(queue.GetCount(), 0);
    queue.Push(std::make_unique<TCountingEvent>(&ran, &freed));
  }
  EXPECT_EQ(freed, 6);
  EXPECT_EQ(ran, 0);
}

TEST(Dispatcher, ProcessOneRunsInOrderAndSurvivesExceptions) {
  TSubscriber sub;
  TStringList list;
  TDispatcher dispatcher;
  list.Connect({&sub, &TSubscriber::OnThrow}, nullptr, &dispatcher.Queue());
  TInterfacePtr<ITestSender> sender(new TTestObject(1));
  for (const char* t : {"one", "throw", "two", "throw-other", "three"}) list.Raise(sender.Get(), t);
  EXPECT_TRUE(dispatcher.ProcessOne());
  EXPECT_TRUE(dispatcher.ProcessOne());  // a std::exception goes to HandleException
  EXPECT_TRUE(dispatcher.ProcessOne());
  EXPECT_THROW(dispatcher.ProcessOne(), int);  // anything else propagates, the event is freed
  EXPECT_TRUE(dispatcher.ProcessOne());
  EXPECT_FALSE(dispatcher.ProcessOne());
  EXPECT_EQ(sub.Texts(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST(DispatcherSlotList, ConnectingTheSameHandlerAgainUpdatesItsSlot) {
  TSubscriber sub;
  TStringList list;
  TDispatcher first, second;
  TInterfacePtr<ITestSender> owner1(new TTestObject(1)), owner2(new TTestObject(2));
  list.Connect({&sub, &TSubscriber::OnText}, owner1, &first.Queue());
  list.Connect({&sub, &TSubscriber::OnText}, owner2, &second.Queue());
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_EQ(static_cast<TTestObject*>(owner1.Get())->RefCount(), 1);  // the slot let go of it
  EXPECT_EQ(list.IndexOfHandler({&sub, &TSubscriber::OnText}), 0);
  EXPECT_EQ(list.IndexOfHandler({&sub, &TSubscriber::OnThrow}), -1);

  list.Raise(owner1.Get(), "x");
  EXPECT_EQ(first.Queue().GetCount(), 0);
  ASSERT_EQ(second.Queue().GetCount(), 1);
  auto event = second.Queue().Pop();
  EXPECT_EQ(event->Owner.Get(), static_cast<uInterfaces::IInterface*>(owner2.Get()));
}

TEST(DispatcherSlotList, ClearWithRemovePendingDropsOnlyThatListsEvents) {
  TSubscriber sub, other;
  TStringList list, otherList;
  TDispatcher dispatcher;
  TInterfacePtr<ITestSender> sender(new TTestObject(4));
  list.Connect({&sub, &TSubscriber::OnText}, nullptr, &dispatcher.Queue());
  otherList.Connect({&other, &TSubscriber::OnText}, nullptr, &dispatcher.Queue());
  otherList.Raise(sender.Get(), "o1");
  for (const char* t : {"a", "b", "c"}) list.Raise(sender.Get(), t);
  otherList.Raise(sender.Get(), "o2");
  EXPECT_EQ(dispatcher.Queue().GetCount(), 5);
  EXPECT_EQ(static_cast<TTestObject*>(sender.Get())->RefCount(), 6);  // each event holds it

  list.Clear(true);
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_EQ(dispatcher.Queue().GetCount(), 2);
  while (dispatcher.ProcessOne()) {
  }
  EXPECT_EQ(sub.calls, 0);
  EXPECT_EQ(other.Texts(), (std::vector<std::string>{"4:o1", "4:o2"}));
  EXPECT_EQ(static_cast<TTestObject*>(sender.Get())->RefCount(), 1);
}

TEST(DispatcherSlotList, ClearWithoutRemovePendingLeavesQueuedEvents) {
  TSubscriber sub;
  TStringList list;
  TDispatcher dispatcher;
  TInterfacePtr<ITestSender> sender(new TTestObject(1));
  list.Connect({&sub, &TSubscriber::OnText}, nullptr, &dispatcher.Queue());
  list.Raise(sender.Get(), "queued");
  list.Clear(false);
  while (dispatcher.ProcessOne()) {
  }
  EXPECT_EQ(sub.Texts(), (std::vector<std::string>{"1:queued"}));
}

TEST(DispatcherSlotList, EverySubscriberGetsItsOwnEventAndDirectSlotsRunAtOnce) {
  TSubscriber queued, direct;
  TErrorList list;
  TDispatcher dispatcher;
  TInterfacePtr<ITestSender> sender(new TTestObject(2));
  list.Connect({&queued, &TSubscriber::OnError}, nullptr, &dispatcher.Queue());
  list.Connect({&direct, &TSubscriber::OnError}, nullptr, nullptr);
  list.Raise(sender.Get(), "Open", 13, {"a", "b"});
  EXPECT_EQ(direct.Texts(), (std::vector<std::string>{"Open(a,b,)=13"}));
  EXPECT_EQ(queued.calls, 0);
  EXPECT_TRUE(dispatcher.ProcessOne());
  EXPECT_EQ(queued.Texts(), (std::vector<std::string>{"Open(a,b,)=13"}));
}

TEST(DispatcherSlotList, ADirectHandlersExceptionReachesTheRaiser) {
  TSubscriber sub;
  TStringList list;
  list.Connect({&sub, &TSubscriber::OnThrow}, nullptr, nullptr);
  EXPECT_THROW(list.Raise(nullptr, "throw"), std::runtime_error);
  list.Raise(nullptr, "fine");
  EXPECT_EQ(sub.Texts(), (std::vector<std::string>{"fine"}));
}

TEST(DispatcherSlotList, AHandlerWithoutObjectIsNotRun) {
  TNotifyList list;
  list.Connect(TNotifyList::THandler(static_cast<TSubscriber*>(nullptr), &TSubscriber::OnNotify),
               nullptr, nullptr);
  TInterfacePtr<ITestSender> sender(new TTestObject(1));
  EXPECT_NO_THROW(list.Raise(sender.Get()));  // would dereference a null subscriber if run
}

TEST(DispatcherSlotList, DispatchToOutOfRangeFreesTheEvent) {
  std::atomic<int> ran{0}, freed{0};
  TStringList list;
  list.DispatchTo(0, std::make_unique<TCountingEvent>(&ran, &freed));
  list.DispatchTo(-1, std::make_unique<TCountingEvent>(&ran, &freed));
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(ran, 0);
}

TEST(DispatcherSlotList, ConnectFromADirectHandlerOfTheSameListIsRefused) {
  struct TReconnector {
    TNotifyList* list;
    std::string error;
    void OnNotify(ITestSender*) {
      try {
        list->Connect({this, &TReconnector::OnNotify}, nullptr, nullptr);
      } catch (const uSynchronizer::EMultiReadExclusiveWriteSynchronizerExtendedException& e) {
        error = e.what();
      }
    }
  };
  TNotifyList list;
  TReconnector r{&list, ""};
  list.Connect({&r, &TReconnector::OnNotify}, nullptr, nullptr);
  TInterfacePtr<ITestSender> sender(new TTestObject(1));
  list.Raise(sender.Get());
  EXPECT_EQ(r.error, "TDispatcherEventSlotList is currently locked for reading!");
  EXPECT_EQ(list.GetCount(), 1);
}

TEST(DispatcherThread, RunsQueuedEventsOnItsWorkerInRaiseOrder) {
  TSubscriber sub;
  TStringList texts;
  TErrorList errors;
  TDispatcherThread thread;
  TInterfacePtr<ITestSender> sender(new TTestObject(8));
  texts.Connect({&sub, &TSubscriber::OnText}, nullptr, &thread.Queue());
  errors.Connect({&sub, &TSubscriber::OnError}, nullptr, &thread.Queue());
  texts.Raise(sender.Get(), "first");
  errors.Raise(sender.Get(), "Close", 0, {});
  texts.Raise(sender.Get(), "throw");  // not connected to OnThrow: just text
  ASSERT_TRUE(WaitUntil([&] { return sub.calls == 3; }));
  EXPECT_EQ(sub.Texts(), (std::vector<std::string>{"8:first", "Close()=0", "8:throw"}));
  EXPECT_NE(sub.threads.front(), std::this_thread::get_id());
}

TEST(DispatcherThread, AnEscapingExceptionDoesNotEndTheThread) {
  TSubscriber sub;
  TStringList list;
  TDispatcherThread thread;
  list.Connect({&sub, &TSubscriber::OnThrow}, nullptr, &thread.Queue());
  list.Raise(nullptr, "throw-other");
  list.Raise(nullptr, "throw");
  list.Raise(nullptr, "after");
  ASSERT_TRUE(WaitUntil([&] { return sub.calls == 3; }));
  EXPECT_EQ(sub.Texts(), (std::vector<std::string>{"after"}));
}

TEST(DispatcherThread, DestructionFreesQueuedEventsWithoutRunningThem) {
  std::atomic<int> ran{0}, freed{0};
  std::promise<void> release, entered;
  {
    TDispatcherThread thread;
    thread.Queue().Push(std::make_unique<TGateEvent>(release.get_future().share(), &entered));
    entered.get_future().wait();  // the worker is busy; the next events wait behind it
    for (int i = 0; i < 3; ++i) thread.Queue().Push(std::make_unique<TCountingEvent>(&ran, &freed));
    thread.Worker().Terminate();  // the worker sees it as soon as the gate opens
    release.set_value();
  }
  EXPECT_EQ(freed, 3);
  EXPECT_EQ(ran, 0);
}

TEST(ObjectDestroyer, NamesItsThreadAndFreesThreadsHandedToIt) {
  // A dispatcher thread that tells on which thread it is freed.
  struct TNamedAtItsEnd : TDispatcherThread {
    std::promise<std::string>* name;
    explicit TNamedAtItsEnd(std::promise<std::string>* n) : name(n) {}
    ~TNamedAtItsEnd() override { name->set_value(uThreadUtils::GetCurrentThreadName()); }
  };
  std::promise<std::string> name;
  std::unique_ptr<TDispatcherThread> named = std::make_unique<TNamedAtItsEnd>(&name);
  DestroyLater(std::move(named));
  EXPECT_EQ(named, nullptr);
  auto nameFuture = name.get_future();
  ASSERT_EQ(nameFuture.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(nameFuture.get(), "Object Destroye");

  // A dispatcher thread handing itself over from its own worker, as a wrapper released on
  // its receive thread does.
  struct TSelfRelease : TDispatcherEvent {
    std::unique_ptr<TDispatcherThread>* self;
    std::promise<void>* done;
    TSelfRelease(std::unique_ptr<TDispatcherThread>* s, std::promise<void>* d) : self(s), done(d) {}
    void Execute() override {
      DestroyLater(std::move(*self));
      done->set_value();
    }
  };
  auto thread = std::make_unique<TDispatcherThread>();
  std::atomic<int> ran{0}, freed{0};
  TDispatcherThread* raw = thread.get();
  std::promise<void> handed, entered, open;
  // Held at a gate until all three are queued: once the thread is handed over, this test
  // must not touch it again.
  raw->Queue().Push(std::make_unique<TGateEvent>(open.get_future().share(), &entered));
  raw->Queue().Push(std::make_unique<TSelfRelease>(&thread, &handed));
  raw->Queue().Push(std::make_unique<TCountingEvent>(&ran, &freed));
  entered.get_future().wait();
  open.set_value();
  handed.get_future().wait();
  EXPECT_EQ(thread, nullptr);
  // The event behind it is freed, run or not, once the destroyer has freed the thread.
  EXPECT_TRUE(WaitUntil([&] { return freed == 1; }));
}

TEST(ObjectDestroyer, WaitingEventsStillFreeTheirThreadsWhenTheDestroyerGoes) {
  std::promise<void> release, entered;
  std::atomic<int> ran{0}, freed{0};
  auto destroyer = std::make_unique<TObjectDestroyer>();
  destroyer->Queue().Push(std::make_unique<TGateEvent>(release.get_future().share(), &entered));
  entered.get_future().wait();
  auto victim = std::make_unique<TDispatcherThread>();
  victim->Queue().Push(std::make_unique<TCountingEvent>(&ran, &freed));
  destroyer->DestroyLater(std::move(victim));
  destroyer->DestroyLater(std::make_unique<TDispatcherThread>());
  release.set_value();
  destroyer.reset();  // ASan reports a leak if a carried thread is dropped
  EXPECT_EQ(freed, 1);
}
