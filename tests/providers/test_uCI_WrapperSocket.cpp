// The network channels end to end: the wrapper channel configured with "provider=TCP_CLIENT"
// or "provider=UDP_CLIENT", the provider with its socket and work thread, and peers on the
// loopback interface.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_DataSpy.h"
#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/uCI_SockClientInterface.h"
#include "support/EchoPeers.h"
#include "support/Loopback.h"

using testsupport::TPeerMode;
using testsupport::WaitUntil;
using uci_ICommunicationInterface::ICommunicationInterface;
using uCI_Wrapper::TCommunicationWrapperInterface;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;

namespace {

struct TError {
  std::string method;
  std::vector<std::string> args;
  std::int32_t code = 0;
  std::thread::id thread;
  // The method and the last argument (where the providers put the reason).
  std::string Text() const { return method + (args.empty() ? "" : ": " + args.back()); }
};

// What reaches the channel: errors, data notifications and, through the data spy, the texts
// written and read.
struct TChannelRecorder {
  std::mutex mutex;
  std::vector<TError> errors;
  std::vector<std::string> spied;  // "1 text" written, "2 text" read
  std::atomic<int> dataRcv{0};
  std::string dataThreadName;
  ICommunicationInterface* channel = nullptr;

  void OnError(ICommunicationInterface*, const std::string& method,
               const std::vector<std::string>& args, std::int32_t code) {
    std::lock_guard lock(mutex);
    errors.push_back({method, args, code, std::this_thread::get_id()});
  }
  void OnDataRcv(ICommunicationInterface*) {
    {
      std::lock_guard lock(mutex);
      dataThreadName = uThreadUtils::GetCurrentThreadName();
    }
    ++dataRcv;
  }
  void Spy(ICommunicationInterface* from, const std::string& text, std::uint8_t direction) {
    std::lock_guard lock(mutex);
    if (from == channel) spied.push_back(std::to_string(direction) + " " + text);
  }
  std::vector<TError> Errors() {
    std::lock_guard lock(mutex);
    return errors;
  }
  void Clear() {
    std::lock_guard lock(mutex);
    errors.clear();
  }
  // The first error of the method, waiting for it; empty method when none came.
  TError WaitForError(const std::string& method) {
    TError found;
    WaitUntil([&] {
      for (const TError& e : Errors())
        if (e.method == method) {
          found = e;
          return true;
        }
      return false;
    });
    return found;
  }
};

enum class TTransport { TCP, UDP };

std::string ProviderName(TTransport transport) {
  return transport == TTransport::TCP ? "TCP_CLIENT" : "UDP_CLIENT";
}

std::string Config(TTransport transport, int port, const std::string& more = {}) {
  return "provider=" + ProviderName(transport) + ";host=127.0.0.1;port=" + std::to_string(port) +
         more;
}

// An echoing peer of either kind.
class TEchoPeer {
 public:
  TEchoPeer(TTransport transport, const std::string& prefix) {
    if (transport == TTransport::TCP)
      tcp_ = std::make_unique<testsupport::TTcpEchoServer>(TPeerMode::Echo, prefix);
    else
      udp_ = std::make_unique<testsupport::TUdpEchoPeer>(prefix);
  }
  int Port() const { return tcp_ ? tcp_->Port() : udp_->Port(); }

 private:
  std::unique_ptr<testsupport::TTcpEchoServer> tcp_;
  std::unique_ptr<testsupport::TUdpEchoPeer> udp_;
};

class SocketChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    wrapper_ = uMyInterfacedObject::Create<TCommunicationWrapperInterface>();
    recorder_.channel = wrapper_.Get();
    wrapper_->SetOnError({&recorder_, &TChannelRecorder::OnError});
    wrapper_->SetOnDataRcv({&recorder_, &TChannelRecorder::OnDataRcv});
  }
  void TearDown() override {
    uCI_DataSpy::SetOnDataSpy({});
    wrapper_->Close(false);
  }
  std::string Query(const std::string& request, int first = 2000, int next = 50,
                    int total = 10000) {
    std::string answer;
    wrapper_->Query(request, first, next, total, true, true, {}, "", answer);
    return answer;
  }
  // The port the provider's socket has now (UDP: where datagrams to it must go).
  int ProviderLocalPort() {
    auto* provider = dynamic_cast<uCI_SockClientInterface::TCommunicationSockClientInterface*>(
        wrapper_->GetProvider().Get());
    std::string ip;
    int port = 0;
    if (!provider || !provider->Socket().GetLocalName(ip, port)) return -1;
    return port;
  }

  // An event still under way on the channel's receive thread keeps the channel alive after the
  // test lets go of it, and its handler may still run: the recorder it calls outlives the
  // test, to the end of the process (the library's end joins that thread first).
  static TChannelRecorder& NewRecorder() {
    static std::deque<TChannelRecorder> recorders;
    return recorders.emplace_back();
  }
  TChannelRecorder& recorder_ = NewRecorder();
  TInterfacePtr<TCommunicationWrapperInterface> wrapper_;
};

