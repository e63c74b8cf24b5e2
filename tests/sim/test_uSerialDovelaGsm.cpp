// The simulated Dovela GSM unit on a serial line: its framing by silence, its pty, and the
// whole stack over it (the wrapper channel with the SERIAL_PORT provider).
#include "sim/uSerialDovelaGsm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/uComPortNames.h"
#include "sim/Json.h"
#include "sim/uPtyDovelaGsm.h"
#include "support/SerialPty.h"

using testjson::TValue;
using testsupport::WaitUntil;
using uSerialDovelaGsm::TSerialDovelaGsm;
using Clock = std::chrono::steady_clock;

namespace {

// What the unit sends, with when it was sent.
struct TLine {
  std::mutex mutex;
  std::vector<std::pair<std::string, Clock::time_point>> sent;
  void Send(const std::string& bytes) {
    std::lock_guard lock(mutex);
    sent.emplace_back(bytes, Clock::now());
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return sent.size();
  }
  std::string Text(std::size_t i) {
    std::lock_guard lock(mutex);
    return sent.at(i).first;
  }
};

TValue Json(const std::string& text) {
  const auto json = testjson::Parse(text);
  EXPECT_TRUE(json && json->IsObject()) << "answer: " << text;
  return json ? *json : TValue{};
}

}  // namespace

TEST(SerialUnit, ARequestInPiecesIsOneRequestAndItsAnswerComesAfterTheAnswerTime) {
  TLine line;
  TSerialDovelaGsm unit([&](const std::string& bytes) { line.Send(bytes); });
  unit.Receive("/stat");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // well inside the idle gap
  unit.Receive("us.json");
  const auto lastByte = Clock::now();
  unit.Receive("\r\n");
  ASSERT_TRUE(WaitUntil([&] { return line.Count() == 1; }));
  EXPECT_EQ(unit.Requests(), 1);
  const TValue status = Json(line.Text(0));
  EXPECT_TRUE(status["ok"].Bool());
  EXPECT_EQ(status["imei"].Str(), unit.Model()->Imei());
  std::lock_guard lock(line.mutex);
  EXPECT_GE(
      line.sent[0].second - lastByte,
      std::chrono::milliseconds(uSerialDovelaGsm::kIdleEndMs + uDovelaGsmModel::kMinAnswerMs));
}

TEST(SerialUnit, RequestsApartAreAnsweredEachInTheirOrder) {
  TLine line;
  TSerialDovelaGsm unit([&](const std::string& bytes) { line.Send(bytes); });
  unit.Receive("/config.json\r\n");
  ASSERT_TRUE(WaitUntil([&] { return unit.Requests() == 1; }));
  unit.Receive("/nothing.json\r\n");
  ASSERT_TRUE(WaitUntil([&] { return line.Count() == 2; }));
  EXPECT_TRUE(Json(line.Text(0))["config"].IsObject());
  EXPECT_EQ(Json(line.Text(1))["error"].Str(), uDovelaGsmModel::kMsgUnknownRequest);
}

TEST(SerialUnit, ARequestPastTheUnitsBufferIsAnsweredAsTooLong) {
  TLine line;
  TSerialDovelaGsm unit([&](const std::string& bytes) { line.Send(bytes); });
  const std::string big = "/set.json\r\napn=" + std::string(uDovelaGsmModel::kMaxRequestBytes, 'a');
  for (std::size_t i = 0; i < big.size(); i += 1000) unit.Receive(big.substr(i, 1000));
  ASSERT_TRUE(WaitUntil([&] { return line.Count() == 1; }));
  EXPECT_EQ(Json(line.Text(0))["error"].Str(), uDovelaGsmModel::kMsgRequestTooLong);
  EXPECT_EQ(unit.Model()->Config().Apn, "internet");
}

TEST(PtyUnit, AnswersOverItsPseudoTerminalAndLinksAsAComPort) {
  testsupport::TTempFolder map;
  std::string portPath;
  {
    uPtyDovelaGsm::TPtyDovelaGsm unit;
    portPath = unit.PortPath();
    unit.LinkAs(map.Path(), 5);
    EXPECT_EQ(std::filesystem::read_symlink(map.Path() / "com5"), portPath);
    uSerialTty::TSerialTty tty;
    tty.Open((map.Path() / "com5").string(), {}, true, true);
    const std::string request = "/status.json\r\n";
    ASSERT_EQ(tty.WriteSome(request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string answer;
    ASSERT_TRUE(WaitUntil([&] {
      char buffer[4096];
      const ssize_t n = tty.ReadSome(buffer, sizeof buffer);
      if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
      return !answer.empty() && answer.back() == '}' && testjson::Parse(answer).has_value();
    }));
    EXPECT_EQ(Json(answer)["serial"].Str(), unit.Unit().Model()->Serial());
    // The port may be closed and opened again.
    tty.Close();
    tty.Open(portPath, {}, true, true);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(map.Path() / "com5")));
}

namespace {

// The program's channel over a serial line to the simulated unit.
class SerialStackTest : public testing::Test {
 protected:
  void SetUp() override {
    unit_.LinkAs(map_.Path(), 7);
    wrapper_ = uMyInterfacedObject::Create<uCI_Wrapper::TCommunicationWrapperInterface>();
  }
  void TearDown() override { wrapper_->Close(false); }

  TValue Ask(const std::string& request, int nextMs) {
    wrapper_->Query(request, 10000, nextMs, 30000, true, true, {}, "", last_);
    return Json(last_);
  }

  testsupport::TTempFolder map_;
  testsupport::TScopedEnv env_{uComPortNames::kPortMapVariable, map_.Path().string()};
  uPtyDovelaGsm::TPtyDovelaGsm unit_;
  uInterfaces::TInterfacePtr<uCI_Wrapper::TCommunicationWrapperInterface> wrapper_;
  std::string last_;
};

}  // namespace

TEST_F(SerialStackTest, AChannelOnComPortSevenAnswersQueryWithTheUnitsAnswer) {
  wrapper_->SetConfiguration("provider=SERIAL_PORT;comport=7;baudrate=115200");
  ASSERT_TRUE(wrapper_->GetProvider());
  EXPECT_EQ(wrapper_->GetProvider()->GetProviderName(), "SERIAL_PORT");
  ASSERT_TRUE(wrapper_->Open());
  const auto start = Clock::now();
  const TValue status = Ask("/status.json\r\n", 1000);  // the bridge's limits
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_TRUE(status["ok"].Bool());
  EXPECT_EQ(status["imei"].Str(), unit_.Unit().Model()->Imei());
  EXPECT_EQ(unit_.Unit().Requests(), 1);
}

TEST_F(SerialStackTest, SettingsChangedOverADevicePathStayChanged) {
  wrapper_->SetConfiguration("provider=SERIAL_PORT;comport=" + unit_.PortPath());
  ASSERT_TRUE(wrapper_->Open());
  const TValue set = Ask("/set.json\r\napn=internet.t-mobile.cz&reportInterval=15", 150);
  ASSERT_TRUE(set["ok"].Bool()) << last_;
  const TValue config = Ask("/config.json\r\n", 150);
  EXPECT_EQ(config["config"]["apn"].Str(), "internet.t-mobile.cz");
  EXPECT_EQ(config["config"]["reportInterval"].Num(), 15);
  EXPECT_EQ(unit_.Unit().Model()->Config().ReportInterval, 15);
}
