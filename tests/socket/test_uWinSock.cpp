#include "socket/uWinSock.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "support/Loopback.h"

namespace {

using namespace uWinSock;
using testsupport::kLoopback;
using testsupport::TFd;

// A connected pair over loopback: the tested socket and the accepted peer.
struct TConnectedPair {
  testsupport::TTcpListener listener;
  TFd socket{SockCreate(TInetSocketType::TCP)};
  testsupport::TTcpPeer peer;
  TConnectedPair() {
    EXPECT_EQ(SockConnect(socket.Get(), kLoopback, listener.Port()), 0) << SockGetLastErrorText();
    peer = listener.Accept();
    EXPECT_TRUE(peer);
  }
};

TEST(WinSockAddresses, OnlyDottedIPv4TextAndPortsInRangeAreUsed) {
  struct TCase {
    const char* ip;
    int port;
    const char* inMessage;
  };
  const TCase cases[] = {
      {"", 80, "\"\" is not an IPv4 address"},
      {"localhost", 80, "\"localhost\" is not an IPv4 address"},  // never looked up
      {"256.1.1.1", 80, "is not an IPv4 address"},
      {"1.2.3.4.5", 80, "is not an IPv4 address"},
      {"127.0.0.1", -1, "port -1 is out of range"},
      {"127.0.0.1", 65536, "port 65536 is out of range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + ":" + std::to_string(c.port));
    TFd tcp(SockCreate(TInetSocketType::TCP));
    TFd udp(SockCreate(TInetSocketType::UDP));
    EXPECT_EQ(SockConnect(tcp.Get(), c.ip, c.port), -1);
    EXPECT_EQ(SockGetLastError(), EINVAL);
    EXPECT_NE(SockGetLastErrorText().find(c.inMessage), std::string::npos)
        << SockGetLastErrorText();
    EXPECT_EQ(SockBind(udp.Get(), c.ip, c.port), -1);
    EXPECT_EQ(SockGetLastError(), EINVAL);
    EXPECT_EQ(SockSendStringTo(udp.Get(), "x", c.ip, c.port), -1);
    EXPECT_EQ(SockGetLastError(), EINVAL);
  }
}

TEST(WinSockErrors, CarryTheErrnoValueAndAMessageNamingTheCall) {
  testsupport::TTcpListener listener;
  const int closedPort = listener.Port();
  listener.Close();
  TFd s(SockCreate(TInetSocketType::TCP));
  ASSERT_EQ(SockConnect(s.Get(), kLoopback, closedPort), -1);
  EXPECT_EQ(SockGetLastError(), ECONNREFUSED);
  EXPECT_EQ(SockGetLastErrorText(),
            "connect to 127.0.0.1:" + std::to_string(closedPort) + ": Connection refused");

  SockSetLastError(kErrorTimedOut);
  EXPECT_EQ(SockGetLastError(), ETIMEDOUT);
  EXPECT_EQ(SockGetLastErrorText(), "Connection timed out");
}

// A connect to a peer that never answers ends soon after it is abandoned, also when that
// happened before the call (a close from another thread that came first), and the socket is
// blocking again afterwards. A blocking connect(2) would wait out the system's two minutes.
TEST(WinSockConnect, AnAbandonedConnectEndsAtOnceAndLeavesTheSocketBlocking) {
  for (const int abandonAfterMs : {0, 100}) {
    SCOPED_TRACE(abandonAfterMs);
    testsupport::TFullBacklogListener silent;
    TFd s(SockCreate(TInetSocketType::TCP));
    std::atomic<bool> abandoned{abandonAfterMs == 0};
    std::thread abandon([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(abandonAfterMs));
      abandoned = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SockConnect(s.Get(), kLoopback, silent.Port(), &abandoned), -1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    abandon.join();
    EXPECT_EQ(SockGetLastError(), ECONNABORTED);
    EXPECT_NE(SockGetLastErrorText().find("closed meanwhile"), std::string::npos);
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_EQ(::fcntl(s.Get(), F_GETFL) & O_NONBLOCK, 0);
  }
}

TEST(WinSockKeepAlive, MillisecondsBecomeWholeSecondsRoundedUp) {
  const std::pair<int, int> cases[] = {{-5, 1},           {0, 1},          {1, 1},    {999, 1},
                                       {1000, 1},         {1001, 2},       {5000, 5}, {5001, 6},
                                       {32767000, 32767}, {INT_MAX, 32767}};
  for (const auto& [ms, seconds] : cases) EXPECT_EQ(KeepAliveSeconds(ms), seconds) << ms;
}

TEST(WinSockKeepAlive, OptionsReadBackFromTheSocket) {
  struct TCase {
    bool enabled;
    int timeMs, intervalMs;
    int idle, interval;
  };
  const TCase cases[] = {{true, 5000, 1000, 5, 1}, {true, 1500, 300, 2, 1}, {true, 0, 0, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.timeMs) + "/" + std::to_string(c.intervalMs));
    TConnectedPair pair;
    ASSERT_EQ(SockSetKeepAlive(pair.socket.Get(), c.enabled, c.timeMs, c.intervalMs), 0);
    const int fd = pair.socket.Get();
    EXPECT_EQ(testsupport::IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), c.idle);
    EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), c.interval);
    EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), kKeepAliveProbes);
  }
  TConnectedPair pair;
  ASSERT_EQ(SockSetKeepAlive(pair.socket.Get(), true, 5000, 1000), 0);
  ASSERT_EQ(SockSetKeepAlive(pair.socket.Get(), false, 5000, 1000), 0);
  EXPECT_EQ(testsupport::IntOption(pair.socket.Get(), SOL_SOCKET, SO_KEEPALIVE), 0);

  // TCP options on a datagram socket fail, with the option named.
  TFd udp(SockCreate(TInetSocketType::UDP));
  EXPECT_EQ(SockSetKeepAlive(udp.Get(), true, 5000, 1000), -1);
  EXPECT_NE(SockGetLastErrorText().find("TCP_KEEPIDLE"), std::string::npos)
      << SockGetLastErrorText();
}

