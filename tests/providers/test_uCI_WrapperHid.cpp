// The communication stack end to end: the wrapper channel as the application creates it,
// the HID provider, its work thread and a simulated device.
#include "ci/uCI_Wrapper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uMyInterfacedObject.h"
#include "ci/uTimeout.h"
#include "providers/uCI_HIDInterface.h"
#include "support/SimulatedHid.h"
#include "support/TestProvider.h"
#include "support/WaitUntil.h"

using uci_ICommunicationInterface::ICommunicationInterface;
using uCI_Wrapper::TCommunicationWrapperInterface;
using uCI_Wrapper::TWrapperPtr;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;

namespace {
const std::string kAppConfig = "provider=HID;vid=$2047;pid=$0301;serial_number=";

// Records what reaches the channel's handlers, and on which thread.
struct TChannelEvents {
  std::mutex mutex;
  std::vector<std::string> errors;
  std::vector<std::thread::id> errorThreads;
  std::atomic<int> dataRcv{0};
  std::string dataThreadName;
  void OnError(ICommunicationInterface*, const std::string& method,
               const std::vector<std::string>& args, std::int32_t) {
    std::lock_guard lock(mutex);
    errors.push_back(method + (args.empty() ? "" : " " + args.front()));
    errorThreads.push_back(std::this_thread::get_id());
  }
  void OnDataRcv(ICommunicationInterface*) {
    {
      std::lock_guard lock(mutex);
      dataThreadName = uThreadUtils::GetCurrentThreadName();
    }
    ++dataRcv;
  }
  std::vector<std::string> Errors() {
    std::lock_guard lock(mutex);
    return errors;
  }
};

using testsupport::WaitUntil;

// A device that answers every request with "ok:" + the request, in two reports.
std::shared_ptr<uHidSimulated::TSimulatedHidDevice> AddEchoDevice(
    testsupport::TSimulatedDevices& devices, const std::string& serial) {
  auto device = devices.Add(testsupport::DovelaInfo(serial));
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
  device->SetOnOutputReport([weak](const std::string& report) {
    auto d = weak.lock();
    if (!d) return;
    const std::string payload = report.substr(2, static_cast<unsigned char>(report[1]));
    d->QueueInputReport(testsupport::InputReport("ok:"), 1);
    d->QueueInputReport(testsupport::InputReport(payload), 3);
  });
  return device;
}

class WrapperTest : public testing::Test {
 protected:
  void SetUp() override {
    wrapper_ = uMyInterfacedObject::Create<TCommunicationWrapperInterface>();
    wrapper_->SetOnError({&events_, &TChannelEvents::OnError});
    wrapper_->SetOnDataRcv({&events_, &TChannelEvents::OnDataRcv});
  }
  void TearDown() override {
    if (wrapper_) wrapper_->Close(false);
  }
  testsupport::TSimulatedDevices devices_;
  TChannelEvents events_;
  TInterfacePtr<TCommunicationWrapperInterface> wrapper_;
};
}  // namespace

TEST_F(WrapperTest, TheApplicationsConfigurationOpensTheDeviceAndQueryGetsItsAnswer) {
  AddEchoDevice(devices_, "D1");
  wrapper_->SetConfiguration(kAppConfig + "D1");
  EXPECT_TRUE(wrapper_->GetConfigured());
  const auto provider = wrapper_->GetProvider();
  ASSERT_TRUE(provider);
  EXPECT_EQ(provider->GetProviderName(), "HID");
  EXPECT_EQ(wrapper_->GetConfiguration(), "provider=HID;vid=8263;pid=769;serial_number=D1");
  EXPECT_EQ(wrapper_->GetDescription(),
            "WrapperCI: provider=HID;vid=8263;pid=769;serial_number=D1");

  ASSERT_TRUE(wrapper_->Open());
  ASSERT_TRUE(wrapper_->IsOpen());
  std::string answer;
  const auto start = Clock::now();
  wrapper_->Query("/status.json\r\n", 10000, 1000, 30000, true, true, {}, "", answer);
  EXPECT_EQ(answer, "ok:/status.json\r\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));  // the silence after it
  EXPECT_TRUE(WaitUntil([&] { return events_.dataRcv > 0; }));
  EXPECT_EQ(events_.dataThreadName, "CI Data Receive");
  EXPECT_TRUE(events_.Errors().empty());
}

TEST_F(WrapperTest, QueriesFromSeveralThreadsAreServedOneAfterTheOther) {
  AddEchoDevice(devices_, "D2");
  wrapper_->SetConfiguration(kAppConfig + "D2");
  ASSERT_TRUE(wrapper_->Open());
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 6; ++i) {
    answers.push_back(std::async(std::launch::async, [this, i] {
      std::string answer;
      wrapper_->Query("req" + std::to_string(i), 2000, 60, 5000, true, true, {}, "", answer);
      return answer;
    }));
  }
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(answers[static_cast<std::size_t>(i)].get(), "ok:req" + std::to_string(i));
}

