// The simulated Dovela GSM unit on a loopback TCP port, through the whole stack: the wrapper
// channel with the TCP_CLIENT provider, beside the same unit on HID.
#include "sim/uTcpDovelaGsm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "sim/Json.h"
#include "sim/uSimulatedDovelaGsm.h"
#include "support/Loopback.h"
#include "support/SimulatedHid.h"

using testjson::TValue;
using testsupport::WaitUntil;
using uCI_Wrapper::TCommunicationWrapperInterface;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;

namespace {

TInterfacePtr<TCommunicationWrapperInterface> Channel(const std::string& config) {
  auto channel = uMyInterfacedObject::Create<TCommunicationWrapperInterface>();
  channel->SetConfiguration(config);
  EXPECT_TRUE(channel->Open()) << config;
  return channel;
}

std::string TcpConfig(const uTcpDovelaGsm::TTcpDovelaGsm& unit) {
  return "provider=TCP_CLIENT;host=127.0.0.1;port=" + std::to_string(unit.Port());
}

std::string Ask(TCommunicationWrapperInterface& channel, const std::string& request,
                int nextMs = 150) {
  std::string answer;
  channel.Query(request, 10000, nextMs, 30000, true, true, {}, "", answer);
  return answer;
}

TValue Json(const std::string& text) {
  const auto json = testjson::Parse(text);
  EXPECT_TRUE(json && json->IsObject()) << "answer: " << text;
  return json ? *json : TValue{};
}

}  // namespace

TEST(TcpUnit, AQueryWithTheBridgesLimitsGetsTheUnitsAnswer) {
  uTcpDovelaGsm::TTcpDovelaGsm unit;
  auto channel = Channel(TcpConfig(unit));
  const auto start = Clock::now();
  const TValue status = Json(Ask(*channel, "/status.json\r\n", 1000));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(status["ok"].Bool());
  EXPECT_EQ(status["imei"].Str(), unit.Model()->Imei());
  EXPECT_EQ(unit.Accepted(), 1);
  channel->Close(false);
}

TEST(TcpUnit, AnswersAndSettingsAreTheSameAsOverHid) {
  auto model = std::make_shared<uDovelaGsmModel::TDovelaGsmModel>("DG0007777");
  auto hidUnit = uSimulatedDovelaGsm::TSimulatedDovelaGsm::Add(*testsupport::SimulatedBackend(),
                                                               "DG0007777", model);
  uTcpDovelaGsm::TTcpDovelaGsm tcpUnit(model);
  auto hid = Channel("provider=HID;vid=$2047;pid=$0301;serial_number=DG0007777");
  auto tcp = Channel(TcpConfig(tcpUnit));

  for (const char* request : {"/config.json\r\n", "/nothing.json\r\n", "/set.json\r\npin=12"}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(Ask(*tcp, request), Ask(*hid, request));
  }
  ASSERT_TRUE(Json(Ask(*tcp, "/set.json\r\napn=internet.t-mobile.cz"))["ok"].Bool());
  EXPECT_EQ(Json(Ask(*hid, "/config.json\r\n"))["config"]["apn"].Str(), "internet.t-mobile.cz");
  hid->Close(false);
  tcp->Close(false);
}

TEST(TcpUnit, AHostThatClosesAndComesBackIsServedAgain) {
  uTcpDovelaGsm::TTcpDovelaGsm unit;
  auto channel = Channel(TcpConfig(unit));
  EXPECT_TRUE(Json(Ask(*channel, "/status.json\r\n"))["ok"].Bool());
  channel->Close(false);
  ASSERT_TRUE(WaitUntil([&] { return unit.Connected() == 0; }));
  ASSERT_TRUE(channel->Open());
  EXPECT_TRUE(Json(Ask(*channel, "/status.json\r\n"))["ok"].Bool());
  EXPECT_EQ(unit.Accepted(), 2);
  channel->Close(false);
}

TEST(TcpUnit, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  uTcpDovelaGsm::TTcpDovelaGsm unit;
  std::vector<testsupport::TFd> held;
  for (int i = 0; i < uTcpDovelaGsm::kMaxConnections; ++i) {
    held.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = testsupport::LoopbackAddress(unit.Port());
    ASSERT_EQ(::connect(held.back().Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return unit.Connected() == uTcpDovelaGsm::kMaxConnections; }));
  testsupport::TFd extra(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in a = testsupport::LoopbackAddress(unit.Port());
  ASSERT_EQ(::connect(extra.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
  ASSERT_TRUE(testsupport::WaitReadable(extra.Get(), 5000));
  char byte = 0;
  EXPECT_EQ(::recv(extra.Get(), &byte, 1, 0), 0);  // closed by the unit
  EXPECT_EQ(unit.Connected(), uTcpDovelaGsm::kMaxConnections);
}
