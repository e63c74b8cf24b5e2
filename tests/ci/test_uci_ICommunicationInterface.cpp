#include "ci/uci_ICommunicationInterface.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_DataSpy.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uTimeout.h"
#include "support/TestChannel.h"

using testsupport::TTestChannel;
using uci_ICommunicationInterface::ICommunicationInterface;
using uci_ICommunicationInterface::TCINotifyErrorEvent;
using uci_ICommunicationInterface::TCINotifyEvent;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;

namespace {
// Records notifications, error reports and data-spy reports.
struct TRecorder {
  std::mutex mutex;
  std::vector<std::string> log;
  bool throwOnNotify = false;

  void Add(std::string line) {
    std::lock_guard lock(mutex);
    log.push_back(std::move(line));
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex);
    return log;
  }
  void Clear() {
    std::lock_guard lock(mutex);
    log.clear();
  }

  void OnOpen(ICommunicationInterface*) {
    Add("OnOpen");
    if (throwOnNotify) throw std::runtime_error("handler failed");
  }
  void OnClose(ICommunicationInterface*) {
    Add("OnClose");
    if (throwOnNotify) throw std::runtime_error("handler failed");
  }
  void OnDataRcv(ICommunicationInterface*) {
    Add("OnDataRcv");
    if (throwOnNotify) throw std::runtime_error("handler failed");
  }
  void OpenEventer(ICommunicationInterface*) { Add("OpenEventer"); }
  void CloseEventer(ICommunicationInterface*) { Add("CloseEventer"); }
  void ConfigChanged(ICommunicationInterface*) { Add("ConfigChanged"); }
  void Throwing(ICommunicationInterface*) { throw std::runtime_error("eventer handler failed"); }
  void OnError(ICommunicationInterface*, const std::string& method,
               const std::vector<std::string>& args, std::int32_t code) {
    std::string line = "OnError " + method + "(";
    for (std::size_t i = 0; i < args.size(); ++i) line += (i ? "," : "") + args[i];
    Add(line + ")=" + std::to_string(code));
  }
  void Spy(ICommunicationInterface*, const std::string& text, std::uint8_t direction) {
    Add("spy" + std::to_string(direction) + " " + text);
  }
};

using TLog = std::vector<std::string>;

class ChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    channel_ = uMyInterfacedObject::Create<TTestChannel>();
    channel_->SetOnOpen({&rec_, &TRecorder::OnOpen});
    channel_->SetOnClose({&rec_, &TRecorder::OnClose});
    channel_->SetOnDataRcv({&rec_, &TRecorder::OnDataRcv});
    channel_->SetOnError({&rec_, &TRecorder::OnError});
    channel_->GetOpenEventer().AddHandler({&rec_, &TRecorder::OpenEventer});
    channel_->GetCloseEventer().AddHandler({&rec_, &TRecorder::CloseEventer});
    channel_->GetConfigurationChangeEventer().AddHandler({&rec_, &TRecorder::ConfigChanged});
  }
  void TearDown() override { uCI_DataSpy::SetOnDataSpy({}); }

  void SpyOn() { uCI_DataSpy::SetOnDataSpy({&rec_, &TRecorder::Spy}); }

  TRecorder rec_;
  TInterfacePtr<TTestChannel> channel_;
};
}  // namespace

TEST_F(ChannelTest, OpenAndCloseNotifyOnlyWhenTheStateChanges) {
  EXPECT_TRUE(channel_->Open());
  EXPECT_EQ(rec_.Log(), (TLog{"OnOpen", "OpenEventer"}));
  rec_.Clear();
  EXPECT_TRUE(channel_->Open());  // already open: nothing is called
  EXPECT_EQ(channel_->openCalls, 1);
  EXPECT_EQ(rec_.Log(), TLog{});

  EXPECT_TRUE(channel_->Close(false));
  EXPECT_EQ(rec_.Log(), (TLog{"OnClose", "CloseEventer"}));
  rec_.Clear();
  EXPECT_TRUE(channel_->Close(false));  // already closed: nothing is called
  EXPECT_EQ(channel_->closeCalls, 1);
  EXPECT_EQ(rec_.Log(), TLog{});

  EXPECT_TRUE(channel_->Close(true));  // forced: the transport is asked again and notifies
  EXPECT_EQ(channel_->closeCalls, 2);
  EXPECT_TRUE(channel_->lastCloseForce);
  EXPECT_EQ(rec_.Log(), (TLog{"OnClose", "CloseEventer"}));
}