// The bridge asks IsOpen before each request; waiting there for another request's exchange
// (which holds the channel for a second of silence) cost that request its place in the queue.
TEST_F(WrapperTest, IsOpenAnswersWhileAQueryOfAnotherThreadHoldsTheChannel) {
  auto device = AddEchoDevice(devices_, "D3");
  std::atomic<bool> requestArrived{false};
  device->SetOnOutputReport([&requestArrived](const std::string&) { requestArrived = true; });
  wrapper_->SetConfiguration(kAppConfig + "D3");
  ASSERT_TRUE(wrapper_->Open());
  auto query = std::async(std::launch::async, [this] {
    std::string answer;  // the device stays silent: the exchange lasts its whole first limit
    wrapper_->Query("req", 3000, 60, 6000, true, true, {}, "", answer);
    return answer;
  });
  ASSERT_TRUE(WaitUntil([&] { return requestArrived.load(); }));
  const auto asked = Clock::now();
  EXPECT_TRUE(wrapper_->IsOpen());
  // The exchange holds the channel for 3 s more; an answer within 1 s did not wait for it.
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1)) << "IsOpen waited for the exchange";
  EXPECT_EQ(query.get(), "");
}

TEST_F(WrapperTest, ProviderErrorsReachOnErrorOnTheReceiveThread) {
  wrapper_->SetConfiguration(kAppConfig + "NOBODY");
  EXPECT_FALSE(wrapper_->Open());
  // The provider's own "Open" report, which names the device it looked for, arrives through
  // the receive thread, the channel's on this one.
  ASSERT_TRUE(WaitUntil([&] { return events_.Errors().size() == 2; }));
  std::lock_guard lock(events_.mutex);
  auto errors = events_.errors;
  std::sort(errors.begin(), errors.end());
  EXPECT_EQ(errors,
            (std::vector<std::string>{"Open", "Open vid=8263;pid=769;serial_number=NOBODY"}));
  EXPECT_NE(events_.errorThreads[0], events_.errorThreads[1]);
}

TEST_F(WrapperTest, AnIdenticalConfigurationKeepsTheProviderAndItsSlots) {
  wrapper_->SetConfiguration(kAppConfig + "X");
  const auto first = wrapper_->GetProvider();
  wrapper_->SetConfiguration(kAppConfig + "X");
  const auto second = wrapper_->GetProvider();
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(second->GetOnReadString().GetCount(), 1);
  EXPECT_EQ(second->GetOnError().GetCount(), 1);
}

TEST_F(WrapperTest, UnknownProviderNamesCreateNothing) {
  for (const char* config : {"provider=hid;vid=$2047", "vid=$2047", "provider=(HID"}) {
    SCOPED_TRACE(config);
    events_.errors.clear();
    wrapper_->SetConfiguration(config);
    EXPECT_FALSE(wrapper_->GetProvider());
    EXPECT_FALSE(wrapper_->GetConfigured());
    EXPECT_EQ(events_.Errors(),
              (std::vector<std::string>{std::string("SetConfiguration ") + config}));
    EXPECT_EQ(wrapper_->GetDescription(), "WrapperCI: Empty");
    EXPECT_EQ(wrapper_->GetConfiguration(), "");
    EXPECT_EQ(wrapper_->GetInputCount(), 0);
    EXPECT_FALSE(wrapper_->IsOpen());
  }
}

