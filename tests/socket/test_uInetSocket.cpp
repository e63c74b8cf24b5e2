#include "socket/uInetSocket.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <vector>

#include "support/Loopback.h"

namespace {

using testsupport::kLoopback;
using testsupport::WaitUntil;
using uInetSocket::TDataReceivedHandler;
using uInetSocket::TInetSocket;
using uInetSocket::TInetSocketCustom;
using uInetSocket::TInetSocketPacket;
using uInetSocket::TInetSocketType;
using uInetSocket::TSocketClosedHandler;
using uInetSocket::TSocketErrorHandler;
using Clock = std::chrono::steady_clock;

struct TError {
  std::string method, message, exceptionClass;
  bool operator==(const TError&) const = default;
};

using TDataAction = std::function<void(TInetSocketCustom*, const TInetSocketPacket&)>;

// Records the events of a socket; an action set with OnData runs inside the data handler.
class TRecorder {
 public:
  void OnData(TDataAction action) {
    std::lock_guard lock(mutex_);
    onData_ = std::move(action);
  }
  void FailErrorHandler(int times) {
    std::lock_guard lock(mutex_);
    errorHandlerFailures_ = times;
  }

  void Attach(TInetSocket& socket) {
    socket.SetOnDataReceived(TDataReceivedHandler(this, &TRecorder::DataReceived));
    socket.SetOnSocketClosed(TSocketClosedHandler(this, &TRecorder::SocketClosed));
    socket.SetOnSocketError(TSocketErrorHandler(this, &TRecorder::SocketError));
  }

  std::vector<TInetSocketPacket> Packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  std::string Data() {
    std::string all;
    for (const auto& p : Packets()) all += p.Data;
    return all;
  }
  int Closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  std::vector<TError> Errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  TInetSocketCustom* LastSender() {
    std::lock_guard lock(mutex_);
    return sender_;
  }

 private:
  void DataReceived(TInetSocketCustom* sender, const TInetSocketPacket& packet) {
    TDataAction action;
    {
      std::lock_guard lock(mutex_);
      packets_.push_back(packet);
      sender_ = sender;
      action = onData_;
    }
    if (action) action(sender, packet);
  }
  void SocketClosed(TInetSocketCustom* sender) {
    std::lock_guard lock(mutex_);
    ++closed_;
    sender_ = sender;
  }
  void SocketError(TInetSocketCustom*, const std::string& method, const std::string& message,
                   const std::string& exceptionClass) {
    std::lock_guard lock(mutex_);
    errors_.push_back({method, message, exceptionClass});
    if (errorHandlerFailures_ > 0) {
      --errorHandlerFailures_;
      throw std::logic_error("error handler failed");
    }
  }

  std::mutex mutex_;
  TDataAction onData_;
  int errorHandlerFailures_ = 0;  // how many error calls raise
  std::vector<TInetSocketPacket> packets_;
  int closed_ = 0;
  std::vector<TError> errors_;
  TInetSocketCustom* sender_ = nullptr;
};

// A TCP socket object connected to a loopback listener.
struct TTcpSocket {
  testsupport::TTcpListener listener;
  TRecorder recorder;
  std::unique_ptr<TInetSocket> socket = std::make_unique<TInetSocket>();
  testsupport::TTcpPeer peer;

  TTcpSocket() {
    recorder.Attach(*socket);
    socket->SetRemoteHost(kLoopback);
    socket->SetRemotePort(listener.Port());
  }
  void Connect() {
    ASSERT_TRUE(socket->Connect(5000)) << uWinSock::SockGetLastErrorText();
    peer = listener.Accept();
    ASSERT_TRUE(peer);
  }
  // The peer's data has come through the socket: the connection still works.
  bool StillReceives(const std::string& text) {
    const std::size_t before = recorder.Data().size();
    return peer.Send(text) &&
           WaitUntil([&] { return recorder.Data().size() >= before + text.size(); }) &&
           recorder.Data().substr(before) == text;
  }
  int EngineFd() {
    std::string ip;
    int port = 0;
    EXPECT_TRUE(socket->GetLocalName(ip, port));
    return testsupport::FindSocketByPorts(port, listener.Port());
  }
};

// A UDP socket object bound to a port of the loopback interface.
struct TUdpSocket {
  testsupport::TUdpPeer peer;
  TRecorder recorder;
  TInetSocket socket;
  int port = 0;