TEST_F(ChannelTest, FailedOpenAndCloseAreReported) {
  channel_->openResult = false;
  EXPECT_FALSE(channel_->Open());
  EXPECT_EQ(rec_.Log(), (TLog{"OnError Open()=0"}));

  channel_->openResult = true;
  ASSERT_TRUE(channel_->Open());
  rec_.Clear();
  channel_->closeResult = false;
  EXPECT_FALSE(channel_->Close(false));
  EXPECT_EQ(rec_.Log(), (TLog{"OnError Close()=0"}));
}

TEST_F(ChannelTest, SetActiveAnswersTheStateOrTheChange) {
  struct Case {
    bool open;
    bool value;
    bool transportResult;
    bool expected;
  };
  const Case cases[] = {
      {false, false, true, false},                             // nothing to do: the current state
      {true, true, true, true},    {false, true, true, true},  // opened
      {false, true, false, false}, {true, false, true, true},  // closed
      {true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.open << c.value << c.transportResult);
    channel_->open = c.open;
    channel_->openResult = c.transportResult;
    channel_->closeResult = c.transportResult;
    EXPECT_EQ(channel_->SetActive(c.value), c.expected);
  }
}

TEST_F(ChannelTest, ConfigurationIsAcceptedOrReportedWithTheRejectedString) {
  channel_->SetConfiguration("provider=HID;vid=$2047");
  EXPECT_EQ(rec_.Log(), (TLog{"ConfigChanged"}));
  rec_.Clear();
  channel_->configResult = false;
  channel_->SetConfiguration("provider=nonsense");
  EXPECT_EQ(rec_.Log(), (TLog{"OnError SetConfiguration(provider=nonsense)=0"}));
}

TEST_F(ChannelTest, HandlerExceptionsBecomeErrorReportsAndEventerOnesAreSkipped) {
  rec_.throwOnNotify = true;
  EXPECT_TRUE(channel_->Open());
  EXPECT_EQ(rec_.Log(), (TLog{"OnOpen", "OnError DoOpen()=0"}));  // the eventer is skipped too
  rec_.Clear();
  channel_->DoDataRcv();
  EXPECT_EQ(rec_.Log(), (TLog{"OnDataRcv", "OnError DoDataRcv()=0"}));
  rec_.Clear();
  EXPECT_TRUE(channel_->Close(false));
  EXPECT_EQ(rec_.Log(), (TLog{"OnClose", "OnError DoClose()=0"}));

  rec_.throwOnNotify = false;
  rec_.Clear();
  TRecorder thrower;
  channel_->GetOpenEventer().AddHandler({&thrower, &TRecorder::Throwing});
  channel_->GetOpenEventer().AddHandler({&rec_, &TRecorder::OpenEventer});
  EXPECT_TRUE(channel_->Open());
  EXPECT_EQ(rec_.Log(), (TLog{"OnOpen", "OpenEventer", "OpenEventer"}));
}

TEST_F(ChannelTest, AnErrorHandlersExceptionReachesTheCaller) {
  struct TThrowingError {
    void OnError(ICommunicationInterface*, const std::string&, const std::vector<std::string>&,
                 std::int32_t) {
      throw std::runtime_error("error handler failed");
    }
  } thrower;
  channel_->SetOnError({&thrower, &TThrowingError::OnError});
  channel_->openResult = false;
  EXPECT_THROW(channel_->Open(), std::runtime_error);
  // The lock was released on the way out.
  std::async(std::launch::async, [&] {
    channel_->BeginWrite();
    channel_->EndWrite();
  }).get();
}

TEST_F(ChannelTest, HandlerGettersReturnWhatTheSettersStored) {
  TRecorder other;
  const TCINotifyEvent notify(&other, &TRecorder::OnOpen);
  const TCINotifyEvent noObject(static_cast<TRecorder*>(nullptr), &TRecorder::OnClose);
  channel_->SetOnOpen(notify);
  channel_->SetOnClose(noObject);
  channel_->SetOnDataRcv({});
  channel_->SetOnChange(notify);
  const TCINotifyErrorEvent error(&other, &TRecorder::OnError);
  channel_->SetOnError(error);
  EXPECT_EQ(channel_->GetOnOpen(), notify);
  EXPECT_EQ(channel_->GetOnClose(), noObject);
  EXPECT_FALSE(channel_->GetOnDataRcv().IsAssigned());
  EXPECT_EQ(channel_->GetOnChange(), notify);
  EXPECT_EQ(channel_->GetOnError(), error);

  EXPECT_FALSE(channel_->GetConfigured());
  channel_->SetConfigured(true);
  EXPECT_TRUE(channel_->GetConfigured());
  EXPECT_DOUBLE_EQ(channel_->GetTimeFactor(), 1.0);
  EXPECT_FALSE(channel_->GetReservedFlag1());
  EXPECT_FALSE(channel_->GetReservedFlag2());
}

