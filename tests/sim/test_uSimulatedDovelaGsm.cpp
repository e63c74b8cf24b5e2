// The simulated Dovela GSM unit through the whole stack: the wrapper channel as the program
// creates it, the HID provider and the simulated device; and its report framing directly.
#include "sim/uSimulatedDovelaGsm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "sim/Json.h"
#include "support/SimulatedHid.h"

using uSimulatedDovelaGsm::TSimulatedDovelaGsm;
using Clock = std::chrono::steady_clock;
using testjson::TValue;

namespace {
const std::string kAppConfig = "provider=HID;vid=$2047;pid=$0301;serial_number=";

class SimulatedUnitTest : public testing::Test {
 protected:
  void SetUp() override {
    model_ = std::make_shared<uDovelaGsmModel::TDovelaGsmModel>("DG0001234");
    unit_ = TSimulatedDovelaGsm::Add(*testsupport::SimulatedBackend(), "DG0001234", model_);
    wrapper_ = uMyInterfacedObject::Create<uCI_Wrapper::TCommunicationWrapperInterface>();
    wrapper_->SetConfiguration(kAppConfig + "DG0001234");
    ASSERT_TRUE(wrapper_->Open());
  }
  void TearDown() override {
    wrapper_->Close(false);
    unit_.reset();
    uHidDeviceManager::GetHidDeviceManager().Clear();
  }

  // The answer to request, which must be a JSON object; nextMs of silence ends it.
  TValue Ask(const std::string& request, int nextMs = 100) {
    wrapper_->Query(request, 5000, nextMs, 15000, true, true, {}, "", last_);
    const auto json = testjson::Parse(last_);
    EXPECT_TRUE(json && json->IsObject()) << "answer: " << last_;
    return json ? *json : TValue{};
  }

  std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model_;
  std::shared_ptr<TSimulatedDovelaGsm> unit_;
  uInterfaces::TInterfacePtr<uCI_Wrapper::TCommunicationWrapperInterface> wrapper_;
  std::string last_;
};

// "/set.json" setting reportInterval to minutes, padded with leading zeros to length bytes.
std::string SetIntervalRequest(std::size_t length, int minutes) {
  const std::string head = "/set.json\r\nreportInterval=";
  const std::string value = std::to_string(minutes);
  return head + std::string(length - head.size() - value.size(), '0') + value;
}
}  // namespace

TEST_F(SimulatedUnitTest, AStatusAnswerSentInSeveralReportsArrivesWhole) {
  const TValue status = Ask("/status.json\r\n");
  EXPECT_GT(last_.size(), 3 * uSimulatedDovelaGsm::kPayloadBytes);
  EXPECT_TRUE(status["ok"].Bool());
  EXPECT_EQ(status["serial"].Str(), "DG0001234");
  EXPECT_EQ(status["imei"].Str(), model_->Imei());
  EXPECT_EQ(status["inputs"].Arr().size(), 4u);
  EXPECT_EQ(unit_->Requests(), 1);
}

TEST_F(SimulatedUnitTest, RequestsAroundWholeReportLengthsAreEachAnsweredOnce) {
  // 62 and 124 bytes end with a full report and no empty one after it.
  for (const std::size_t length : {61u, 62u, 63u, 124u, 125u, 186u}) {
    SCOPED_TRACE(length);
    const int before = unit_->Requests();
    const auto reportsBefore = unit_->Device()->WrittenCount();
    const int minutes = static_cast<int>(length);  // a new value each time
    const std::string request = SetIntervalRequest(length, minutes);
    ASSERT_EQ(request.size(), length);
    const TValue answer = Ask(request);
    ASSERT_TRUE(answer["ok"].Bool()) << last_;
    EXPECT_EQ(answer["config"]["reportInterval"].Num(), minutes);
    EXPECT_EQ(unit_->Requests(), before + 1);
    EXPECT_EQ(
        unit_->Device()->WrittenCount() - reportsBefore,
        (length + uSimulatedDovelaGsm::kPayloadBytes - 1) / uSimulatedDovelaGsm::kPayloadBytes);
  }
}