TEST(Wrapper, ConfigurationLinesSeparatedByCrLfWorkLikeSemicolons) {
  auto wrapper = uMyInterfacedObject::Create<TCommunicationWrapperInterface>(
      "provider=HID\r\nvid=$2047\r\npid=$0301\r\nserial_number=L1");
  ASSERT_TRUE(wrapper->GetProvider());
  EXPECT_EQ(wrapper->GetConfiguration(), "provider=HID;vid=8263;pid=769;serial_number=L1");
}

namespace {
// Test providers under the TCP_CLIENT name, to switch between two kinds.
class WrapperSwitchTest : public WrapperTest {
 protected:
  void SetUp() override {
    WrapperTest::SetUp();
    real_ = uCI_Wrapper::GetProviderFactory("TCP_CLIENT");
    uCI_Wrapper::SetProviderFactory("TCP_CLIENT", [this]() -> uCI_Wrapper::TProviderPtr {
      auto p = uMyInterfacedObject::Create<testsupport::TTestProvider>();
      p->name = "TCP_CLIENT";
      created_.push_back(p);
      return p;
    });
  }
  void TearDown() override {
    uCI_Wrapper::SetProviderFactory("TCP_CLIENT", real_);  // the real provider, for the tests after
    WrapperTest::TearDown();
  }
  uCI_Wrapper::TProviderFactory real_;
  std::vector<TInterfacePtr<testsupport::TTestProvider>> created_;
};
}  // namespace

TEST_F(WrapperSwitchTest, AnotherProviderNameClosesTheOldOneAndDropsItsQueuedEvents) {
  wrapper_->SetConfiguration("provider=TCP_CLIENT;host=127.0.0.1");
  ASSERT_EQ(created_.size(), 1u);
  auto& tcp = *created_[0];
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_TRUE(tcp.IsOpen());

  // Data queued for the receive thread while it is held up must not run after the switch.
  std::promise<void> release, entered;
  struct TGate : uDispatcher::TDispatcherEvent {
    std::shared_future<void> gate;
    std::promise<void>* in;
    void Execute() override {
      in->set_value();
      gate.wait();
    }
  };
  auto gate = std::make_unique<TGate>();
  gate->gate = release.get_future().share();
  gate->in = &entered;
  wrapper_->ReceiveThread().Queue().Push(std::move(gate));
  entered.get_future().wait();
  tcp.Receive("late data");
  EXPECT_EQ(wrapper_->ReceiveThread().Queue().GetCount(), 1);

  wrapper_->SetConfiguration(kAppConfig + "Z");
  EXPECT_FALSE(tcp.IsOpen());  // closed first
  EXPECT_FALSE(tcp.lastForce);
  EXPECT_EQ(tcp.GetOnReadString().GetCount(), 0);
  EXPECT_EQ(wrapper_->ReceiveThread().Queue().GetCount(), 0);
  release.set_value();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(events_.dataRcv, 0);
  EXPECT_EQ(wrapper_->GetProvider()->GetProviderName(), "HID");
}

TEST_F(WrapperSwitchTest, ForcedCloseStillAsksForAnOrdinaryClose) {
  wrapper_->SetConfiguration("provider=TCP_CLIENT");
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_TRUE(wrapper_->Close(true));
  EXPECT_EQ(created_[0]->closeCalls, 1);
  EXPECT_FALSE(created_[0]->lastForce);
}

TEST_F(WrapperSwitchTest, DataReachesOnDataRcvOnTheReceiveThread) {
  wrapper_->SetConfiguration("provider=TCP_CLIENT");
  ASSERT_TRUE(wrapper_->Open());
  created_[0]->Receive("abc");
  ASSERT_TRUE(WaitUntil([&] { return events_.dataRcv == 1; }));
  EXPECT_EQ(wrapper_->ReadString(), "abc");
}

TEST_F(WrapperSwitchTest, ReleasingTheLastReferenceInsideOnDataRcvDoesNotWaitForItself) {
  struct TReleaser {
    TInterfacePtr<TCommunicationWrapperInterface> held;
    std::promise<void> released;
    void OnDataRcv(ICommunicationInterface*) {
      held = nullptr;  // the last outside reference goes on the receive thread
      released.set_value();
    }
  } releaser;
  wrapper_->SetConfiguration("provider=TCP_CLIENT");
  wrapper_->SetOnDataRcv({&releaser, &TReleaser::OnDataRcv});
  auto provider = created_[0];
  releaser.held = std::move(wrapper_);
  provider->Receive("x");
  auto done = releaser.released.get_future();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // The wrapper is gone: it closed and let go of its provider.
  ASSERT_TRUE(WaitUntil([&] { return provider->RefCount() == 2; }));  // ours + created_
  EXPECT_EQ(provider->GetOnReadString().GetCount(), 0);
}