TEST_F(ChannelTest, AnswersItsInterfacesAndDescribesItsAddress) {
  TInterfacePtr<ICommunicationInterface> channel;
  TInterfacePtr<uci_ICommunicationInterface::ICommunicationInterfaceCore> core;
  TInterfacePtr<uNodedInterface::INodedInterface> node;
  EXPECT_TRUE(uInterfaces::Supports(channel_, channel));
  EXPECT_TRUE(uInterfaces::Supports(channel_, core));
  EXPECT_TRUE(uInterfaces::Supports(channel_, node));
  EXPECT_EQ(channel_->RefCount(), 4);
  channel_->SetConfiguration("a=1");
  EXPECT_EQ(channel->GetDescription(), "test:a=1");
  EXPECT_EQ(node->GetName(), "TTestChannel");
}

TEST(Channel, ConstructionAppliesOnlyANonEmptyConfiguration) {
  auto quiet = uMyInterfacedObject::Create<TTestChannel>();
  EXPECT_TRUE(quiet->Configs().empty());
  auto configured = uMyInterfacedObject::Create<TTestChannel>(std::string("provider=HID"));
  EXPECT_EQ(configured->Configs(), (std::vector<std::string>{"provider=HID"}));
}

TEST(Channel, PersistsItsConnectionStringInXml) {
  const auto doc = std::make_shared<pugi::xml_document>();
  doc->load_string(
      "<channel name=\"Modem\" GUID=\"{11111111-2222-3333-4444-555555555555}\" "
      "connectionstring=\"provider=HID;vid=$2047\"/>");
  auto parent = uMyInterfacedObject::Create<TTestChannel>();
  auto channel = uMyInterfacedObject::Create<TTestChannel>(
      uXmlUtils::TXmlElement(doc, doc->document_element()),
      static_cast<uInterfaces::IInterface*>(parent.Get()));
  EXPECT_EQ(channel->Configs(), (std::vector<std::string>{"provider=HID;vid=$2047"}));
  EXPECT_EQ(channel->GetName(), "Modem");
  EXPECT_EQ(channel->GetGUIDString(), "{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(parent->IndexOfChild(static_cast<uInterfaces::IInterface*>(channel.Get())), 0);

  channel->SetConfiguration("provider=TCP_CLIENT");
  channel->SaveToXML();
  EXPECT_STREQ(doc->document_element().attribute("connectionstring").value(),
               "provider=TCP_CLIENT");
  parent->Shutdown();
}

TEST_F(ChannelTest, WritesAndReadsAreSpiedWhateverTheyCarried) {
  SpyOn();
  channel_->writeResult = 0;  // nothing was sent
  EXPECT_EQ(channel_->WriteString("AT"), 0);
  EXPECT_EQ(channel_->ReadString(), "");
  channel_->Deliver("OK");
  EXPECT_EQ(channel_->ReadString(), "OK");
  EXPECT_EQ(rec_.Log(), (TLog{"spy1 AT", "spy2 ", "spy2 OK"}));
}

TEST_F(ChannelTest, ASpyHookThatThrowsDoesNotDisturbTheChannel) {
  struct TThrowingSpy {
    void Spy(ICommunicationInterface*, const std::string&, std::uint8_t) {
      throw std::runtime_error("hook failed");
    }
  } spy;
  uCI_DataSpy::SetOnDataSpy({&spy, &TThrowingSpy::Spy});
  EXPECT_EQ(channel_->WriteString("AT"), 2);
  channel_->Deliver("OK");
  EXPECT_EQ(channel_->ReadString(), "OK");
}

// ---- Query

namespace {
// A channel whose device answers every request with the given pieces, one after another.
class TAnsweringChannel : public TTestChannel {
 public:
  struct TPiece {
    int delayMs;
    std::string text;
  };
  std::vector<TPiece> pieces;
  ~TAnsweringChannel() override { Join(); }
  void Join() {
    for (auto& t : devices_) t.join();
    devices_.clear();
  }

 protected:
  void OnWritten(const std::string&) override {
    devices_.emplace_back([this, script = pieces] {
      for (const TPiece& p : script) {
        std::this_thread::sleep_for(std::chrono::milliseconds(p.delayMs));
        Deliver(p.text);
      }
    });
  }

 private:
  std::vector<std::thread> devices_;
};

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class QueryTest : public ChannelTest {
 protected:
  void SetUp() override {
    device_ = uMyInterfacedObject::Create<TAnsweringChannel>();
    device_->open = true;
    uCI_DataSpy::SetOnDataSpy({&rec_, &TRecorder::Spy});
  }
  TInterfacePtr<TAnsweringChannel> device_;
};
}  // namespace

TEST_F(QueryTest, OnAClosedChannelAnswersNothingButReportsBothWays) {
  device_->open = false;
  std::string answer = "stale";
  device_->Query("status", 1000, 100, 2000, true, true, {}, "", answer);
  EXPECT_EQ(answer, "");
  EXPECT_TRUE(device_->Written().empty());
  EXPECT_EQ(device_->clearInputCalls, 0);
  EXPECT_EQ(rec_.Log(), (TLog{"spy1 status", "spy2 "}));
}

TEST_F(QueryTest, CollectsPiecesInOrderAndEndsAfterTheGap) {
  device_->Deliver("old input");
  device_->pieces = {{10, "one,"}, {30, "two,"}, {30, "three"}};
  std::string answer;
  const auto start = Clock::now();
  device_->Query("get", 1000, 80, 5000, true, true, {}, "", answer);
  EXPECT_EQ(answer, "one,two,three");
  EXPECT_GE(ElapsedMs(start), 70 + 80);  // the last piece, then a full gap of silence
  EXPECT_EQ(device_->Written(), (std::vector<std::string>{"get"}));
  EXPECT_EQ(device_->clearInputCalls, 1);
  EXPECT_EQ(device_->clearOutputCalls, 1);
  EXPECT_EQ(rec_.Log(), (TLog{"spy1 get", "spy2 one,two,three"}));
}

TEST_F(QueryTest, WithoutClearingOldInputIsPartOfTheAnswer) {
  device_->Deliver("old;");
  device_->pieces = {{5, "new"}};
  std::string answer;
  device_->Query("get", 500, 40, 2000, false, false, {}, "", answer);
  EXPECT_EQ(answer, "old;new");
  EXPECT_EQ(device_->clearInputCalls, 0);
  EXPECT_EQ(device_->clearOutputCalls, 0);
}

TEST_F(QueryTest, ASteadyTalkerIsCutOffByTheOverallLimit) {
  for (int i = 0; i < 20; ++i) device_->pieces.push_back({15, "x"});  // 300 ms of talk
  std::string answer;
  const auto start = Clock::now();
  device_->Query("go", 1000, 50, 150, false, false, {}, "", answer);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 150 + 7);  // TotalTimeout + (2 + 5) ms allowance
  EXPECT_LT(elapsed, 450);
  EXPECT_FALSE(answer.empty());
  EXPECT_LT(answer.size(), 20u);
}

