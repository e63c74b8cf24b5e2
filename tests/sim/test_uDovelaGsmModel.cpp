// The Dovela GSM unit's configuration logic: requests in, JSON answers out.
#include "sim/uDovelaGsmModel.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "sim/Json.h"

using namespace uDovelaGsmModel;
using testjson::TValue;

namespace {

class ModelTest : public testing::Test {
 protected:
  // The answer to path + body, which must be a JSON object with "ok".
  TValue Ask(const std::string& path, const std::string& body = "") {
    last_ = model_.Handle(path + "\r\n" + body);
    const auto json = testjson::Parse(last_.Text);
    EXPECT_TRUE(json && json->IsObject() && (*json)["ok"].IsBool()) << last_.Text;
    return json ? *json : TValue{};
  }
  TValue Config() { return Ask("/config.json")["config"]; }

  TDovelaGsmModel model_;
  TDovelaGsmModel::TAnswer last_;
};

std::string Repeat(const std::string& text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

bool LuhnValid(const std::string& digits) {
  int sum = 0;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    int d = digits[digits.size() - 1 - i] - '0';
    if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
  }
  return sum % 10 == 0;
}

}  // namespace

// ---- status

TEST_F(ModelTest, StatusHasEveryFieldWithSaneValues) {
  const TValue s = Ask("/status.json");
  EXPECT_TRUE(s["ok"].Bool());
  const std::string imei = s["imei"].Str();
  ASSERT_EQ(imei.size(), 15u);
  EXPECT_EQ(imei.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(LuhnValid(imei)) << imei;
  EXPECT_EQ(imei, model_.Imei());
  EXPECT_EQ(s["firmware"].Str(), "DGSM 2.07.3");
  EXPECT_EQ(s["serial"].Str(), "DG0001234");
  const double rssi = s["signal"]["rssi"].Num();
  EXPECT_GE(rssi, -113);
  EXPECT_LE(rssi, -51);
  EXPECT_GE(s["signal"]["bars"].Num(), 1);
  EXPECT_LE(s["signal"]["bars"].Num(), 5);
  EXPECT_EQ(s["operator"].Str(), "O2 CZ");
  EXPECT_EQ(s["registration"].Str(), "home");
  EXPECT_EQ(s["power"]["source"].Str(), "mains");
  EXPECT_GE(s["power"]["battery"].Num(), 0);
  EXPECT_LE(s["power"]["battery"].Num(), 100);
  EXPECT_GT(s["power"]["voltage"].Num(), 3.0);
  EXPECT_LT(s["power"]["voltage"].Num(), 4.5);
  const auto& inputs = s["inputs"].Arr();
  ASSERT_EQ(inputs.size(), 4u);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(inputs[i]["id"].Num(), static_cast<double>(i + 1));
    EXPECT_FALSE(inputs[i]["active"].Bool());
  }
  EXPECT_GE(s["uptime"].Num(), 0);
}

