// The TCP and UDP providers on their own: configuration keys and the text they give back,
// keep-alive on the connected socket, the address setters on an open provider, writes on a
// closed one and the end of an open one.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ci/uMyInterfacedObject.h"
#include "providers/uCI_TCPClientInterface.h"
#include "providers/uCI_UDPClientInterface.h"
#include "support/Loopback.h"

using testsupport::WaitUntil;
using uCI_CommunicationInterfaceUtils::ICommunicationInterface;
using uCI_TCPClientInterface::TCommunicationTCPClientInterface;
using uCI_UDPClientInterface::TCommunicationUDPClientInterface;
using uInterfaces::TInterfacePtr;

namespace {

struct TProviderRecorder {
  std::mutex mutex;
  std::vector<std::string> errors;  // "name: arg | arg"
  std::vector<std::int32_t> codes;
  std::atomic<int> closes{0};
  std::atomic<int> writes{0};
  void OnError(ICommunicationInterface*, const std::string& name,
               const std::vector<std::string>& args, std::int32_t code) {
    std::string text = name;
    for (std::size_t i = 0; i < args.size(); ++i) text += (i == 0 ? ": " : " | ") + args[i];
    std::lock_guard lock(mutex);
    errors.push_back(text);
    codes.push_back(code);
  }
  void OnClose(ICommunicationInterface*) { ++closes; }
  void OnWrite(ICommunicationInterface*, const std::string&) { ++writes; }
  std::vector<std::string> Errors() {
    std::lock_guard lock(mutex);
    return errors;
  }
};

template <class T>
TInterfacePtr<T> Recorded(TProviderRecorder& recorder) {
  auto provider = uMyInterfacedObject::Create<T>();
  // Direct slots: the notes come on the raising thread, in order.
  provider->GetOnError().Connect({&recorder, &TProviderRecorder::OnError}, nullptr, nullptr);
  provider->GetOnClose().Connect({&recorder, &TProviderRecorder::OnClose}, nullptr, nullptr);
  provider->GetOnWriteString().Connect({&recorder, &TProviderRecorder::OnWrite}, nullptr, nullptr);
  return provider;
}

int LocalPortOf(uCI_SockClientInterface::TCommunicationSockClientInterface& provider) {
  std::string ip;
  int port = -1;
  provider.Socket().GetLocalName(ip, port);
  return port;
}

}  // namespace

TEST(SockClientConfiguration, KeysAndTheTextGivenBack) {
  // Each case starts from a provider configured with the first line, then applies config.
  const std::string base = "provider=TCP_CLIENT;host=10.0.0.1;port=5";
  const std::string tail = ";LocalIP=0.0.0.0;LocalPort=0;ConnectionTimeout=5000;KeepAlive=5000";
  struct TCase {
    const char* name;
    std::string config;
    std::string expected;
  };
  const TCase cases[] = {
      {"the defaults", "provider=TCP_CLIENT;host=192.168.1.10;port=10001",
       "provider=TCP_CLIENT;host=192.168.1.10;port=10001" + tail},
      {"keep-alive off", "KeepAlive=0",
       "provider=TCP_CLIENT;host=10.0.0.1;port=5;LocalIP=0.0.0.0;LocalPort=0;"
       "ConnectionTimeout=5000;KeepAlive=0"},
      {"keep-alive time", "KeepAlive=3000",
       "provider=TCP_CLIENT;host=10.0.0.1;port=5;LocalIP=0.0.0.0;LocalPort=0;"
       "ConnectionTimeout=5000;KeepAlive=3000"},
      {"the low 16 bits of a port", "port=70000;LocalPort=65536",
       "provider=TCP_CLIENT;host=10.0.0.1;port=4464" + tail},
      {"no limit for the connect", "ConnectionTimeout=-1",
       "provider=TCP_CLIENT;host=10.0.0.1;port=5;LocalIP=0.0.0.0;LocalPort=0;"
       "ConnectionTimeout=-1;KeepAlive=5000"},
      {"values that do not convert change nothing",
       "port=abc;ConnectionTimeout=;KeepAlive=x;LocalPort=(1", base + tail},
      {"a name is kept as it is, not looked up", "host=localhost",
       "provider=TCP_CLIENT;host=localhost;port=5" + tail},
      {"local address stored", "LocalIP=10.1.1.1;LocalPort=4000",
       "provider=TCP_CLIENT;host=10.0.0.1;port=5;LocalIP=10.1.1.1;LocalPort=4000;"
       "ConnectionTimeout=5000;KeepAlive=5000"},
      {"separators in a value are escaped", "host=a\\;b(c)",
       "provider=TCP_CLIENT;host=a\\;b\\(c\\);port=5" + tail},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto provider = uMyInterfacedObject::Create<TCommunicationTCPClientInterface>();
    provider->SetConfiguration(base);
    provider->SetConfiguration(c.config);
    EXPECT_EQ(provider->GetConfiguration(), c.expected);
    // The text read back gives the same settings.
    auto copy = uMyInterfacedObject::Create<TCommunicationTCPClientInterface>();
    copy->SetConfiguration(provider->GetConfiguration());
    EXPECT_EQ(copy->GetConfiguration(), c.expected);
    EXPECT_EQ(copy->GetKeepAliveTime(), provider->GetKeepAliveTime());
    EXPECT_EQ(copy->GetKeepAlive(), provider->GetKeepAlive());
  }
  auto provider = uMyInterfacedObject::Create<TCommunicationTCPClientInterface>();
  provider->SetConfiguration("provider=TCP_CLIENT;KeepAlive=3000");
  EXPECT_EQ(provider->GetKeepAliveInterval(), 1000);
  EXPECT_EQ(provider->GetAddress(), "provider=TCP_CLIENT;host=;port=0");
}