TEST_F(QueryTest, FirstTimeoutZeroWaitsOnlyTheAllowance) {
  std::string answer;
  const auto start = Clock::now();
  device_->Query(std::string(45, 'r'), 0, 1000, 5000, false, false, {}, "", answer);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 50);  // 45 characters + 5
  EXPECT_LT(elapsed, 300);
  EXPECT_EQ(answer, "");
  EXPECT_EQ(rec_.Log().back(), "spy2 ");
}

TEST_F(QueryTest, ANegativeLimitMeansNoWaitRatherThanAnEndlessOne) {
  std::string answer;
  const auto start = Clock::now();
  device_->Query("q", -100000, -1, -100000, false, false, {}, "", answer);
  EXPECT_LT(ElapsedMs(start), 200);
  EXPECT_EQ(device_->Written(), (std::vector<std::string>{"q"}));
}

TEST_F(QueryTest, ContinueEndsTheExchangeOnZero) {
  device_->pieces = {{0, "partial"}};
  int asked = 0;
  std::string seen;
  std::string answer;
  device_->Query(
      "q", 5000, 5000, 10000, false, false,
      [&](const std::string& text) -> std::uint16_t {
        ++asked;
        seen = text;
        return 0;
      },
      "P:", answer);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(seen.rfind("P:", 0), 0u);

  // Asked after every poll until the answer is complete.
  device_->Join();
  device_->pieces = {{5, "AB"}, {20, "C;"}};
  asked = 0;
  const auto start = Clock::now();
  device_->Query(
      "q", 5000, 5000, 10000, true, false,
      [&](const std::string& text) -> std::uint16_t {
        ++asked;
        return text.find(';') == std::string::npos ? 1 : 0;
      },
      "", answer);
  EXPECT_EQ(answer, "ABC;");
  EXPECT_GT(asked, 1);
  EXPECT_LT(ElapsedMs(start), 1000);
}