  TUdpSocket() {
    recorder.Attach(socket);
    socket.SetSocketType(TInetSocketType::UDP);
    socket.SetLocalIP(kLoopback);
    socket.SetRemoteHost(kLoopback);
    socket.SetRemotePort(peer.Port());
    EXPECT_TRUE(socket.Bind()) << uWinSock::SockGetLastErrorText();
    std::string ip;
    EXPECT_TRUE(socket.GetLocalName(ip, port));
  }
};

TEST(InetSocketEvents, ReceivedBytesComeToTheHandlerAndTheQueue) {
  TTcpSocket t;
  t.Connect();
  const std::string bytes = testsupport::AllByteValues();
  ASSERT_TRUE(t.peer.Send(bytes));
  ASSERT_TRUE(WaitUntil([&] { return t.recorder.Data().size() >= bytes.size(); }));
  EXPECT_EQ(t.recorder.Data(), bytes);
  EXPECT_EQ(t.recorder.LastSender(), t.socket.get());
  for (const auto& packet : t.recorder.Packets()) {
    EXPECT_EQ(packet.Host, kLoopback);
    EXPECT_EQ(packet.Port, t.listener.Port());
  }
  std::string queued;
  TInetSocketPacket packet;
  while (t.socket->PopPacket(packet)) queued += packet.Data;
  EXPECT_EQ(queued, bytes);

  ASSERT_TRUE(t.socket->Send(bytes));
  EXPECT_EQ(t.peer.Read(bytes.size()), bytes);
}

TEST(InetSocketEvents, APeerThatClosesOrResetsFiresSocketClosedOnce) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    TTcpSocket t;
    t.Connect();
    ASSERT_TRUE(t.StillReceives("before"));
    t.peer.Close(reset);
    ASSERT_TRUE(WaitUntil([&] { return t.recorder.Closed() == 1; }));
    EXPECT_FALSE(t.socket->IsConnected());
    EXPECT_EQ(t.recorder.Errors(), std::vector<TError>{});
    // Reconnecting makes a new socket; its own close is reported once again.
    t.Connect();
    ASSERT_TRUE(t.StillReceives("after"));
    t.peer.Close(reset);
    ASSERT_TRUE(WaitUntil([&] { return t.recorder.Closed() == 2; }));
  }
}

TEST(InetSocketEvents, DatagramsComeOneByOneAndEmptyOnesAreSkipped) {
  TUdpSocket u;
  testsupport::TUdpPeer other;
  for (const char* d : {"", "a", "", ""}) ASSERT_TRUE(u.peer.SendTo(u.port, d));
  ASSERT_TRUE(other.SendTo(u.port, "bc"));
  ASSERT_TRUE(u.peer.SendTo(u.port, ""));
  ASSERT_TRUE(u.peer.SendTo(u.port, testsupport::AllByteValues()));
  ASSERT_TRUE(WaitUntil([&] { return u.recorder.Packets().size() >= 3; }));
  const auto packets = u.recorder.Packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].Data, "a");
  EXPECT_EQ(packets[0].Port, u.peer.Port());
  EXPECT_EQ(packets[1].Data, "bc");
  EXPECT_EQ(packets[1].Port, other.Port());
  EXPECT_EQ(packets[2].Data, testsupport::AllByteValues());
  EXPECT_EQ(packets[2].Host, kLoopback);

  ASSERT_TRUE(u.socket.Send("reply"));
  std::string got;
  int from = 0;
  ASSERT_TRUE(u.peer.Receive(got, from));
  EXPECT_EQ(got, "reply");
  EXPECT_EQ(from, u.port);
}