TEST(SockClientConfiguration, UdpReadsTheAddressKeysOnly) {
  auto provider = uMyInterfacedObject::Create<TCommunicationUDPClientInterface>();
  provider->SetConfiguration(
      "provider=UDP_CLIENT;host=1.2.3.4;port=7;LocalPort=9000;ConnectionTimeout=1;KeepAlive=9");
  EXPECT_EQ(provider->GetConfiguration(),
            "provider=UDP_CLIENT;host=1.2.3.4;port=7;LocalIP=0.0.0.0;LocalPort=9000");
  EXPECT_EQ(provider->GetAddress(), "provider=UDP_CLIENT;host=1.2.3.4;port=7");
  EXPECT_FALSE(provider->Socket().GetKeepAlive());
}

TEST(TcpClientProvider, KeepAliveReachesTheConnectedSocket) {
  struct TCase {
    const char* keys;
    int enabled;
    int idleSeconds;  // -1: not looked at
  };
  const TCase cases[] = {{"", 1, 5}, {";KeepAlive=3000", 1, 3}, {";KeepAlive=0", 0, -1}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.keys);
    testsupport::TTcpListener listener;
    auto provider = uMyInterfacedObject::Create<TCommunicationTCPClientInterface>();
    provider->SetConfiguration(
        "provider=TCP_CLIENT;host=127.0.0.1;port=" + std::to_string(listener.Port()) + c.keys);
    ASSERT_TRUE(provider->Open());
    const int fd = testsupport::FindSocketByPorts(LocalPortOf(*provider), listener.Port());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(testsupport::IntOption(fd, SOL_SOCKET, SO_KEEPALIVE) != 0, c.enabled != 0);
    if (c.idleSeconds >= 0) {
      EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), c.idleSeconds);
      EXPECT_EQ(testsupport::IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    }
  }
}

TEST(TcpClientProvider, AddressSettersOnAnOpenProvider) {
  testsupport::TTcpListener listener;
  TProviderRecorder recorder;
  auto provider = Recorded<TCommunicationTCPClientInterface>(recorder);
  provider->SetConfiguration("provider=TCP_CLIENT;host=127.0.0.1;port=" +
                             std::to_string(listener.Port()));
  ASSERT_TRUE(provider->Open());
  testsupport::TTcpPeer peer = listener.Accept();
  ASSERT_TRUE(peer);

  provider->SetPort(static_cast<std::uint16_t>(listener.Port()));  // the same: kept
  provider->SetHost("127.0.0.1");
  EXPECT_TRUE(provider->IsOpen());
  ASSERT_EQ(provider->WriteString("still"), 5);
  EXPECT_EQ(peer.Read(5), "still");

  provider->SetPort(static_cast<std::uint16_t>(listener.Port() + 1));  // another: closed now
  EXPECT_FALSE(provider->IsOpen());
  EXPECT_EQ(peer.Read(1, 2000), "");  // the old connection ended
  EXPECT_EQ(recorder.closes, 0);      // only a Close of the provider fires OnClose
  EXPECT_TRUE(recorder.Errors().empty());
}

TEST(TcpClientProvider, WritingToAClosedProviderFailsWithTheReason) {
  TProviderRecorder recorder;
  auto provider = Recorded<TCommunicationTCPClientInterface>(recorder);
  provider->SetConfiguration("provider=TCP_CLIENT;host=127.0.0.1;port=9");
  EXPECT_EQ(provider->WriteString("abc"), 0);
  EXPECT_EQ(recorder.writes, 1);  // notified all the same
  ASSERT_EQ(recorder.Errors().size(), 1u);
  EXPECT_EQ(recorder.Errors()[0],
            "InternalWriteString: abc | 127.0.0.1:9: send: there is no socket");
  EXPECT_EQ(recorder.codes[0], EBADF);
}

TEST(TcpClientProvider, DestroyingAnOpenProviderEndsTheConnectionWithoutOnClose) {
  testsupport::TTcpListener listener;
  TProviderRecorder recorder;
  testsupport::TTcpPeer peer;
  {
    auto provider = Recorded<TCommunicationTCPClientInterface>(recorder);
    provider->SetConfiguration("provider=TCP_CLIENT;host=127.0.0.1;port=" +
                               std::to_string(listener.Port()));
    ASSERT_TRUE(provider->Open());
    peer = listener.Accept();
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer.Send("unread"));  // still on its way in while the provider goes
  }
  EXPECT_EQ(peer.Read(1, 2000), "");
  EXPECT_EQ(recorder.closes, 0);
}

TEST(UdpClientProvider, OpensWithoutADestinationAndTakesDatagramsInOrder) {
  testsupport::TUdpPeer sender;
  auto provider = uMyInterfacedObject::Create<TCommunicationUDPClientInterface>();
  provider->SetConfiguration("provider=UDP_CLIENT");
  ASSERT_TRUE(provider->Open());
  EXPECT_TRUE(provider->IsOpen());
  const int port = LocalPortOf(*provider);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(sender.SendTo(port, "one,"));
  ASSERT_TRUE(sender.SendTo(port, "two"));
  ASSERT_TRUE(WaitUntil([&] { return provider->GetInputCount() == 7; }));
  EXPECT_EQ(provider->ReadString(), "one,two");
  // A new local port moves the socket there at once; the old one receives nothing more.
  int freePort = 0;
  {
    testsupport::TUdpPeer probe;
    freePort = probe.Port();
  }
  provider->SetLocalPort(static_cast<std::uint16_t>(freePort));
  EXPECT_FALSE(provider->IsOpen());  // the setter closes; the next Open binds there
  ASSERT_TRUE(provider->Open());
  EXPECT_EQ(LocalPortOf(*provider), freePort);
}
