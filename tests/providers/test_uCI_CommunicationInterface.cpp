#include "providers/uCI_CommunicationInterface.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ci/uMyInterfacedObject.h"
#include "support/TestProvider.h"

using uCI_CommunicationInterfaceUtils::ICommunicationInterface;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;
using testsupport::TTestProvider;

namespace {
// Subscribes directly (no queue), so events arrive on the raising thread in order.
struct TEvents {
  std::mutex mutex;
  std::vector<std::string> log;
  bool throwOnOpen = false;
  void Add(std::string s) {
    std::lock_guard lock(mutex);
    log.push_back(std::move(s));
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex);
    return log;
  }
  void OnOpen(ICommunicationInterface*) {
    Add("open");
    if (throwOnOpen) throw std::runtime_error("open handler failed");
  }
  void OnClose(ICommunicationInterface*) { Add("close"); }
  void OnRead(ICommunicationInterface*, const std::string& t) { Add("read " + t); }
  void OnWrite(ICommunicationInterface*, const std::string& t) { Add("write " + t); }
  void OnConfig(ICommunicationInterface*, const std::string& t) { Add("config " + t); }
  void OnError(ICommunicationInterface*, const std::string& name,
               const std::vector<std::string>& args, std::int32_t code) {
    std::string line = "error " + name + "(";
    for (const auto& a : args) line += a;
    Add(line + ")=" + std::to_string(code));
  }
};

class ProviderBaseTest : public testing::Test {
 protected:
  void SetUp() override {
    provider_ = uMyInterfacedObject::Create<TTestProvider>();
    provider_->GetOnOpen().Connect({&events_, &TEvents::OnOpen}, nullptr, nullptr);
    provider_->GetOnClose().Connect({&events_, &TEvents::OnClose}, nullptr, nullptr);
    provider_->GetOnReadString().Connect({&events_, &TEvents::OnRead}, nullptr, nullptr);
    provider_->GetOnWriteString().Connect({&events_, &TEvents::OnWrite}, nullptr, nullptr);
    provider_->GetOnConfigurationChange().Connect({&events_, &TEvents::OnConfig}, nullptr, nullptr);
    provider_->GetOnError().Connect({&events_, &TEvents::OnError}, nullptr, nullptr);
  }
  using TLog = std::vector<std::string>;
  TEvents events_;
  TInterfacePtr<TTestProvider> provider_;
};
}  // namespace

TEST_F(ProviderBaseTest, OpenAndCloseFireOnlyOnChange) {
  EXPECT_TRUE(provider_->Open());
  EXPECT_TRUE(provider_->Open());
  EXPECT_EQ(provider_->openCalls, 1);
  EXPECT_TRUE(provider_->Close(false));
  EXPECT_TRUE(provider_->Close(false));  // closed already: nothing
  EXPECT_EQ(provider_->closeCalls, 1);
  EXPECT_TRUE(provider_->Close(true));  // forced: asked again
  EXPECT_TRUE(provider_->lastForce);
  EXPECT_EQ(events_.Log(), (TLog{"open", "close", "close"}));
  EXPECT_FALSE(provider_->Closing());
}

TEST_F(ProviderBaseTest, FailuresBecomeErrorEvents) {
  provider_->openResult = false;
  EXPECT_FALSE(provider_->Open());
  provider_->configResult = false;
  provider_->SetConfiguration("provider=TEST;x=(1");
  provider_->configResult = true;
  provider_->SetConfiguration("provider=TEST");
  provider_->openResult = true;
  events_.throwOnOpen = true;
  EXPECT_TRUE(provider_->Open());  // the handler's failure does not undo the open
  EXPECT_EQ(events_.Log(), (TLog{"error Open()=0", "error SetConfiguration(provider=TEST;x=(1)=0",
                                 "config provider=TEST", "open", "error DoOpen()=0"}));
}

TEST_F(ProviderBaseTest, SetActiveOpensOrClosesAsNeeded) {
  provider_->SetActive(false);
  EXPECT_EQ(provider_->closeCalls, 0);
  provider_->SetActive(true);
  EXPECT_TRUE(provider_->IsOpen());
  provider_->SetActive(true);
  EXPECT_EQ(provider_->openCalls, 1);
  provider_->SetActive(false);
  EXPECT_FALSE(provider_->IsOpen());
}

TEST_F(ProviderBaseTest, WritesAreAnnouncedEvenWhenTheyFail) {
  provider_->writeResult = 0;
  EXPECT_EQ(provider_->WriteString("AT"), 0);
  EXPECT_EQ(events_.Log(), (TLog{"write AT"}));
  EXPECT_EQ(provider_->GetConfiguration(), "provider=TEST");
  EXPECT_EQ(provider_->GetAddress(), "provider=TEST");
}

