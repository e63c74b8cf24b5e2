#include "socket/uInetSocketCoreExtended.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "support/Loopback.h"

namespace {

using testsupport::kLoopback;
using uInetSocketCore::TInetSocketCore;
using uInetSocketCore::TInetSocketType;
using uInetSocketCoreExtended::TInetSocketCoreExtended;
using uWinSock::SockGetLastError;
using uWinSock::SockGetLastErrorText;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// An engine pointed at a loopback listener.
struct TTcpEngine {
  testsupport::TTcpListener listener;
  TInetSocketCoreExtended engine;
  testsupport::TTcpPeer peer;

  TTcpEngine() {
    engine.SetRemoteHost(kLoopback);
    engine.SetRemotePort(listener.Port());
  }
  void Connect(int timeoutMs = -1) {
    ASSERT_TRUE(engine.Allocate(TInetSocketType::TCP));
    ASSERT_TRUE(engine.Connect(timeoutMs)) << SockGetLastErrorText();
    peer = listener.Accept();
    ASSERT_TRUE(peer);
  }
  int EngineFd() {
    std::string ip;
    int port = 0;
    EXPECT_TRUE(engine.GetLocalName(ip, port));
    return testsupport::FindSocketByPorts(port, listener.Port());
  }
  // Everything received until `size` bytes arrived (or five seconds passed).
  std::string ReceiveAll(std::size_t size) {
    std::string all;
    testsupport::WaitUntil([&] {
      std::string data, host;
      int port = 0;
      EXPECT_TRUE(engine.Receive(data, host, port)) << SockGetLastErrorText();
      if (!data.empty()) {
        EXPECT_EQ(host, kLoopback);
        EXPECT_EQ(port, listener.Port());
      }
      all += data;
      return all.size() >= size;
    });
    return all;
  }
};

TEST(InetSocketCore, AllocateReplacesAndReleaseClearsTheFlags) {
  TInetSocketCore core;
  EXPECT_TRUE(core.Started());
  EXPECT_FALSE(core.IsAllocated());
  EXPECT_FALSE(core.Release()) << "no socket";
  EXPECT_EQ(SockGetLastError(), EBADF);
  EXPECT_TRUE(core.Shutdown(false, false));

  ASSERT_TRUE(core.Allocate(TInetSocketType::UDP));
  EXPECT_EQ(core.SocketType(), TInetSocketType::UDP);
  core.LocalIP = kLoopback;
  ASSERT_TRUE(core.Bind());
  EXPECT_TRUE(core.Bound());
  ASSERT_TRUE(core.Allocate(TInetSocketType::TCP));
  EXPECT_EQ(core.SocketType(), TInetSocketType::TCP);
  EXPECT_FALSE(core.Bound()) << "a new socket";
  EXPECT_TRUE(core.Release());
  EXPECT_FALSE(core.IsAllocated());
  EXPECT_EQ(core.Socket(), uWinSock::kInvalidSocket);
}

TEST(InetSocketCore, BindFailsForAnAddressInUse) {
  TInetSocketCore first, second;
  first.LocalIP = second.LocalIP = kLoopback;
  ASSERT_TRUE(first.Allocate(TInetSocketType::UDP));
  ASSERT_TRUE(first.Bind());
  std::string ip;
  int port = 0;
  ASSERT_TRUE(first.LocalName(ip, port));
  EXPECT_EQ(ip, kLoopback);
  EXPECT_GT(port, 0);
  second.LocalPort = port;
  ASSERT_TRUE(second.Allocate(TInetSocketType::UDP));
  EXPECT_FALSE(second.Bind());
  EXPECT_EQ(SockGetLastError(), EADDRINUSE);
  EXPECT_FALSE(second.Bound());
}

TEST(InetSocketConnect, ConnectsWithAndWithoutALimitAndOnlyOnce) {
  for (const int timeout : {-1, 5000}) {
    SCOPED_TRACE(timeout);
    TTcpEngine t;
    t.Connect(timeout);
    EXPECT_TRUE(t.engine.IsConnected());
    EXPECT_TRUE(t.engine.Connect(timeout)) << "already connected";
    EXPECT_FALSE(t.listener.Accept(50)) << "no second connection";
  }
}

TEST(InetSocketConnect, ARefusedConnectKeepsTheSocketForTheNextTry) {
  for (const int timeout : {-1, 5000}) {
    SCOPED_TRACE(timeout);
    TTcpEngine t;
    testsupport::TTcpListener closed;
    const int closedPort = closed.Port();
    closed.Close();
    t.engine.SetRemotePort(closedPort);
    ASSERT_TRUE(t.engine.Allocate(TInetSocketType::TCP));
    EXPECT_FALSE(t.engine.Connect(timeout));
    EXPECT_EQ(SockGetLastError(), ECONNREFUSED) << "copied from the connect thread too";
    EXPECT_NE(SockGetLastErrorText().find("Connection refused"), std::string::npos);
    EXPECT_TRUE(t.engine.IsAllocated());
    t.engine.SetRemotePort(t.listener.Port());
    EXPECT_TRUE(t.engine.Connect(timeout)) << SockGetLastErrorText();
  }
}

TEST(InetSocketConnect, AHostNameIsNotLookedUp) {
  for (const int timeout : {-1, 5000}) {
    TTcpEngine t;
    t.engine.SetRemoteHost("localhost");
    ASSERT_TRUE(t.engine.Allocate(TInetSocketType::TCP));
    EXPECT_FALSE(t.engine.Connect(timeout));
    EXPECT_EQ(SockGetLastError(), EINVAL);
  }
}

TEST(InetSocketConnect, ALimitAgainstNoAnswerTimesOutAndLeavesNoSocket) {
  for (const int limit : {0, 200}) {
    SCOPED_TRACE(limit);
    testsupport::TFullBacklogListener silent;
    TInetSocketCoreExtended engine;
    engine.SetRemoteHost(kLoopback);
    engine.SetRemotePort(silent.Port());
    ASSERT_TRUE(engine.Allocate(TInetSocketType::TCP));
    const auto start = Clock::now();
    EXPECT_FALSE(engine.Connect(limit));
    const double elapsed = MsSince(start);
    EXPECT_EQ(SockGetLastError(), uWinSock::kErrorTimedOut);
    EXPECT_NE(SockGetLastErrorText().find("no answer within"), std::string::npos);
    EXPECT_GE(elapsed, limit - 1);
    EXPECT_LT(elapsed, limit + 3000) << "the connect thread ended once the socket was closed";
    EXPECT_FALSE(engine.IsAllocated());
    EXPECT_FALSE(engine.Connect(limit)) << "no socket any more";
    EXPECT_EQ(SockGetLastError(), EBADF);
  }
}

TEST(InetSocketClose, AGracefulCloseCutsShortAConnectWithoutLimit) {
  testsupport::TFullBacklogListener silent;
  TInetSocketCoreExtended engine;
  engine.SetRemoteHost(kLoopback);
  engine.SetRemotePort(silent.Port());
  ASSERT_TRUE(engine.Allocate(TInetSocketType::TCP));
  auto connect = std::async(std::launch::async, [&] { return engine.Connect(-1); });
  EXPECT_EQ(connect.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "nobody answers";
  EXPECT_TRUE(engine.Close(true));
  ASSERT_EQ(connect.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(connect.get());
  EXPECT_FALSE(engine.IsConnected());
  EXPECT_EQ(engine.GetClosingCount(), 0);
  EXPECT_FALSE(engine.Close(true)) << "nothing left to close";
}

TEST(InetSocketClose, AGracefulCloseEndsASendThePeerNeverTakes) {
  TTcpEngine t;
  t.Connect();
  auto send = std::async(std::launch::async, [&] {
    return t.engine.Send(std::string(64 << 20, 'x'));  // far more than the socket buffers hold
  });
  EXPECT_EQ(send.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  const auto start = Clock::now();
  EXPECT_TRUE(t.engine.Close(true));
  EXPECT_LT(MsSince(start), 5000);
  ASSERT_EQ(send.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(send.get());
}

TEST(InetSocketData, EveryByteValueTravelsBothWays) {
  TTcpEngine t;
  t.Connect();
  const std::string bytes = testsupport::AllByteValues();
  ASSERT_TRUE(t.engine.Send(bytes));
  EXPECT_EQ(t.peer.Read(bytes.size()), bytes);
  ASSERT_TRUE(t.peer.Send(bytes));
  EXPECT_EQ(t.ReceiveAll(bytes.size()), bytes);
}

TEST(InetSocketData, ManySmallSendsAndOneLargeArriveWholeAndInOrder) {
  TTcpEngine t;
  t.Connect();
  std::string small;
  for (int i = 0; i < 2000; ++i) {
    const std::string piece = std::to_string(i) + ";";
    small += piece;
    ASSERT_TRUE(t.engine.Send(piece));
  }
  EXPECT_EQ(t.peer.Read(small.size()), small);

  std::string large(4 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  auto reader = std::async(std::launch::async, [&] { return t.peer.Read(large.size()); });
  ASSERT_TRUE(t.engine.Send(large));
  EXPECT_TRUE(reader.get() == large);

  auto writer = std::async(std::launch::async, [&] { return t.peer.Send(large); });
  EXPECT_TRUE(t.ReceiveAll(large.size()) == large);
  EXPECT_TRUE(writer.get());
}

TEST(InetSocketData, ReceiveNeedsAConnectedOrBoundSocket) {
  TTcpEngine t;
  std::string data = "stale", host;
  int port = 0;
  ASSERT_TRUE(t.engine.Allocate(TInetSocketType::TCP));
  EXPECT_FALSE(t.engine.Receive(data, host, port)) << "TCP, not connected";
  t.Connect();
  EXPECT_TRUE(t.engine.Receive(data, host, port)) << "nothing pending";
  EXPECT_EQ(data, "");

  TInetSocketCoreExtended udp;
  ASSERT_TRUE(udp.Allocate(TInetSocketType::UDP));
  EXPECT_FALSE(udp.Receive(data, host, port)) << "UDP, not bound";
}

TEST(InetSocketData, APeerThatClosesOrResetsEndsTheConnection) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    TTcpEngine t;
    t.Connect();
    ASSERT_TRUE(t.peer.Send("last words"));
    t.peer.Close(reset);
    std::string all, data, host;
    int port = 0;
    // What was sent before an orderly close still arrives; after it the stream has ended.
    EXPECT_TRUE(testsupport::WaitUntil([&] {
      const bool ok = t.engine.Receive(data, host, port);
      all += data;
      return !ok;
    }));
    if (!reset) {
      EXPECT_EQ(all, "last words");
    }
    EXPECT_TRUE(t.engine.IsConnectionLost());
    EXPECT_EQ(SockGetLastError(), reset ? ECONNRESET : ENOTCONN) << SockGetLastErrorText();
    EXPECT_TRUE(t.engine.Close(false));
    EXPECT_FALSE(t.engine.IsConnectionLost());
  }
}

TEST(InetSocketKeepAlive, StoredValuesApplyAtTheConnectAndAtOnceWhenConnected) {
  TTcpEngine t;
  EXPECT_TRUE(t.engine.SetKeepAlive(true, 5000, 1000)) << "stored for later";
  EXPECT_TRUE(t.engine.GetKeepAlive());
  t.Connect();
  int fd = t.EngineFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(testsupport::IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 5);
  EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);

  EXPECT_TRUE(t.engine.SetKeepAlive(true, 2500, 3000));
  EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 3);
  EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
  EXPECT_EQ(t.engine.GetKeepAliveTime(), 2500);
  EXPECT_EQ(t.engine.GetKeepAliveInterval(), 3000);
  EXPECT_TRUE(t.engine.SetKeepAlive(false, 0, 0));
  EXPECT_EQ(testsupport::IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
}

// A datagram socket can be connected, but takes no TCP keep-alive options: the system call
// fails, as the stored values must then survive.
TEST(InetSocketKeepAlive, ValuesTheSocketRefusesAreNotKept) {
  testsupport::TUdpPeer peer;
  TInetSocketCoreExtended engine;
  engine.SetRemoteHost(kLoopback);
  engine.SetRemotePort(peer.Port());
  ASSERT_TRUE(engine.SetKeepAlive(true, 5000, 1000));
  ASSERT_TRUE(engine.Allocate(TInetSocketType::UDP));
  ASSERT_TRUE(engine.Connect(-1));
  EXPECT_FALSE(engine.GetKeepAlive()) << "could not be applied after the connect: switched off";
  EXPECT_FALSE(engine.SetKeepAlive(true, 7000, 2000));
  EXPECT_FALSE(engine.GetKeepAlive());
  EXPECT_EQ(engine.GetKeepAliveTime(), 5000);
  EXPECT_EQ(engine.GetKeepAliveInterval(), 1000);
}

TEST(InetSocketDatagrams, GoToTheRemoteAddressAndComeFromAnySender) {
  testsupport::TUdpPeer peer, other;
  TInetSocketCoreExtended engine;
  engine.SetLocalIP(kLoopback);
  engine.SetRemoteHost(kLoopback);
  engine.SetRemotePort(peer.Port());
  ASSERT_TRUE(engine.Allocate(TInetSocketType::UDP));
  ASSERT_TRUE(engine.Bind());
  std::string ip;
  int port = 0;
  ASSERT_TRUE(engine.GetLocalName(ip, port));

  const std::string bytes = testsupport::AllByteValues();
  ASSERT_TRUE(engine.Send(bytes));
  std::string got;
  int from = 0;
  ASSERT_TRUE(peer.Receive(got, from));
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(from, port);

  ASSERT_TRUE(peer.SendTo(port, ""));
  ASSERT_TRUE(peer.SendTo(port, "x"));
  ASSERT_TRUE(other.SendTo(port, ""));
  ASSERT_TRUE(other.SendTo(port, "yz"));
  std::vector<std::pair<std::string, int>> received;
  testsupport::WaitUntil([&] {
    std::string data, host;
    int senderPort = 0;
    EXPECT_TRUE(engine.Receive(data, host, senderPort)) << SockGetLastErrorText();
    if (!data.empty()) {
      EXPECT_EQ(host, kLoopback);
      received.emplace_back(data, senderPort);
    }
    return received.size() >= 2;
  });
  EXPECT_EQ(received,
            (std::vector<std::pair<std::string, int>>{{"x", peer.Port()}, {"yz", other.Port()}}));

  engine.SetRemoteHost("");
  EXPECT_FALSE(engine.Send("lost")) << "no destination";
  EXPECT_EQ(SockGetLastError(), EINVAL);
}

}  // namespace
