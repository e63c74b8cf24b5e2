// The library's end while other threads still use it: what they hold stays valid, what they
// ask for afterwards is refused with the library's error. Each part of the end is run (and
// the part started again) by itself here, as the library scope runs them.
#include "ci/uCI_Library.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "ci/uDispatcher.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uNodedInterface.h"
#include "ci/uThreadUtils.h"

using uCI_Library::ECILibraryError;
using uDispatcher::TDispatcherThread;

namespace {
// A dispatcher thread that counts how often one is freed.
struct TCountedThread : TDispatcherThread {
  std::atomic<int>* freed;
  explicit TCountedThread(std::atomic<int>* f) : freed(f) {}
  ~TCountedThread() override { ++*freed; }
};

void WaitFor(const std::atomic<bool>& flag) {
  while (!flag) std::this_thread::yield();
}
}  // namespace

TEST(LibraryEnd, ThreadsHandedOverWhileTheDestroyerEndsAreEachTakenOrRefused) {
  constexpr int kRounds = 20;
  constexpr int kPerRound = 10;
  std::atomic<int> freed{0};
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<bool> go{false};
    std::thread caller([&] {
      WaitFor(go);
      for (int i = 0; i < kPerRound; ++i) {
        std::unique_ptr<TDispatcherThread> thread = std::make_unique<TCountedThread>(&freed);
        try {
          uDispatcher::DestroyLater(std::move(thread));
        } catch (const ECILibraryError&) {
          EXPECT_NE(thread, nullptr);  // a refused thread stays with the caller
        }
      }
    });
    go = true;
    uDispatcher::detail::EndObjectDestroyer();
    caller.join();
    uDispatcher::detail::StartObjectDestroyer();
  }
  // Freed once each: by the ending destroyer, or by the caller that kept it.
  EXPECT_EQ(freed, kRounds * kPerRound);

  uDispatcher::detail::EndObjectDestroyer();
  std::unique_ptr<TDispatcherThread> late = std::make_unique<TDispatcherThread>();
  EXPECT_THROW(uDispatcher::DestroyLater(std::move(late)), ECILibraryError);
  EXPECT_FALSE(uDispatcher::TryDestroyLater(std::move(late)));
  EXPECT_NE(late, nullptr);
  uDispatcher::detail::StartObjectDestroyer();
  EXPECT_TRUE(uDispatcher::TryDestroyLater(std::move(late)));
}

TEST(LibraryEnd, NodeEventersGoWhileAnotherThreadIsRaisingThem) {
  // Slow enough that the end comes while a raise is still calling it.
  struct TSlowWatcher {
    std::atomic<bool> seen{false};
    void OnCreated(uNodedInterface::INodedInterface*) {
      seen = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } watcher;
  for (int round = 0; round < 20; ++round) {
    uNodedInterface::NodeCreatedEventer()->AddHandler({&watcher, &TSlowWatcher::OnCreated});
    watcher.seen = false;
    std::thread maker([] {
      for (int i = 0; i < 20; ++i) uMyInterfacedObject::Create<uNodedInterface::TNodedInterface>();
    });
    WaitFor(watcher.seen);
    uNodedInterface::detail::EndNodes();
    EXPECT_THROW(uNodedInterface::NodeCreatedEventer(), ECILibraryError);
    EXPECT_THROW(uNodedInterface::NodeDestroyedEventer(), ECILibraryError);
    maker.join();  // its nodes are made and freed unannounced from now on
    uNodedInterface::detail::StartNodes();
  }
}

TEST(LibraryEnd, ARunnerOutlivingTheRunnerListLeavesItSafely) {
  uThreadUtils::TRunnerMethod idle;
  auto runner = std::make_unique<uThreadUtils::TThreadRunner>("Late runner", idle);
  uThreadUtils::detail::EndThreadRunnerList();
  EXPECT_THROW(uThreadUtils::ThreadRunnerList(), ECILibraryError);
  runner.reset();  // leaves the list it joined, which it kept
  uThreadUtils::detail::StartThreadRunnerList();
  EXPECT_EQ(uThreadUtils::ThreadRunnerList()->Count(), 0u);
}