TEST_F(ProviderBaseTest, TheBufferKeepsTheNewestBytes) {
  std::string text(100001, 'a');
  text.back() = 'z';
  provider_->Receive(text.substr(0, 50000));
  provider_->Receive(text.substr(50000));
  EXPECT_EQ(provider_->GetInputCount(), 100000);
  const std::string kept = provider_->ReadString();
  EXPECT_EQ(kept, text.substr(1));
  EXPECT_EQ(provider_->GetInputCount(), 0);
  provider_->Receive("x");
  provider_->ClearInput();
  EXPECT_EQ(provider_->GetInputCount(), 0);
}

TEST_F(ProviderBaseTest, QueryOnAClosedProviderAnnouncesTheRequestAndReturnsAtOnce) {
  std::string answer = "stale";
  const auto start = Clock::now();
  provider_->Query("req", 5000, 1000, 10000, true, true, {}, "", answer);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(answer, "");
  EXPECT_EQ(events_.Log(), (TLog{"write req"}));
  EXPECT_TRUE(provider_->written.empty());
}

TEST_F(ProviderBaseTest, AnEmptyRequestWaitsFirstTimeoutPlusFive) {
  ASSERT_TRUE(provider_->Open());
  std::string answer;
  const auto start = Clock::now();
  provider_->Query("", 40, 1000, 10000, false, false, {}, "", answer);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(45));
  EXPECT_LT(elapsed, std::chrono::milliseconds(300));
}

TEST_F(ProviderBaseTest, QueryCollectsWhatTheReceiveThreadDeliversAndEndsWhenComplete) {
  ASSERT_TRUE(provider_->Open());
  std::thread receiver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    provider_->Receive("AB");  // the receive path never waits for the running Query
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    provider_->Receive("C;");
  });
  std::string answer;
  std::vector<std::string> asked;
  provider_->Query(
      "q", 2000, 2000, 5000, true, true,
      [&](const std::string& t) {
        asked.push_back(t);
        return t.find(';') != std::string::npos;
      },
      ">", answer);
  receiver.join();
  EXPECT_EQ(answer,
            "AB"
            "C;");
  EXPECT_EQ(asked.back(),
            ">AB"
            "C;");
  EXPECT_EQ(provider_->written, (std::vector<std::string>{"q"}));
}

TEST_F(ProviderBaseTest, AForcedCloseCutsARunningQueryShort) {
  ASSERT_TRUE(provider_->Open());
  std::promise<void> started;
  auto query = std::async(std::launch::async, [&] {
    std::string answer;
    provider_->Query(
        "q", 10000, 10000, 20000, false, false,
        [&, first = true](const std::string&) mutable {
          if (first) started.set_value();
          first = false;
          return false;
        },
        "", answer);
  });
  started.get_future().wait();
  const auto start = Clock::now();
  EXPECT_TRUE(provider_->Close(true));
  ASSERT_EQ(query.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_FALSE(provider_->Closing());
  EXPECT_FALSE(provider_->IsOpen());
}

TEST_F(ProviderBaseTest, OddTimeFactorsAreClampedAndQueriesStillEnd) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    double factor;
    double kept;
  };
  const Case cases[] = {
      {2.5, 2.5},     {std::numeric_limits<double>::quiet_NaN(), 1.0},
      {kInf, 1000.0}, {1e300, 1000.0},
      {-kInf, 0.0},   {-3.0, 0.0},
      {0.0, 0.0},
  };
  ASSERT_TRUE(provider_->Open());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.factor);
    provider_->SetTimeFactor(c.factor);
    EXPECT_EQ(provider_->GetTimeFactor(), c.kept);
    std::string answer;
    const auto start = Clock::now();
    provider_->Query(
        "q", 100, 100, 100, false, false, [](const std::string&) { return true; }, "", answer);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
}

TEST_F(ProviderBaseTest, LockMisuseNamesTheProvider) {
  provider_->BeginRead();
  try {
    provider_->Open();  // takes the lock exclusively while this thread holds it shared
    ADD_FAILURE() << "no exception";
  } catch (const uSynchronizer::EMultiReadExclusiveWriteSynchronizerExtendedException& e) {
    EXPECT_STREQ(e.what(), "TTestProvider is currently locked for reading!");
  }
  provider_->EndRead();
  EXPECT_TRUE(provider_->Open());
}

TEST_F(ProviderBaseTest, EventsQueuedForAnotherThreadKeepTheProviderAlive) {
  uDispatcher::TDispatcher dispatcher;
  TEvents queued;
  provider_->GetOnReadString().Connect({&queued, &TEvents::OnRead}, nullptr, &dispatcher.Queue());
  provider_->Receive("late");
  TTestProvider* raw = provider_.Get();
  EXPECT_EQ(raw->RefCount(), 2);  // the queued event holds the sender
  provider_->GetOnReadString().Clear(false);
  provider_ = nullptr;
  EXPECT_TRUE(dispatcher.ProcessOne());
  EXPECT_EQ(queued.Log(), (TLog{"read late"}));
}