TEST(InetSocketEvents, TheQueueKeepsTheNewestPacketsOfItsCapacity) {
  for (const int capacity : {0, 2}) {
    SCOPED_TRACE(capacity);
    TUdpSocket u;
    u.socket.SetPacketQueueCapacity(capacity);
    for (const char* d : {"A", "B", "C"}) ASSERT_TRUE(u.peer.SendTo(u.port, d));
    ASSERT_TRUE(WaitUntil([&] { return u.recorder.Packets().size() == 3; }));
    std::vector<std::string> queued;
    TInetSocketPacket packet;
    while (u.socket.PopPacket(packet)) queued.push_back(packet.Data);
    const std::vector<std::string> expected =
        capacity == 0 ? std::vector<std::string>{} : std::vector<std::string>{"B", "C"};
    EXPECT_EQ(queued, expected);
  }
}

TEST(InetSocketAccess, TheWorkThreadMayNotUseTheSocket) {
  struct TCase {
    const char* name;
    std::function<void(TInetSocket&)> call;
  };
  const TCase cases[] = {
      {"Send", [](TInetSocket& s) { s.Send("x"); }},
      {"IsConnected", [](TInetSocket& s) { s.IsConnected(); }},
      {"Connect", [](TInetSocket& s) { s.Connect(100); }},
      {"Close", [](TInetSocket& s) { s.Close(false); }},
      {"SetRemotePort", [](TInetSocket& s) { s.SetRemotePort(1); }},
      {"GetRemoteHost", [](TInetSocket& s) { s.GetRemoteHost(); }},
      {"SetKeepAlive", [](TInetSocket& s) { s.SetKeepAlive(true, 1, 1); }},
      {"SetOnDataReceived", [](TInetSocket& s) { s.SetOnDataReceived({}); }},
  };
  TTcpSocket t;
  t.Connect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t.recorder.OnData([&](TInetSocketCustom* sender, const TInetSocketPacket&) {
      c.call(*static_cast<TInetSocket*>(sender));
    });
    const std::size_t before = t.recorder.Errors().size();
    ASSERT_TRUE(t.peer.Send("x"));
    ASSERT_TRUE(WaitUntil([&] { return t.recorder.Errors().size() == before + 1; }));
    EXPECT_EQ(t.recorder.Errors().back(),
              (TError{"DoDataReceive", "Access to InetSocket by WorkThread denied!",
                      "EInetSocketAccessByWorkThreadDenied"}));
  }
  // Nothing was touched: the connection and its settings are as they were.
  t.recorder.OnData(nullptr);
  EXPECT_TRUE(t.socket->IsConnected());
  EXPECT_EQ(t.socket->GetRemotePort(), t.listener.Port());
  EXPECT_TRUE(t.StillReceives("still here"));

  // The forced close is the one operation a handler may call.
  t.recorder.OnData(
      [](TInetSocketCustom* sender, const TInetSocketPacket&) { sender->Close(true); });
  ASSERT_TRUE(t.peer.Send("close"));
  ASSERT_TRUE(WaitUntil([&] { return !t.socket->IsConnected(); }));
  EXPECT_EQ(t.peer.Read(1, 5000), "") << "the peer sees the end of the stream";
  EXPECT_EQ(t.recorder.Errors().size(), std::size(cases));
}

TEST(InetSocketErrors, AFailingHandlerIsReportedAndAFailingErrorHandlerOnceMore) {
  TTcpSocket t;
  t.Connect();
  t.recorder.OnData([](TInetSocketCustom*, const TInetSocketPacket& p) {
    throw std::runtime_error("boom " + p.Data);
  });
  ASSERT_TRUE(t.peer.Send("1"));
  ASSERT_TRUE(WaitUntil([&] { return t.recorder.Errors().size() == 1; }));
  EXPECT_EQ(t.recorder.Errors()[0], (TError{"DoDataReceive", "boom 1", "runtime_error"}));

  // The first error call raises: reported as DoInternalError; that one raises too: dropped.
  t.recorder.FailErrorHandler(2);
  ASSERT_TRUE(t.peer.Send("2"));
  ASSERT_TRUE(WaitUntil([&] { return t.recorder.Errors().size() == 3; }));
  EXPECT_EQ(t.recorder.Errors()[1], (TError{"DoDataReceive", "boom 2", "runtime_error"}));
  EXPECT_EQ(t.recorder.Errors()[2],
            (TError{"DoInternalError", "error handler failed", "logic_error"}));

  // The work thread goes on, and the connection too.
  t.recorder.OnData(nullptr);
  EXPECT_TRUE(t.StillReceives("3"));
  EXPECT_TRUE(t.socket->IsConnected());
  EXPECT_EQ(t.recorder.Errors().size(), 3u);
}