TEST(WrapperRegistry, TheFiveNamesAndTheWxClassAreRegisteredAtStart) {
  for (const char* name : uCI_Wrapper::kProviderNames) {
    const auto found = uCI_Wrapper::FindProviderName(name);
    ASSERT_EQ(found.size(), 1u) << name;
    EXPECT_EQ(found[0].ClassName, "TCommunicationWrapperInterface");
  }
  EXPECT_EQ(uCI_Wrapper::FindProviderName("hid").size(), 1u);  // names ignore case here
  ASSERT_EQ(uCI_Wrapper::FindClassByName("twxcommunicationwrapperinterface").size(), 1u);
  const auto channel =
      uCI_Wrapper::FindClassByName("TWxCommunicationWrapperInterface")[0].Create("provider=HID");
  TInterfacePtr<uCI_Wrapper::IWxProcess> wx;
  EXPECT_TRUE(uInterfaces::Supports(channel, wx));
  EXPECT_TRUE(uInterfaces::Supports(channel.Get(), uCI_Wrapper::kWxWrapperIID));
  EXPECT_TRUE(uInterfaces::Supports(channel.Get(), uCI_Wrapper::IWxMarker::IID));

  const uCI_Wrapper::TChannelClass extra = uCI_Wrapper::WrapperClass();
  EXPECT_TRUE(uCI_Wrapper::RegisterProviderName(extra, "HID"));  // duplicates are kept
  EXPECT_EQ(uCI_Wrapper::FindProviderName("HID").size(), 2u);
  EXPECT_TRUE(uCI_Wrapper::UnregisterProviderName("HID"));
  EXPECT_EQ(uCI_Wrapper::FindProviderName("HID").size(), 1u);
  EXPECT_FALSE(uCI_Wrapper::UnregisterProviderName("NOPE"));
  EXPECT_EQ(uCI_Wrapper::WxProcessMessage(), 0xC000u);
}

namespace {
std::atomic<std::uint32_t> gTicks{0};
std::uint32_t TestTicks() {
  return gTicks;
}
}  // namespace

TEST(WxWrapper, ProcessReconnectsAClosedEnabledChannelAtMostEvery30Seconds) {
  testsupport::TSimulatedDevices devices;
  gTicks = 40000;  // the system has been up for more than 30 s
  uTimeout::SetTickSource(&TestTicks);
  auto wx =
      uMyInterfacedObject::Create<uCI_Wrapper::TWxCommunicationWrapperInterface>(kAppConfig + "W1");
  std::vector<std::string> notes;
  wx->GetProcessMsgList().Add(
      [&](std::uint32_t message, uInterfaces::IInterface*, std::uintptr_t lParam) {
        notes.push_back(std::to_string(message) + ":" + std::to_string(lParam));
      },
      0xC000);

  wx->SetEnabled(false);
  EXPECT_EQ(wx->Process(), 30000);
  EXPECT_TRUE(notes.empty());

  wx->SetEnabled(true);
  EXPECT_EQ(wx->Process(), 30000);  // no device yet: the attempt fails
  EXPECT_EQ(notes, (std::vector<std::string>{"49152:65537", "49152:131072"}));
  EXPECT_FALSE(wx->IsOpen());

  devices.Add(testsupport::DovelaInfo("W1"));
  gTicks = 40000 + 29999;
  wx->Process();  // too soon
  EXPECT_FALSE(wx->IsOpen());
  gTicks = 40000 + 30000;
  wx->Process();
  EXPECT_TRUE(wx->IsOpen());
  EXPECT_EQ(notes.size(), 4u);
  gTicks = 40000 + 90000;
  wx->Process();  // open: nothing to do
  EXPECT_EQ(notes.size(), 4u);
  uTimeout::SetTickSource(nullptr);
  wx->Close(false);
}