class SocketChannelBothTest : public SocketChannelTest,
                              public testing::WithParamInterface<TTransport> {};

std::string TransportName(const testing::TestParamInfo<TTransport>& info) {
  return info.param == TTransport::TCP ? "TCP" : "UDP";
}

}  // namespace

TEST_P(SocketChannelBothTest, QueryIsAnsweredByThePeerAndSpiedAndNotified) {
  TEchoPeer peer(GetParam(), "ok:");
  wrapper_->SetConfiguration(Config(GetParam(), peer.Port()));
  ASSERT_TRUE(wrapper_->GetProvider());
  EXPECT_EQ(wrapper_->GetProvider()->GetProviderName(), ProviderName(GetParam()));
  EXPECT_EQ(wrapper_->GetDescription(), "WrapperCI: provider=" + ProviderName(GetParam()) +
                                            ";host=127.0.0.1;port=" + std::to_string(peer.Port()));
  uCI_DataSpy::SetOnDataSpy({&recorder_, &TChannelRecorder::Spy});
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_TRUE(wrapper_->IsOpen());

  EXPECT_EQ(Query("/status.json\r\n"), "ok:/status.json\r\n");
  ASSERT_TRUE(WaitUntil([&] { return recorder_.dataRcv > 0; }));
  {
    std::lock_guard lock(recorder_.mutex);
    EXPECT_EQ(recorder_.dataThreadName, "CI Data Receive");
    EXPECT_EQ(recorder_.spied,
              (std::vector<std::string>{"1 /status.json\r\n", "2 ok:/status.json\r\n"}));
  }
  EXPECT_TRUE(recorder_.Errors().empty());
}

TEST_P(SocketChannelBothTest, EveryByteValueGoesAndComesBackUnchanged) {
  TEchoPeer peer(GetParam(), "");
  wrapper_->SetConfiguration(Config(GetParam(), peer.Port()));
  ASSERT_TRUE(wrapper_->Open());
  const std::string bytes = testsupport::AllByteValues();
  EXPECT_EQ(Query(bytes), bytes);
  // A NUL first and last, too.
  EXPECT_EQ(Query(std::string("\0mid\0", 5)), std::string("\0mid\0", 5));
}

TEST_P(SocketChannelBothTest, QueriesFromSeveralThreadsAreServedOneAfterTheOther) {
  TEchoPeer peer(GetParam(), "ok:");
  wrapper_->SetConfiguration(Config(GetParam(), peer.Port()));
  ASSERT_TRUE(wrapper_->Open());
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 6; ++i)
    answers.push_back(std::async(std::launch::async, [this, i] {
      return Query("req" + std::to_string(i), 2000, 60, 5000);
    }));
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(answers[static_cast<std::size_t>(i)].get(), "ok:req" + std::to_string(i));
  EXPECT_TRUE(recorder_.Errors().empty());
}