TEST(InetSocketSettings, AChangedAddressClosesASocketInUseAndNothingElseDoes) {
  struct TCase {
    const char* name;
    std::function<void(TTcpSocket&)> change;
    bool closes;
  };
  const TCase cases[] = {
      {"same remote port", [](TTcpSocket& t) { t.socket->SetRemotePort(t.listener.Port()); },
       false},
      {"new remote port", [](TTcpSocket& t) { t.socket->SetRemotePort(t.listener.Port() + 1); },
       true},
      {"same remote host", [](TTcpSocket& t) { t.socket->SetRemoteHost(kLoopback); }, false},
      {"new remote host", [](TTcpSocket& t) { t.socket->SetRemoteHost("127.0.0.2"); }, true},
      {"new local port while only connected", [](TTcpSocket& t) { t.socket->SetLocalPort(4000); },
       false},
      {"new local address while only connected",
       [](TTcpSocket& t) { t.socket->SetLocalIP("127.0.0.3"); }, false},
      {"same socket type", [](TTcpSocket& t) { t.socket->SetSocketType(TInetSocketType::TCP); },
       false},
      {"other socket type", [](TTcpSocket& t) { t.socket->SetSocketType(TInetSocketType::UDP); },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTcpSocket t;
    t.Connect();
    c.change(t);
    if (c.closes) {
      ASSERT_TRUE(WaitUntil([&] { return t.recorder.Closed() == 1; }));
      EXPECT_FALSE(t.socket->IsConnected());
      EXPECT_EQ(t.peer.Read(1, 5000), "") << "the peer sees the end of the stream";
    } else {
      EXPECT_TRUE(t.StillReceives("still connected"));
      EXPECT_EQ(t.recorder.Closed(), 0);
      EXPECT_TRUE(t.socket->IsConnected());
    }
  }
}

// A Connect right after a change of address must not report the old connection.
TEST(InetSocketSettings, AConnectRightAfterANewAddressUsesANewSocket) {
  TTcpSocket t;
  t.Connect();
  testsupport::TTcpListener second;
  t.socket->SetRemotePort(second.Port());
  ASSERT_TRUE(t.socket->Connect(5000)) << uWinSock::SockGetLastErrorText();
  testsupport::TTcpPeer secondPeer = second.Accept();
  ASSERT_TRUE(secondPeer);
  EXPECT_EQ(t.recorder.Closed(), 1) << "the old socket's close came first";
  EXPECT_EQ(t.peer.Read(1, 5000), "");
  ASSERT_TRUE(t.socket->Send("to the second"));
  EXPECT_EQ(secondPeer.Read(13), "to the second");
}

TEST(InetSocketSettings, ANewLocalPortClosesABoundSocketANewDestinationDoesNot) {
  TUdpSocket u;
  testsupport::TUdpPeer second;
  u.socket.SetRemotePort(second.Port());
  ASSERT_TRUE(u.socket.Send("to the second"));
  std::string got;
  int from = 0;
  ASSERT_TRUE(second.Receive(got, from));
  EXPECT_EQ(got, "to the second");
  EXPECT_TRUE(u.socket.IsBound());
  EXPECT_EQ(u.recorder.Closed(), 0);

  int newPort = 0;
  {
    testsupport::TUdpPeer spare;  // a free port, given back at once
    newPort = spare.Port();
  }
  u.socket.SetLocalPort(newPort);
  ASSERT_TRUE(WaitUntil([&] { return u.recorder.Closed() == 1; }));
  EXPECT_FALSE(u.socket.IsBound());
  ASSERT_TRUE(u.socket.Bind()) << uWinSock::SockGetLastErrorText();
  std::string ip;
  int port = 0;
  ASSERT_TRUE(u.socket.GetLocalName(ip, port));
  EXPECT_EQ(port, newPort);
}

// The silence is counted from the connect and from the last piece sent. Once the sending
// side is shut, only the empty send of the probe can find the connection broken (nothing
// arrives to read), so the moment of the close is the moment of the probe.
TEST(InetSocketKeepAlive, ASilentConnectionIsProbedWithAnEmptySend) {
  constexpr int kKeepAliveMs = 300;
  for (const bool sendFirst : {false, true}) {
    SCOPED_TRACE(sendFirst ? "after a send" : "right after the connect");
    TTcpSocket t;
    ASSERT_TRUE(t.socket->SetKeepAlive(true, kKeepAliveMs, 1000));
    t.Connect();
    auto start = Clock::now();
    const int fd = t.EngineFd();
    ASSERT_GE(fd, 0);
    if (sendFirst) {
      ASSERT_TRUE(t.socket->Send("x"));
      start = Clock::now();
    }
    ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
    ASSERT_TRUE(WaitUntil([&] { return t.recorder.Closed() == 1; }));
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_GE(elapsed, kKeepAliveMs - 5);
    EXPECT_FALSE(t.socket->IsConnected());
    EXPECT_EQ(t.recorder.Errors(), std::vector<TError>{});
  }
}

// A probe that falls due while a send of the owner's waits for a peer that takes nothing
// must not stop reception: that peer may well be waiting for its own data to be read.
TEST(InetSocketKeepAlive, AProbeDueDuringALongSendDoesNotStopReception) {
  TTcpSocket t;
  ASSERT_TRUE(t.socket->SetKeepAlive(true, 1, 1000));  // a probe is due at every pass
  t.Connect();
  const std::string huge(64 << 20, 'x');  // far more than the socket buffers hold
  auto send = std::async(std::launch::async, [&] { return t.socket->Send(huge); });
  struct TEndSend {  // also when an assertion ends the test: the future waits for the send
    TInetSocket& socket;
    ~TEndSend() { socket.Close(true); }
  } endSend{*t.socket};
  // The send has filled what the peer's side holds (it grows only when the peer reads).
  ASSERT_TRUE(WaitUntil([&] {
    int pending = 0;
    return ::ioctl(t.peer.Fd(), FIONREAD, &pending) == 0 && pending > (64 << 10);
  }));
  ASSERT_EQ(send.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_TRUE(t.StillReceives("while the send waits"));
  EXPECT_EQ(t.recorder.Closed(), 0);
  t.socket->Close(true);
  ASSERT_EQ(send.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(send.get());
}

TEST(InetSocketLifetime, DestructionWaitsForAHandlerInProgress) {
  TTcpSocket t;
  t.Connect();
  std::promise<void> entered, release;
  auto released = release.get_future().share();
  bool handlerDone = false;
  t.recorder.OnData([&](TInetSocketCustom*, const TInetSocketPacket&) {
    entered.set_value();
    released.wait();
    handlerDone = true;
  });
  ASSERT_TRUE(t.peer.Send("x"));
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  auto destroy = std::async(std::launch::async, [&] { t.socket.reset(); });
  EXPECT_EQ(destroy.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(destroy.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(handlerDone);
  EXPECT_EQ(t.peer.Read(1, 5000), "") << "the socket was closed";
}

TEST(InetSocketLifetime, AForcedCloseCutsShortAConnectOnAnotherThread) {
  testsupport::TFullBacklogListener silent;
  TInetSocket socket;
  socket.SetRemoteHost(kLoopback);
  socket.SetRemotePort(silent.Port());
  auto connect = std::async(std::launch::async, [&] { return socket.Connect(-1); });
  EXPECT_EQ(connect.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  socket.Close(true);
  ASSERT_EQ(connect.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(connect.get());
  EXPECT_FALSE(socket.IsConnected());
}

TEST(InetSocketLifetimeDeathTest, DestroyingFromItsOwnWorkThreadEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TTcpSocket t;
        t.Connect();
        TInetSocket* raw = t.socket.release();
        t.recorder.OnData([raw](TInetSocketCustom*, const TInetSocketPacket&) { delete raw; });
        t.peer.Send("x");
        WaitUntil([] { return false; }, 5000);
      },
      "Access to InetSocket by WorkThread denied!");
}

}  // namespace