TEST_F(SimulatedUnitTest, ASettingChangedIsReadBack) {
  const TValue set =
      Ask("/set.json\r\napn=web.o2.cz&phones=%2B420601111111%2C%2B420602222222"
          "&alarm1=Kou%C5%99+v+kuchyni");
  ASSERT_TRUE(set["ok"].Bool()) << last_;
  const TValue config = Ask("/config.json\r\n")["config"];
  EXPECT_EQ(config["apn"].Str(), "web.o2.cz");
  ASSERT_EQ(config["phones"].Arr().size(), 2u);
  EXPECT_EQ(config["phones"].Arr()[1].Str(), "+420602222222");
  EXPECT_EQ(config["alarm1"].Str(), "Kouř v kuchyni");
}

TEST_F(SimulatedUnitTest, ABadValueIsAnsweredWithItsMessage) {
  const TValue answer = Ask("/set.json\r\nsimPin=12&apn=web");
  ASSERT_FALSE(answer["ok"].Bool());
  EXPECT_EQ(answer["errors"]["simPin"].Str(), "PIN musí mít 4 až 8 číslic");
  EXPECT_EQ(model_->Config().Apn, "internet");
  EXPECT_EQ(Ask("/neco.json\r\n")["error"].Str(), "Neznámý požadavek");
}

TEST_F(SimulatedUnitTest, SettingsOutliveADisconnectAndReconnect) {
  ASSERT_TRUE(Ask("/set.json\r\napn=after.reconnect")["ok"].Bool());
  wrapper_->Close(false);
  unit_.reset();  // unplugged
  EXPECT_FALSE(wrapper_->Open());
  unit_ = TSimulatedDovelaGsm::Add(*testsupport::SimulatedBackend(), "DG0001234", model_);
  ASSERT_TRUE(wrapper_->Open());
  EXPECT_EQ(Ask("/config.json\r\n")["config"]["apn"].Str(), "after.reconnect");
}

TEST_F(SimulatedUnitTest, TheProgramsOwnLimitsWaitOutATestSms) {
  const auto start = Clock::now();
  wrapper_->Query("/testsms.json\r\nphone=%2B420601234567", 10000, 1000, 30000, true, true, {}, "",
                  last_);
  const auto took = Clock::now() - start;
  const auto json = testjson::Parse(last_);
  ASSERT_TRUE(json) << last_;
  EXPECT_TRUE((*json)["ok"].Bool());
  EXPECT_GE(took, std::chrono::milliseconds(uDovelaGsmModel::kTestSmsMs + 1000));
  EXPECT_EQ(model_->SentSms(), (std::vector<std::string>{"+420601234567"}));
}

// ---- the device side alone

namespace {
class SimulatedDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    unit_ = TSimulatedDovelaGsm::Add(backend_, "DG0000042");
    device_ = unit_->Device();
    device_->ReadReport(64);  // opens the host side
  }
  // An output report with payload and the length byte length (the payload's own by default).
  static std::string OutputReport(const std::string& payload, int length = -1) {
    std::string report(64, '\0');
    report[0] = 63;
    report[1] = static_cast<char>(length < 0 ? static_cast<int>(payload.size()) : length);
    report.replace(2, payload.size(), payload);
    return report;
  }
  // Payloads of the input reports until a whole JSON object has arrived.
  std::string ReadAnswer(int ms = 2000) {
    std::string text;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end && !testjson::Parse(text)) {
      const std::string report = device_->ReadReport(64);
      if (report.size() == 64 && static_cast<unsigned char>(report[1]) <= 62)
        text.append(report, 2, static_cast<unsigned char>(report[1]));
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return text;
  }
  uHidSimulated::TSimulatedHidBackend backend_;
  std::shared_ptr<TSimulatedDovelaGsm> unit_;
  std::shared_ptr<uHidSimulated::TSimulatedHidDevice> device_;
};
}  // namespace