TEST_F(QueryTest, TheShortFormUsesFiftyMsGapsAndTwiceTheTimeoutOverall) {
  // No answer: the first-piece limit is Timeout + allowance.
  std::string answer;
  auto start = Clock::now();
  device_->Query("q", 60, {}, answer);
  long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 60 + 6);
  EXPECT_LT(elapsed, 300);

  // A piece every 30 ms (under the 50 ms gap) runs into the overall 2 x Timeout.
  for (int i = 0; i < 8; ++i) device_->pieces.push_back({30, "y"});
  start = Clock::now();
  device_->Query("q", 60, {}, answer);
  elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 120 + 6);
  EXPECT_LT(elapsed, 450);

  // A pause longer than 50 ms ends it.
  device_->Join();
  device_->ClearInput();  // what the talker sent after the cut-off
  device_->pieces = {{5, "a"}, {120, "late"}};
  device_->Query("q", 60, {}, answer);
  EXPECT_EQ(answer, "a");
}

namespace {
std::atomic<std::uint32_t> gWrapBase{0};
std::atomic<long long> gWrapOrigin{0};
// The real clock shifted so that it wraps shortly after the test starts.
std::uint32_t WrappingTicks() {
  const long long now =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count();
  return gWrapBase + static_cast<std::uint32_t>(now - gWrapOrigin);
}
}  // namespace

TEST_F(QueryTest, ALimitRunsAcrossTheTickCounterWrap) {
  gWrapOrigin =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count();
  gWrapBase = 0xFFFFFFFFu - 20;  // wraps 20 ms into the exchange
  uTimeout::SetTickSource(&WrappingTicks);
  std::string answer;
  const auto start = Clock::now();
  device_->Query("q", 100, 1000, 5000, false, false, {}, "", answer);
  const long elapsed = ElapsedMs(start);
  uTimeout::SetTickSource(nullptr);
  EXPECT_GE(elapsed, 100 + 6);
  EXPECT_LT(elapsed, 500);
}

TEST_F(QueryTest, ExchangesFromSeveralThreadsRunOneAfterTheOther) {
  // The device echoes each request in two pieces; interleaved exchanges would mix them.
  class TEchoChannel : public TTestChannel {
   public:
    ~TEchoChannel() override {
      for (auto& t : devices_) t.join();
    }

   protected:
    void OnWritten(const std::string& data) override {
      devices_.emplace_back([this, data] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Deliver("<" + data);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Deliver(">");
      });
    }

   private:
    std::vector<std::thread> devices_;  // touched only inside Query's lock
  };
  auto echo = uMyInterfacedObject::Create<TEchoChannel>();
  echo->open = true;
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 4; ++i) {
    answers.push_back(std::async(std::launch::async, [&, i] {
      std::string answer;
      echo->Query("r" + std::to_string(i), 1000, 40, 3000, true, true, {}, "", answer);
      return answer;
    }));
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(answers[i].get(), "<r" + std::to_string(i) + ">");
}

TEST_F(QueryTest, AnExceptionLeavesTheLockAndSkipsTheFinalReport) {
  device_->pieces = {{0, "x"}};
  std::string answer;
  EXPECT_THROW(device_->Query(
                   "q", 1000, 100, 2000, false, false,
                   [](const std::string&) -> std::uint16_t { throw std::runtime_error("stop"); },
                   "", answer),
               std::runtime_error);
  EXPECT_EQ(rec_.Log(), (TLog{"spy1 q"}));
  auto other = std::async(std::launch::async, [&] { return device_->Open(); });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(other.get());
}
