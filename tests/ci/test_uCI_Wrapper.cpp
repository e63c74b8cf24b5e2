// The wrapper's own life: its receive thread ends with it.
#include "ci/uCI_Wrapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "ci/uMyInterfacedObject.h"
#include "ci/uThreadUtils.h"
#include "support/WaitUntil.h"

using uCI_Wrapper::TCommunicationWrapperInterface;

namespace {
using testsupport::WaitUntil;
}  // namespace

TEST(WrapperDestruction, FromAnotherThreadWaitsForTheEventRunningOnTheReceiveThread) {
  // An event that is still at work on the receive thread when the wrapper starts to go, and
  // keeps working on it longer than any fixed pause would allow for.
  struct TSlowEvent : uDispatcher::TDispatcherEvent {
    TCommunicationWrapperInterface* wrapper = nullptr;
    std::promise<void>* entered = nullptr;
    std::atomic<bool>* finished = nullptr;
    void Execute() override {
      entered->set_value();
      WaitUntil([&] { return wrapper->Destroying(); });
      uThreadUtils::Sleep(150);
      (void)wrapper->GetDescription();  // still a whole object
      *finished = true;
    }
  };
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  auto wrapper = uMyInterfacedObject::Create<TCommunicationWrapperInterface>();
  auto event = std::make_unique<TSlowEvent>();
  event->wrapper = wrapper.Get();
  event->entered = &entered;
  event->finished = &finished;
  wrapper->ReceiveThread().Queue().Push(std::move(event));
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  wrapper.Reset();  // the destruction runs here, on this thread
  EXPECT_TRUE(finished);
  WaitUntil([&] { return finished.load(); });  // never leave the event behind
}