TEST_F(SimulatedDeviceTest, TheDeviceIsADovelaGsmModemOnTheBackend) {
  const auto& info = device_->Info();
  EXPECT_EQ(info.VendorID, 0x2047);
  EXPECT_EQ(info.ProductID, 0x0301);
  EXPECT_EQ(info.Product, "Dovela GSM Modem");
  EXPECT_EQ(info.Manufacturer, "Dovela s.r.o.");
  EXPECT_EQ(info.SerialNumber, "DG0000042");
  EXPECT_EQ(info.InputReportByteLength, 64);
  EXPECT_EQ(info.OutputReportByteLength, 64);
  EXPECT_EQ(unit_->Model()->Serial(), "DG0000042");
  ASSERT_EQ(backend_.PresentDevices().size(), 1u);
  unit_.reset();
  EXPECT_TRUE(backend_.PresentDevices().empty());
  EXPECT_FALSE(device_->Plugged());
}

TEST_F(SimulatedDeviceTest, AnswersComeInFullReportsAFewMillisecondsApart) {
  const auto sent = Clock::now();
  device_->WriteReport(OutputReport("/status.json\r\n"));
  std::vector<std::pair<Clock::time_point, std::size_t>> reports;  // arrival, payload length
  std::string text;
  const auto end = sent + std::chrono::seconds(2);
  while (Clock::now() < end && !testjson::Parse(text)) {
    const std::string report = device_->ReadReport(64);
    if (report.empty()) continue;
    ASSERT_EQ(report.size(), 64u);
    reports.emplace_back(Clock::now(), static_cast<unsigned char>(report[1]));
    text.append(report, 2, reports.back().second);
  }
  ASSERT_TRUE(testjson::Parse(text)) << text;
  ASSERT_GE(reports.size(), 3u);
  for (std::size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i].second, 62u);
  EXPECT_GE(reports.front().first - sent, std::chrono::milliseconds(uDovelaGsmModel::kMinAnswerMs));
  // The last report cannot show up before its time: one gap after the other.
  EXPECT_GE(reports.back().first - sent,
            std::chrono::milliseconds(uDovelaGsmModel::kMinAnswerMs +
                                      (reports.size() - 1) * uSimulatedDovelaGsm::kReportGapMs));
  EXPECT_EQ(device_->DroppedReports(), 0);
}

TEST_F(SimulatedDeviceTest, MalformedReportsNeverStopTheUnit) {
  device_->WriteReport("");
  device_->WriteReport(std::string(1, '\x3f'));
  // A length beyond the payload counts as a full report, so the request ends when idle.
  device_->WriteReport(OutputReport(std::string(62, '\xff'), 255));
  const auto first = testjson::Parse(ReadAnswer());
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)["error"].Str(), uDovelaGsmModel::kMsgUnknownRequest);
  device_->WriteReport(OutputReport("/config.json\r\n"));
  const auto second = testjson::Parse(ReadAnswer());
  ASSERT_TRUE(second);
  EXPECT_TRUE((*second)["ok"].Bool());
}

TEST_F(SimulatedDeviceTest, ARequestTooLongForTheUnitIsRefused) {
  const std::string full(62, 'x');
  for (std::size_t sent = 0; sent <= uDovelaGsmModel::kMaxRequestBytes; sent += 62)
    device_->WriteReport(OutputReport(full));
  device_->WriteReport(OutputReport("x"));
  const auto answer = testjson::Parse(ReadAnswer());
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["error"].Str(), uDovelaGsmModel::kMsgRequestTooLong);
}

TEST_F(SimulatedDeviceTest, RemovingTheUnitDuringALongAnswerDoesNotWaitForIt) {
  device_->WriteReport(OutputReport("/restart.json\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = Clock::now();
  unit_.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(device_->ReadReport(64), "");
}

TEST_F(SimulatedDeviceTest, AnswersKeepTheOrderOfTheirRequests) {
  // The test SMS answer takes seconds; the status request after it must wait for it.
  device_->WriteReport(OutputReport("/testsms.json\r\nphone=%2B420601234567"));
  device_->WriteReport(OutputReport("/status.json\r\n"));
  const auto sms = testjson::Parse(ReadAnswer(5000));
  ASSERT_TRUE(sms);
  EXPECT_TRUE((*sms)["ok"].Bool());
  EXPECT_TRUE(sms->Has("message"));
  const auto status = testjson::Parse(ReadAnswer());
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->Has("imei"));
}