TEST_P(SocketChannelBothTest, AConfigurationChangedWhileOpenTalksToTheNewPeer) {
  TEchoPeer first(GetParam(), "A:");
  TEchoPeer second(GetParam(), "B:");
  wrapper_->SetConfiguration(Config(GetParam(), first.Port()));
  ASSERT_TRUE(wrapper_->Open());
  const auto provider = wrapper_->GetProvider();
  EXPECT_EQ(Query("x"), "A:x");

  // The application's way: configure, then Open, then ask at once.
  wrapper_->SetConfiguration(Config(GetParam(), second.Port()));
  EXPECT_EQ(wrapper_->GetProvider().Get(), provider.Get());  // reconfigured in place
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_EQ(Query("y"), "B:y");
  // Without an Open as well.
  wrapper_->SetConfiguration(Config(GetParam(), first.Port()));
  EXPECT_TRUE(wrapper_->IsOpen());
  EXPECT_EQ(Query("z"), "A:z");
  EXPECT_TRUE(recorder_.Errors().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, SocketChannelBothTest,
                         testing::Values(TTransport::TCP, TTransport::UDP), TransportName);

TEST_F(SocketChannelTest, TcpPeersThatDoNotAnswerEndTheQueryByItsLimits) {
  struct TCase {
    const char* name;
    TPeerMode mode;
    // Query limits: first answer, silence after a piece, overall.
    int first, next, total;
    const char* answer;  // "." marks any non-empty run of dots
    const char* error;   // what reaches OnError afterwards; "" for nothing
    std::int32_t code;
    bool staysOpen;
  };
  const TCase cases[] = {
      {"never answers", TPeerMode::Silent, 300, 50, 5000, "", "", 0, true},
      {"answers without end", TPeerMode::Drip, 5000, 1000, 400, ".", "", 0, true},
      {"closes", TPeerMode::Close, 300, 50, 5000, "",
       "SocketClosed: 127.0.0.1:PORT: receive: the peer closed the connection; the connection "
       "was closed",
       ENOTCONN, false},
      {"resets", TPeerMode::Reset, 300, 50, 5000, "",
       "SocketClosed: 127.0.0.1:PORT: receive: Connection reset by peer; the connection was "
       "closed",
       ECONNRESET, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TTcpEchoServer server(c.mode);
    recorder_.Clear();
    wrapper_->SetConfiguration(Config(TTransport::TCP, server.Port()));
    ASSERT_TRUE(wrapper_->Open());
    const auto start = Clock::now();
    const std::string answer = Query("hello", c.first, c.next, c.total);
    const auto took = Clock::now() - start;
    if (std::string(c.answer) == ".") {
      EXPECT_FALSE(answer.empty());
      EXPECT_EQ(answer.find_first_not_of('.'), std::string::npos) << answer;
      EXPECT_GE(took, std::chrono::milliseconds(c.total));
    } else {
      EXPECT_EQ(answer, c.answer);
      EXPECT_GE(took, std::chrono::milliseconds(c.first));
    }
    EXPECT_LT(took, std::chrono::milliseconds(c.first + c.total));
    EXPECT_EQ(server.Received(), "hello");
    if (c.staysOpen) {
      EXPECT_TRUE(wrapper_->IsOpen());
      EXPECT_TRUE(recorder_.Errors().empty());
    } else {
      ASSERT_TRUE(WaitUntil([&] { return !wrapper_->IsOpen(); }));
      std::string expected = c.error;
      expected.replace(expected.find("PORT"), 4, std::to_string(server.Port()));
      const TError error = recorder_.WaitForError("SocketClosed");
      EXPECT_EQ(error.Text(), expected);
      EXPECT_EQ(error.code, c.code);
      // The next Open connects again.
      ASSERT_TRUE(wrapper_->Open());
      EXPECT_TRUE(WaitUntil([&] { return server.Accepted() == 2; }));
    }
    wrapper_->Close(false);
  }
}

TEST_F(SocketChannelTest, APeerThatCannotBeReachedFailsTheOpenWithPeerReasonAndCode) {
  int refusedPort = 0;
  {
    testsupport::TTcpListener gone;
    refusedPort = gone.Port();
  }
  testsupport::TFullBacklogListener full;
  testsupport::TUdpPeer holder;  // holds a UDP port
  struct TCase {
    const char* name;
    std::string config;
    std::string reason;
    std::int32_t code;
  };
  const std::string refused = "127.0.0.1:" + std::to_string(refusedPort);
  const std::string silent = "127.0.0.1:" + std::to_string(full.Port());
  const TCase cases[] = {
      {"nobody listens", Config(TTransport::TCP, refusedPort),
       "connect to " + refused + ": Connection refused", ECONNREFUSED},
      {"nobody answers within the limit",
       Config(TTransport::TCP, full.Port(), ";ConnectionTimeout=200"),
       "connect to " + silent + ": no answer within 200 ms", ETIMEDOUT},
      {"a host name is not looked up", "provider=TCP_CLIENT;host=localhost;port=80",
       "connect to localhost:80: \"localhost\" is not an IPv4 address", EINVAL},
      {"the local UDP port is taken",
       Config(TTransport::UDP, 9, ";LocalPort=" + std::to_string(holder.Port())),
       "127.0.0.1:9: bind to 0.0.0.0:" + std::to_string(holder.Port()) + ": Address already in use",
       EADDRINUSE},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.Clear();
    wrapper_->SetConfiguration(c.config);
    EXPECT_FALSE(wrapper_->Open());
    EXPECT_FALSE(wrapper_->IsOpen());
    // The provider's report comes through the receive thread; the channel's own on this one.
    ASSERT_TRUE(WaitUntil([&] { return recorder_.Errors().size() == 2; }));
    const auto errors = recorder_.Errors();
    const TError& fromProvider = errors[0].args.empty() ? errors[1] : errors[0];
    const TError& fromChannel = errors[0].args.empty() ? errors[0] : errors[1];
    EXPECT_EQ(fromProvider.Text(), "Open: " + c.reason);
    EXPECT_EQ(fromProvider.code, c.code);
    EXPECT_NE(fromProvider.thread, std::this_thread::get_id());
    EXPECT_EQ(fromChannel.Text(), "Open");
    EXPECT_EQ(fromChannel.thread, std::this_thread::get_id());
    EXPECT_EQ(Query("x", 100), "");  // a closed channel answers nothing at once
  }
}

TEST_F(SocketChannelTest, AFailedWriteSaysWhereToAndWhy) {
  // UDP opens without a destination; the datagram then has nowhere to go.
  wrapper_->SetConfiguration("provider=UDP_CLIENT");
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_EQ(wrapper_->WriteString("lost"), 0);
  const TError error = recorder_.WaitForError("InternalWriteString");
  EXPECT_EQ(error.args.front(), "lost");
  EXPECT_EQ(error.Text(), "InternalWriteString: send to :0: \"\" is not an IPv4 address");
  EXPECT_EQ(error.code, EINVAL);
}

TEST_F(SocketChannelTest, UdpTakesDatagramsFromAnySenderAndAppendsThem) {
  testsupport::TUdpPeer destination;
  testsupport::TUdpPeer stranger;
  wrapper_->SetConfiguration(Config(TTransport::UDP, destination.Port()));
  ASSERT_TRUE(wrapper_->Open());
  const int local = ProviderLocalPort();
  ASSERT_GT(local, 0);
  ASSERT_TRUE(stranger.SendTo(local, "first;"));
  ASSERT_TRUE(stranger.SendTo(local, ""));  // carries nothing, holds nothing up
  ASSERT_TRUE(destination.SendTo(local, "second"));
  ASSERT_TRUE(WaitUntil([&] { return wrapper_->GetInputCount() == 12; }));
  EXPECT_EQ(wrapper_->ReadString(), "first;second");
}

TEST_F(SocketChannelTest, UdpMovedToAnotherLocalPortWhileOpenReceivesThere) {
  testsupport::TUdpPeer sender;
  int freePort = 0;
  {
    testsupport::TUdpPeer probe;
    freePort = probe.Port();
  }
  wrapper_->SetConfiguration(Config(TTransport::UDP, sender.Port()));
  ASSERT_TRUE(wrapper_->Open());
  const int before = ProviderLocalPort();
  wrapper_->SetConfiguration(
      Config(TTransport::UDP, sender.Port(), ";LocalPort=" + std::to_string(freePort)));
  EXPECT_TRUE(wrapper_->IsOpen());
  EXPECT_EQ(ProviderLocalPort(), freePort);
  EXPECT_NE(before, freePort);
  ASSERT_TRUE(sender.SendTo(freePort, "here"));
  ASSERT_TRUE(WaitUntil([&] { return wrapper_->GetInputCount() == 4; }));
  EXPECT_EQ(wrapper_->ReadString(), "here");
  EXPECT_TRUE(recorder_.Errors().empty());
}

TEST_F(SocketChannelTest, UdpPeersThatDoNotAnswerLeaveTheChannelUsable) {
  testsupport::TUdpPeer silent;
  int nobody = 0;
  {
    testsupport::TUdpPeer gone;
    nobody = gone.Port();
  }
  testsupport::TUdpEchoPeer echo("ok:");
  struct TCase {
    const char* name;
    int port;
  };
  const TCase cases[] = {{"never answers", silent.Port()}, {"nobody listens", nobody}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    wrapper_->SetConfiguration(Config(TTransport::UDP, c.port));
    ASSERT_TRUE(wrapper_->Open());
    const auto start = Clock::now();
    EXPECT_EQ(Query("anyone?", 300), "");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    // The port-unreachable report of the second case breaks nothing.
    EXPECT_EQ(Query("again", 100), "");
    EXPECT_TRUE(wrapper_->IsOpen());
    wrapper_->SetConfiguration(Config(TTransport::UDP, echo.Port()));
    EXPECT_EQ(Query("now"), "ok:now");
    EXPECT_TRUE(recorder_.Errors().empty());
    wrapper_->Close(false);
  }
}