TEST(Model, SignalVariesALittleAndBarsFollowIt) {
  TDovelaGsmModel model;
  std::set<double> seen;
  for (int i = 0; i < 40; ++i) {
    const auto s = testjson::Parse(model.Handle("/status.json\r\n").Text);
    ASSERT_TRUE(s);
    const double rssi = (*s)["signal"]["rssi"].Num();
    EXPECT_GE(rssi, -80);
    EXPECT_LE(rssi, -60);
    EXPECT_EQ((*s)["signal"]["bars"].Num(), rssi >= -65 ? 5 : rssi >= -75 ? 4 : 3);
    seen.insert(rssi);
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST(Model, SerialOfTheModelIsReported) {
  TDovelaGsmModel model("DG0009999");
  EXPECT_EQ((*testjson::Parse(model.Handle("/status.json\r\n").Text))["serial"].Str(), "DG0009999");
}

TEST_F(ModelTest, InputsAndPowerShowWhatWasSet) {
  model_.SetInput(2, true);
  model_.SetInput(5, true);  // no such input
  model_.SetPower({.OnBattery = true, .BatteryPercent = 37, .BatteryMillivolts = 3705});
  const TValue s = Ask("/status.json");
  const auto& inputs = s["inputs"].Arr();
  ASSERT_EQ(inputs.size(), 4u);
  EXPECT_FALSE(inputs[0]["active"].Bool());
  EXPECT_TRUE(inputs[1]["active"].Bool());
  EXPECT_FALSE(inputs[3]["active"].Bool());
  EXPECT_EQ(s["power"]["source"].Str(), "battery");
  EXPECT_EQ(s["power"]["battery"].Num(), 37);
  EXPECT_NE(last_.Text.find("\"voltage\":3.71"), std::string::npos) << last_.Text;
}

TEST_F(ModelTest, VoltageAlwaysHasTwoDecimalsAfterAPoint) {
  const struct {
    int millivolts;
    const char* text;
  } cases[] = {{4150, "4.15"}, {4050, "4.05"}, {3000, "3.00"}, {3999, "4.00"}, {-5, "0.00"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.millivolts);
    model_.SetPower({.BatteryMillivolts = c.millivolts});
    Ask("/status.json");
    EXPECT_NE(last_.Text.find(std::string("\"voltage\":") + c.text + "}"), std::string::npos)
        << last_.Text;
  }
}

TEST_F(ModelTest, UptimeCountsFromStartAndRestartsWithTheUnit) {
  auto now = std::chrono::steady_clock::now();
  model_.SetClock([&now] { return now; });
  now += std::chrono::seconds(125);
  EXPECT_EQ(Ask("/status.json")["uptime"].Num(), 125);
  ASSERT_TRUE(Ask("/set.json", "apn=web").IsObject());

  const TValue restart = Ask("/restart.json");
  EXPECT_TRUE(restart["ok"].Bool());
  EXPECT_FALSE(restart["message"].Str().empty());
  EXPECT_EQ(last_.DelayMs, kRestartMs);
  EXPECT_EQ(model_.Restarts(), 1);
  EXPECT_EQ(Ask("/status.json")["uptime"].Num(), 0);
  now += std::chrono::seconds(7);
  EXPECT_EQ(model_.UptimeSeconds(), 7);
  EXPECT_EQ(Config()["apn"].Str(), "web");  // settings survive a restart
}

TEST(Luhn, CheckDigitOfAKnownImei) {
  EXPECT_EQ(WithLuhnDigit("49015420323751"), "490154203237518");
  EXPECT_EQ(WithLuhnDigit("35209900176148"), "352099001761481");
}

// ---- settings

TEST_F(ModelTest, ConfigStartsWithTheFactoryDefaults) {
  const TValue ok = Ask("/config.json");
  EXPECT_TRUE(ok["ok"].Bool());
  const TValue c = ok["config"];
  EXPECT_EQ(c["apn"].Str(), "internet");
  EXPECT_EQ(c["apnUser"].Str(), "");
  EXPECT_EQ(c["apnPassword"].Str(), "");
  EXPECT_EQ(c["simPin"].Str(), "");
  EXPECT_EQ(c["smsCentre"].Str(), "+420602909909");
  ASSERT_EQ(c["phones"].Arr().size(), 1u);
  EXPECT_EQ(c["phones"].Arr()[0].Str(), "+420601123456");
  for (int i = 1; i <= 4; ++i)
    EXPECT_EQ(c["alarm" + std::to_string(i)].Str(), "Poplach vstup " + std::to_string(i));
  EXPECT_EQ(c["output1"].Str(), "off");
  EXPECT_EQ(c["output2"].Str(), "off");
  EXPECT_EQ(c["reportInterval"].Num(), 60);
  EXPECT_EQ(c.Obj().size(), 13u);  // nothing beyond the documented keys
}

namespace {
struct TSetCase {
  const char* name;
  std::string body;
  std::string key;
  std::string stored;  // the value config shows afterwards (numbers as text)
  std::string error;   // empty: the change is taken
};

std::string Chars(std::size_t count, const std::string& ch = "x") {
  return Repeat(ch, static_cast<int>(count));
}

const std::vector<TSetCase>& SetCases() {
  static const std::vector<TSetCase> cases = {
      {"apn", "apn=web.o2.cz", "apn", "web.o2.cz", ""},
      {"apn63", "apn=" + Chars(63), "apn", Chars(63), ""},
      {"apn64", "apn=" + Chars(64), "apn", "", kMsgTextTooLong},
      {"apnEmpty", "apn=", "apn", "", kMsgEmptyApn},
      {"apnNoValue", "apn", "apn", "", kMsgEmptyApn},
      {"apnNotUtf8", "apn=a%FFb", "apn", "", kMsgBadText},
      {"user31", "apnUser=" + Chars(31), "apnUser", Chars(31), ""},
      {"user32", "apnUser=" + Chars(32), "apnUser", "", kMsgTextTooLong},
      {"passwordEscaped", "apnPassword=p%26ss%3Dw+rd", "apnPassword", "p&ss=w rd", ""},
      {"password32", "apnPassword=" + Chars(32), "apnPassword", "", kMsgTextTooLong},
      {"pinNone", "simPin=", "simPin", "", ""},
      {"pin4", "simPin=1234", "simPin", "1234", ""},
      {"pin8", "simPin=12345678", "simPin", "12345678", ""},
      {"pin3", "simPin=123", "simPin", "", kMsgBadPin},
      {"pin9", "simPin=123456789", "simPin", "", kMsgBadPin},
      {"pinLetter", "simPin=12a4", "simPin", "", kMsgBadPin},
      {"pinSpace", "simPin=+1234", "simPin", "", kMsgBadPin},
      {"centre", "smsCentre=%2B420603052000", "smsCentre", "+420603052000", ""},
      {"centreNone", "smsCentre=", "smsCentre", "", ""},
      {"centre7", "smsCentre=%2B1234567", "smsCentre", "+1234567", ""},
      {"centre15", "smsCentre=%2B" + Chars(15, "1"), "smsCentre", "+" + Chars(15, "1"), ""},
      {"centre6", "smsCentre=%2B123456", "smsCentre", "", kMsgBadPhone},
      {"centre16", "smsCentre=%2B" + Chars(16, "1"), "smsCentre", "", kMsgBadPhone},
      {"centreNoPlus", "smsCentre=420602909909", "smsCentre", "", kMsgBadPhone},
      // A raw '+' in a form body is a space.
      {"centreRawPlus", "smsCentre=+420602909909", "smsCentre", "", kMsgBadPhone},
      {"alarm60", "alarm1=" + Chars(60), "alarm1", Chars(60), ""},
      {"alarm61", "alarm1=" + Chars(61), "alarm1", "", kMsgTextTooLong},
      {"alarmCzech60", "alarm2=" + Chars(60, "%C5%BE"), "alarm2", Chars(60, "ž"), ""},
      {"alarmCzech61", "alarm3=" + Chars(61, "%C5%BE"), "alarm3", "", kMsgTextTooLong},
      {"alarmEmpty", "alarm4=", "alarm4", "", ""},
      {"alarmCut", "alarm4=%E2%82", "alarm4", "", kMsgBadText},
      {"alarm5", "alarm5=x", "alarm5", "", kMsgUnknownSetting},
      {"outputOn", "output1=on", "output1", "on", ""},
      {"outputPulse", "output2=pulse", "output2", "pulse", ""},
      {"outputAlarm", "output1=alarm", "output1", "alarm", ""},
      {"outputOff", "output2=off", "output2", "off", ""},
      {"outputUpper", "output2=ON", "output2", "", kMsgBadOutputMode},
      {"outputEmpty", "output1=", "output1", "", kMsgBadOutputMode},
      {"output3", "output3=on", "output3", "", kMsgUnknownSetting},
      {"interval0", "reportInterval=0", "reportInterval", "0", ""},
      {"interval1440", "reportInterval=1440", "reportInterval", "1440", ""},
      {"intervalZeros", "reportInterval=0015", "reportInterval", "15", ""},
      {"interval1441", "reportInterval=1441", "reportInterval", "", kMsgBadInterval},
      {"intervalNegative", "reportInterval=-1", "reportInterval", "", kMsgBadInterval},
      {"intervalEmpty", "reportInterval=", "reportInterval", "", kMsgBadInterval},
      {"intervalFraction", "reportInterval=1.5", "reportInterval", "", kMsgBadInterval},
      {"intervalSpace", "reportInterval=+60", "reportInterval", "", kMsgBadInterval},
      {"intervalHuge", "reportInterval=" + Chars(40, "9"), "reportInterval", "", kMsgBadInterval},
      {"unknown", "colour=red", "colour", "", kMsgUnknownSetting},
      {"keyCase", "APN=web", "APN", "", kMsgUnknownSetting},
      {"emptyKey", "=x", "", "", kMsgUnknownSetting},
  };
  return cases;
}

class SetKeyTest : public ModelTest, public testing::WithParamInterface<TSetCase> {};
}  // namespace

TEST_P(SetKeyTest, ValidValuesAreStoredAndInvalidOnesNamedWithTheirMessage) {
  const TSetCase& c = GetParam();
  const TValue answer = Ask("/set.json", c.body);
  if (c.error.empty()) {
    ASSERT_TRUE(answer["ok"].Bool()) << last_.Text;
    EXPECT_FALSE(answer.Has("errors"));
    const auto text = [](const TValue& value) {
      return value.IsNumber() ? std::to_string(static_cast<int>(value.Num())) : value.Str();
    };
    EXPECT_EQ(text(answer["config"][c.key]), c.stored);
    EXPECT_EQ(text(Config()[c.key]), c.stored);  // kept for later requests
  } else {
    ASSERT_FALSE(answer["ok"].Bool()) << last_.Text;
    EXPECT_EQ(answer["error"].Str(), kMsgSettingsRejected);
    ASSERT_EQ(answer["errors"].Obj().size(), 1u) << last_.Text;
    EXPECT_EQ(answer["errors"][c.key].Str(), c.error);
    EXPECT_FALSE(answer.Has("config"));
    EXPECT_EQ(model_.Config(), TConfig{});
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, SetKeyTest, testing::ValuesIn(SetCases()),
                         [](const auto& c) { return std::string(c.param.name); });

namespace {
struct TPhonesCase {
  const char* name;
  std::string value;
  std::vector<std::string> phones;
  std::string error;
};

class PhonesTest : public ModelTest, public testing::WithParamInterface<TPhonesCase> {};

const std::string kA = "%2B420601111111", kB = "%2B420602222222";
}  // namespace

TEST_P(PhonesTest, ListIsSplitAtCommasWithSpacesIgnored) {
  const TPhonesCase& c = GetParam();
  const TValue answer = Ask("/set.json", "phones=" + c.value);
  if (!c.error.empty()) {
    ASSERT_FALSE(answer["ok"].Bool());
    EXPECT_EQ(answer["errors"]["phones"].Str(), c.error);
    EXPECT_EQ(model_.Config().Phones, TConfig{}.Phones);
    return;
  }
  ASSERT_TRUE(answer["ok"].Bool()) << last_.Text;
  std::vector<std::string> listed;
  for (const auto& phone : answer["config"]["phones"].Arr()) listed.push_back(phone.Str());
  EXPECT_EQ(listed, c.phones);
  EXPECT_EQ(model_.Config().Phones, c.phones);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, PhonesTest,
    testing::Values(
        TPhonesCase{"two", kA + "," + kB, {"+420601111111", "+420602222222"}, ""},
        TPhonesCase{"encodedComma", kA + "%2C" + kB, {"+420601111111", "+420602222222"}, ""},
        TPhonesCase{
            "spaces", "%2B420+601%20111+111+,+" + kB, {"+420601111111", "+420602222222"}, ""},
        TPhonesCase{"none", "", {}, ""},
        TPhonesCase{"trailingComma", kA + ",", {"+420601111111"}, ""},
        TPhonesCase{
            "five",
            Repeat(kA + ",", 4) + kB,
            {"+420601111111", "+420601111111", "+420601111111", "+420601111111", "+420602222222"},
            ""},
        TPhonesCase{"six", Repeat(kA + ",", 5) + kB, {}, kMsgTooManyPhones},
        TPhonesCase{"letter", "%2B42060111111a", {}, kMsgBadPhone},
        TPhonesCase{"noPlus", "420601111111", {}, kMsgBadPhone},
        TPhonesCase{"oneBadOfTwo", kA + ",%2B12", {}, kMsgBadPhone},
        TPhonesCase{"tooLong", "%2B" + Repeat("1", 16), {}, kMsgBadPhone}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_F(ModelTest, SetChangesNothingUnlessEveryFieldIsValid) {
  const TValue rejected =
      Ask("/set.json", "apn=web&simPin=12&reportInterval=5&colour=red&output1=on");
  ASSERT_FALSE(rejected["ok"].Bool());
  const auto& errors = rejected["errors"].Obj();
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_EQ(rejected["errors"]["simPin"].Str(), kMsgBadPin);
  EXPECT_EQ(rejected["errors"]["colour"].Str(), kMsgUnknownSetting);
  EXPECT_EQ(model_.Config(), TConfig{});
  EXPECT_EQ(Config()["apn"].Str(), "internet");

  const TValue taken = Ask("/set.json", "apn=web&reportInterval=5&output1=on");
  ASSERT_TRUE(taken["ok"].Bool());
  const TValue c = taken["config"];  // the whole config, changed and unchanged keys
  EXPECT_EQ(c["apn"].Str(), "web");
  EXPECT_EQ(c["reportInterval"].Num(), 5);
  EXPECT_EQ(c["output1"].Str(), "on");
  EXPECT_EQ(c["output2"].Str(), "off");
  EXPECT_EQ(c["smsCentre"].Str(), "+420602909909");
  EXPECT_EQ(c.Obj().size(), 13u);
}

TEST_F(ModelTest, ARepeatedKeyKeepsItsLastValueButAnyBadOneRejectsTheRequest) {
  EXPECT_TRUE(Ask("/set.json", "apn=one&apn=two")["ok"].Bool());
  EXPECT_EQ(model_.Config().Apn, "two");
  const TValue answer = Ask("/set.json", "apn=three&apn=");
  EXPECT_FALSE(answer["ok"].Bool());
  EXPECT_EQ(answer["errors"]["apn"].Str(), kMsgEmptyApn);
  EXPECT_EQ(model_.Config().Apn, "two");
}

TEST_F(ModelTest, AnEmptySetChangesNothingAndAnswersTheConfig) {
  const TValue answer = Ask("/set.json");
  EXPECT_TRUE(answer["ok"].Bool());
  EXPECT_EQ(answer["config"]["apn"].Str(), "internet");
  EXPECT_EQ(model_.Config(), TConfig{});
}

// ---- text in answers

TEST_F(ModelTest, StoredTextsComeBackExactlyThroughJsonEscapes) {
  // Quotes, backslash, newline, tab, a control byte, NUL and Czech letters.
  const std::string text = std::string("Řekl \"stop\" \\ a\nkonec\t\x01") + '\0' + "ž";
  const TValue answer =
      Ask("/set.json", "alarm1=%C5%98ekl+%22stop%22+%5C+a%0Akonec%09%01%00%C5%BE");
  ASSERT_TRUE(answer["ok"].Bool()) << last_.Text;
  EXPECT_EQ(answer["config"]["alarm1"].Str(), text);
  EXPECT_EQ(model_.Config().Alarms[0], text);
  EXPECT_NE(last_.Text.find(R"(\"stop\" \\ a\nkonec\t\u0001\u0000ž)"), std::string::npos)
      << last_.Text;
}

TEST_F(ModelTest, AnUnknownKeyIsEchoedAsValidJsonWhateverItsBytes) {
  const TValue answer = Ask("/set.json", "%22x%5C%0D%FF%C0=1");
  ASSERT_FALSE(answer["ok"].Bool());
  ASSERT_EQ(answer["errors"].Obj().size(), 1u);
  EXPECT_EQ(answer["errors"].Obj().begin()->first, "\"x\\\r\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JsonString, EscapesWhatJsonNeedsAndReplacesBytesThatAreNotUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", R"("")"},
      {"a\"b", R"("a\"b")"},
      {"\\", R"("\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
      {"/\x7f", "\"/\x7f\""},
      {"žluť € 😀", "\"žluť € 😀\""},
      {"\xff", R"("\ufffd")"},
      {"a\xc0\xaf", R"("a\ufffd\ufffd")"},                    // overlong '/'
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // above U+10FFFF
      {"\xe2\x82", R"("\ufffd\ufffd")"},                      // cut short
      {"\xc5\xbe\xc5", R"("ž\ufffd")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(JsonString(c.in), c.out);
    EXPECT_TRUE(testjson::Parse(JsonString(c.in)));
  }
}

// ---- form bodies

TEST(ParseForm, DecodesPairsAndLeavesMalformedEscapesAsTheyAre) {
  using TPairs = std::vector<std::pair<std::string, std::string>>;
  const struct {
    std::string body;
    TPairs pairs;
  } cases[] = {
      {"", {}},
      {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
      {"a+b=c+d%20e", {{"a b", "c d e"}}},
      {"%41%62=%7e%7E", {{"Ab", "~~"}}},
      {"a=%C5%BElu%C5%A5", {{"a", "žluť"}}},
      {"a=%", {{"a", "%"}}},
      {"a=%4", {{"a", "%4"}}},
      {"a=%G1%1", {{"a", "%G1%1"}}},
      {"a=%%41", {{"a", "%A"}}},
      {"a=100%25", {{"a", "100%"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"a%3Db=c", {{"a=b", "c"}}},
      {"a=b%26c", {{"a", "b&c"}}},
      {"flag", {{"flag", ""}}},
      {"&&a=1&", {{"a", "1"}}},
      {"=x", {{"", "x"}}},
      {"a=%00", {{"a", std::string(1, '\0')}}},
      {"a=1\r\nb=2", {{"a", "1\r\nb=2"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(ParseForm(c.body), c.pairs);
  }
}

// ---- requests

TEST(Model, RequestsForNoKnownPathAreAnsweredAsUnknown) {
  const std::string cases[] = {
      "/nothing.json\r\n",
      "/STATUS.JSON\r\n",  // paths arrive in lower case
      "status.json\r\n",
      "/status.json?x=1\r\n",
      "/status.json \r\n",
      std::string("/status.json\0\r\n", 15),
      "\r\n",
      "",
      "\xff\xfe\r\n\x80",
      "/config.json\n",
  };
  TDovelaGsmModel model;
  for (const auto& request : cases) {
    SCOPED_TRACE(request);
    const auto answer = model.Handle(request);
    const auto json = testjson::Parse(answer.Text);
    ASSERT_TRUE(json) << answer.Text;
    EXPECT_FALSE((*json)["ok"].Bool());
    EXPECT_EQ((*json)["error"].Str(), kMsgUnknownRequest);
  }
}

TEST(Model, EveryByteValueInARequestGetsAValidAnswer) {
  TDovelaGsmModel model;
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (const std::string& request :
       {all, "/set.json\r\n" + all, "/set.json\r\nalarm1=" + all, "/testsms.json\r\n" + all}) {
    const auto answer = model.Handle(request);
    EXPECT_TRUE(testjson::Parse(answer.Text)) << answer.Text;
  }
  EXPECT_EQ(model.Config(), TConfig{});
}

TEST(Model, ARequestLongerThanTheUnitKeepsIsRefused) {
  TDovelaGsmModel model;
  const std::string request = "/set.json\r\nalarm1=" + std::string(kMaxRequestBytes, 'x');
  const auto json = testjson::Parse(model.Handle(request).Text);
  ASSERT_TRUE(json);
  EXPECT_FALSE((*json)["ok"].Bool());
  EXPECT_EQ((*json)["error"].Str(), kMsgRequestTooLong);
  EXPECT_EQ(model.Config(), TConfig{});
}

TEST_F(ModelTest, TestSmsGoesToAValidNumberAfterAboutTwoSeconds) {
  const TValue sent = Ask("/testsms.json", "phone=%2B420+601+234+567");
  ASSERT_TRUE(sent["ok"].Bool()) << last_.Text;
  EXPECT_NE(sent["message"].Str().find("+420601234567"), std::string::npos);
  EXPECT_EQ(last_.DelayMs, kTestSmsMs);
  EXPECT_EQ(model_.SentSms(), (std::vector<std::string>{"+420601234567"}));
}

TEST_F(ModelTest, TestSmsToABadOrMissingNumberIsRefusedAtOnce) {
  for (const std::string body :
       {"", "phone=", "phone=420601234567", "phone=%2B12", "tel=%2B420601234567"}) {
    SCOPED_TRACE(body);
    const TValue answer = Ask("/testsms.json", body);
    ASSERT_FALSE(answer["ok"].Bool());
    EXPECT_EQ(answer["error"].Str(), kMsgBadPhone);
    EXPECT_EQ(answer["errors"]["phone"].Str(), kMsgBadPhone);
    EXPECT_LE(last_.DelayMs, kMaxAnswerMs);
  }
  EXPECT_TRUE(model_.SentSms().empty());
}

TEST(Model, OrdinaryAnswersTakeThirtyToEightyMilliseconds) {
  TDovelaGsmModel model;
  std::set<std::uint32_t> delays;
  for (int i = 0; i < 30; ++i) {
    for (const char* request : {"/status.json\r\n", "/config.json\r\n", "/set.json\r\napn=x",
                                "/set.json\r\napn=", "/nothing\r\n"}) {
      const auto delay = model.Handle(request).DelayMs;
      EXPECT_GE(delay, kMinAnswerMs) << request;
      EXPECT_LE(delay, kMaxAnswerMs) << request;
      delays.insert(delay);
    }
  }
  EXPECT_GT(delays.size(), 1u);
}

TEST(Model, RequestsFromSeveralThreadsAtOnceStayConsistent) {
  TDovelaGsmModel model;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&model, t] {
      for (int i = 0; i < 100; ++i) {
        const std::string apn = "apn" + std::to_string(t);
        model.Handle("/set.json\r\napn=" + apn + "&apnUser=" + apn);
        model.Handle("/status.json\r\n");
        const auto config = model.Config();
        EXPECT_EQ(config.Apn, config.ApnUser);  // each set is applied whole
      }
    });
  }
  for (auto& thread : threads) thread.join();
}