TEST(WinSockStreamReceive, ReadsWhatIsPendingAndTellsAnEndFromNothing) {
  TConnectedPair pair;
  std::string data = "stale";
  EXPECT_EQ(SockReceiveString(pair.socket.Get(), data), 0);
  EXPECT_EQ(data, "");

  ASSERT_TRUE(pair.peer.Send("hello"));
  ASSERT_TRUE(testsupport::WaitReadable(pair.socket.Get(), 5000));
  EXPECT_EQ(SockReceiveString(pair.socket.Get(), data), 5);
  EXPECT_EQ(data, "hello");

  pair.peer.Close();
  ASSERT_TRUE(testsupport::WaitReadable(pair.socket.Get(), 5000));
  EXPECT_EQ(SockReceiveString(pair.socket.Get(), data), kReceivePeerClosed);
  EXPECT_EQ(data, "");
  // An empty send to a peer that only closed still goes: the connection is half open.
  EXPECT_EQ(SockSendString(pair.socket.Get(), ""), 0);
}

TEST(WinSockStreamReceive, AResetIsAnErrorAndSendsFailWithoutASignal) {
  TConnectedPair pair;
  pair.peer.Close(true);
  ASSERT_TRUE(testsupport::WaitReadable(pair.socket.Get(), 5000));
  std::string data;
  EXPECT_EQ(SockReceiveString(pair.socket.Get(), data), kReceiveFailed);
  EXPECT_EQ(SockGetLastError(), ECONNRESET);
  EXPECT_EQ(SockGetLastErrorText(), "receive: Connection reset by peer");
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  EXPECT_EQ(SockSendString(pair.socket.Get(), "x"), -1);
  EXPECT_EQ(SockSendString(pair.socket.Get(), ""), -1);
  EXPECT_EQ(SockGetLastError(), EPIPE);
}

TEST(WinSockDatagramReceive, AZeroLengthDatagramIsTakenAndTheNextOnesFollow) {
  TFd s(SockCreate(TInetSocketType::UDP));
  ASSERT_EQ(SockBind(s.Get(), kLoopback, 0), 0);
  std::string ip;
  int port = 0;
  ASSERT_TRUE(SockGetLocalName(s.Get(), ip, port));
  EXPECT_EQ(ip, kLoopback);
  testsupport::TUdpPeer peer;
  for (const char* d : {"", "abc", "", "", "d"}) ASSERT_TRUE(peer.SendTo(port, d));

  std::vector<std::string> received;
  std::string data;
  std::string from;
  int fromPort = 0;
  for (int i = 0; i < 50 && received.size() < 2; ++i) {
    ASSERT_TRUE(testsupport::WaitReadable(s.Get(), 5000));
    const long n = SockReceiveStringFrom(s.Get(), data, from, fromPort);
    ASSERT_GE(n, 0) << SockGetLastErrorText();
    EXPECT_EQ(static_cast<std::size_t>(n), data.size());
    if (n == 0) {
      EXPECT_EQ(from, "");
      continue;
    }
    received.push_back(data);
    EXPECT_EQ(from, kLoopback);
    EXPECT_EQ(fromPort, peer.Port());
  }
  EXPECT_EQ(received, (std::vector<std::string>{"abc", "d"}));
  EXPECT_FALSE(testsupport::WaitReadable(s.Get(), 0)) << "every empty datagram was taken";
  EXPECT_EQ(SockReceiveStringFrom(s.Get(), data, from, fromPort), 0);
}

}  // namespace
