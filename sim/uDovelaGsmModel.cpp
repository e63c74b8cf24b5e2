#include "sim/uDovelaGsmModel.h"

#include "ci/uStrUtils.h"

#include <algorithm>
#include <map>
#include <optional>

namespace uDovelaGsmModel {

namespace {

using TErrors = std::map<std::string, std::string>;

constexpr std::size_t kMaxApn = 63;
constexpr std::size_t kMaxApnLogin = 31;
constexpr std::size_t kMaxAlarmText = 60;
constexpr int kMaxInterval = 1440;
constexpr int kBaseRssi = -71;
constexpr int kRssiSwing = 3;

std::string DecodeFormPart(std::string_view part) {
  return uStrUtils::PercentDecode(part, true);
}

// Length of the well-formed UTF-8 sequence at text[pos], or 0 when it is not one (overlong
// forms, surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  return length;
}

// Characters in text, or nothing when it is not UTF-8.
std::optional<std::size_t> Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    const std::size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) return std::nullopt;
    pos += length;
  }
  return count;
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string WithoutSpaces(std::string_view text) {
  std::string out;
  for (const char c : text)
    if (c != ' ') out += c;
  return out;
}

bool ValidPhone(std::string_view phone) {
  return phone.size() >= 8 && phone.size() <= 16 && phone[0] == '+' && AllDigits(phone.substr(1));
}

// The message for a text field, empty when the text may be stored.
std::string CheckText(std::string_view text, std::size_t maxChars) {
  const auto length = Utf8Length(text);
  if (!length) return kMsgBadText;
  if (*length > maxChars) return kMsgTextTooLong;
  return {};
}

std::string CheckPhones(std::string_view list, std::vector<std::string>& phones) {
  phones.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    const std::string phone = WithoutSpaces(list.substr(start, comma - start));
    // An empty entry (a trailing comma, an empty list) adds no number.
    if (!phone.empty()) {
      if (!ValidPhone(phone)) return kMsgBadPhone;
      phones.push_back(phone);
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (phones.size() > kMaxPhones) return kMsgTooManyPhones;
  return {};
}

std::string CheckInterval(std::string_view text, int& minutes) {
  if (text.empty() || !AllDigits(text)) return kMsgBadInterval;
  long value = 0;
  for (const char c : text) {
    value = value * 10 + (c - '0');
    if (value > kMaxInterval) return kMsgBadInterval;  // stops before a huge value overflows
  }
  minutes = static_cast<int>(value);
  return {};
}

// Puts one setting into config; the message for the field, empty when it was taken.
std::string ApplySetting(TConfig& config, const std::string& key, const std::string& value) {
  if (key == "apn") {
    if (value.empty()) return kMsgEmptyApn;
    std::string error = CheckText(value, kMaxApn);
    if (error.empty()) config.Apn = value;
    return error;
  }
  if (key == "apnUser" || key == "apnPassword") {
    std::string error = CheckText(value, kMaxApnLogin);
    if (error.empty()) (key == "apnUser" ? config.ApnUser : config.ApnPassword) = value;
    return error;
  }
  if (key == "simPin") {
    if (!value.empty() && (value.size() < 4 || value.size() > 8 || !AllDigits(value)))
      return kMsgBadPin;
    config.SimPin = value;
    return {};
  }
  if (key == "smsCentre") {
    if (!value.empty() && !ValidPhone(value)) return kMsgBadPhone;
    config.SmsCentre = value;
    return {};
  }
  if (key == "phones") {
    std::vector<std::string> phones;
    std::string error = CheckPhones(value, phones);
    if (error.empty()) config.Phones = std::move(phones);
    return error;
  }
  for (int i = 0; i < kInputs; ++i) {
    if (key == "alarm" + std::to_string(i + 1)) {
      std::string error = CheckText(value, kMaxAlarmText);
      if (error.empty()) config.Alarms[static_cast<std::size_t>(i)] = value;
      return error;
    }
  }
  for (int i = 0; i < kOutputs; ++i) {
    if (key == "output" + std::to_string(i + 1)) {
      if (value != "off" && value != "on" && value != "pulse" && value != "alarm")
        return kMsgBadOutputMode;
      config.Outputs[static_cast<std::size_t>(i)] = value;
      return {};
    }
  }
  if (key == "reportInterval") return CheckInterval(value, config.ReportInterval);
  return kMsgUnknownSetting;
}

std::string ErrorJson(std::string_view message) {
  return "{\"ok\":false,\"error\":" + JsonString(message) + "}";
}

std::string ErrorJson(std::string_view message, const TErrors& errors) {
  std::string json = "{\"ok\":false,\"error\":" + JsonString(message) + ",\"errors\":{";
  bool first = true;
  for (const auto& [field, text] : errors) {
    if (!first) json += ',';
    first = false;
    json += JsonString(field) + ":" + JsonString(text);
  }
  return json + "}}";
}

// Millivolts as volts with two decimals, without the locale's decimal comma.
std::string Volts(int millivolts) {
  millivolts = std::max(millivolts, 0);
  const int centivolts = (millivolts + 5) / 10;
  const int fraction = centivolts % 100;
  return std::to_string(centivolts / 100) + (fraction < 10 ? ".0" : ".") + std::to_string(fraction);
}

int Bars(int rssi) {
  if (rssi >= -65) return 5;
  if (rssi >= -75) return 4;
  if (rssi >= -85) return 3;
  if (rssi >= -95) return 2;
  if (rssi >= -105) return 1;
  return 0;
}

const char* Bool(bool value) {
  return value ? "true" : "false";
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view pair = body.substr(start, end - start);
    if (!pair.empty()) {
      const std::size_t eq = pair.find('=');
      if (eq == std::string_view::npos)
        pairs.emplace_back(DecodeFormPart(pair), std::string());
      else
        pairs.emplace_back(DecodeFormPart(pair.substr(0, eq)), DecodeFormPart(pair.substr(eq + 1)));
    }
    start = end + 1;
  }
  return pairs;
}

std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, pos);
      if (length == 0) {
        out += "\\ufffd";
        ++pos;
      } else {
        out.append(text.substr(pos, length));
        pos += length;
      }
      continue;
    }
    ++pos;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string WithLuhnDigit(std::string_view digits14) {
  int sum = 0;
  // From the right, every second digit of the body (the first next to the check digit) is
  // doubled.
  for (std::size_t i = 0; i < digits14.size(); ++i) {
    int digit = digits14[digits14.size() - 1 - i] - '0';
    if (i % 2 == 0) {
      digit *= 2;
      if (digit > 9) digit -= 9;
    }
    sum += digit;
  }
  return std::string(digits14) + static_cast<char>('0' + (10 - sum % 10) % 10);
}

TDovelaGsmModel::TDovelaGsmModel(std::string serial, std::uint32_t seed)
    : serial_(std::move(serial)),
      imei_(WithLuhnDigit("35693803564380")),
      random_(seed == 0 ? 1 : seed),
      now_([] { return std::chrono::steady_clock::now(); }),
      bootedAt_(now_()) {}

TDovelaGsmModel::TAnswer TDovelaGsmModel::Handle(const std::string& request) {
  std::lock_guard lock(mutex_);
  if (request.size() > kMaxRequestBytes) return {ErrorJson(kMsgRequestTooLong), AnswerDelay()};
  const std::size_t crlf = request.find("\r\n");
  const std::string_view path = std::string_view(request).substr(0, crlf);
  const std::string_view body =
      crlf == std::string::npos ? std::string_view() : std::string_view(request).substr(crlf + 2);
  if (path == "/status.json") return {StatusJson(), AnswerDelay()};
  if (path == "/config.json") return {ConfigJson(), AnswerDelay()};
  if (path == "/set.json") return Set(body);
  if (path == "/restart.json") return Restart();
  if (path == "/testsms.json") return TestSms(body);
  return {ErrorJson(kMsgUnknownRequest), AnswerDelay()};
}

std::uint32_t TDovelaGsmModel::AnswerDelay() {
  return std::uniform_int_distribution<std::uint32_t>(kMinAnswerMs, kMaxAnswerMs)(random_);
}

std::string TDovelaGsmModel::StatusJson() {
  const int rssi = kBaseRssi + std::uniform_int_distribution<int>(-kRssiSwing, kRssiSwing)(random_);
  const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(now_() - bootedAt_).count();
  std::string json =
      "{\"ok\":true,\"imei\":" + JsonString(imei_) + ",\"firmware\":" + JsonString(kFirmware) +
      ",\"serial\":" + JsonString(serial_) + ",\"signal\":{\"rssi\":" + std::to_string(rssi) +
      ",\"bars\":" + std::to_string(Bars(rssi)) + "},\"operator\":" + JsonString(kOperator) +
      ",\"registration\":\"home\",\"power\":{\"source\":" +
      (power_.OnBattery ? "\"battery\"" : "\"mains\"") +
      ",\"battery\":" + std::to_string(power_.BatteryPercent) +
      ",\"voltage\":" + Volts(power_.BatteryMillivolts) + "},\"inputs\":[";
  for (int i = 0; i < kInputs; ++i) {
    if (i > 0) json += ',';
    json += "{\"id\":" + std::to_string(i + 1) +
            ",\"active\":" + Bool(inputs_[static_cast<std::size_t>(i)]) + "}";
  }
  return json + "],\"uptime\":" + std::to_string(std::max<std::int64_t>(uptime, 0)) + "}";
}

std::string TDovelaGsmModel::ConfigJson() const {
  const TConfig& c = config_;
  std::string json = "{\"ok\":true,\"config\":{\"apn\":" + JsonString(c.Apn) +
                     ",\"apnUser\":" + JsonString(c.ApnUser) +
                     ",\"apnPassword\":" + JsonString(c.ApnPassword) +
                     ",\"simPin\":" + JsonString(c.SimPin) +
                     ",\"smsCentre\":" + JsonString(c.SmsCentre) + ",\"phones\":[";
  for (std::size_t i = 0; i < c.Phones.size(); ++i) {
    if (i > 0) json += ',';
    json += JsonString(c.Phones[i]);
  }
  json += ']';
  for (std::size_t i = 0; i < c.Alarms.size(); ++i)
    json += ",\"alarm" + std::to_string(i + 1) + "\":" + JsonString(c.Alarms[i]);
  for (std::size_t i = 0; i < c.Outputs.size(); ++i)
    json += ",\"output" + std::to_string(i + 1) + "\":" + JsonString(c.Outputs[i]);
  return json + ",\"reportInterval\":" + std::to_string(c.ReportInterval) + "}}";
}

TDovelaGsmModel::TAnswer TDovelaGsmModel::Set(std::string_view body) {
  TConfig changed = config_;
  TErrors errors;
  for (const auto& [key, value] : ParseForm(body)) {
    std::string error = ApplySetting(changed, key, value);
    if (!error.empty()) errors.emplace(key, std::move(error));  // the first problem of a key
  }
  if (!errors.empty()) return {ErrorJson(kMsgSettingsRejected, errors), AnswerDelay()};
  config_ = std::move(changed);
  return {ConfigJson(), AnswerDelay()};
}

TDovelaGsmModel::TAnswer TDovelaGsmModel::TestSms(std::string_view body) {
  std::string phone;
  for (const auto& [key, value] : ParseForm(body))
    if (key == "phone") phone = WithoutSpaces(value);
  if (!ValidPhone(phone))
    return {ErrorJson(kMsgBadPhone, {{"phone", kMsgBadPhone}}), AnswerDelay()};
  sentSms_.push_back(phone);
  return {"{\"ok\":true,\"message\":" + JsonString(std::string(kMsgSmsSent) + " na " + phone) + "}",
          kTestSmsMs};
}

TDovelaGsmModel::TAnswer TDovelaGsmModel::Restart() {
  ++restarts_;
  bootedAt_ = now_();
  return {"{\"ok\":true,\"message\":" + JsonString(kMsgRestarted) + "}", kRestartMs};
}

TConfig TDovelaGsmModel::Config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

int TDovelaGsmModel::Restarts() const {
  std::lock_guard lock(mutex_);
  return restarts_;
}

std::vector<std::string> TDovelaGsmModel::SentSms() const {
  std::lock_guard lock(mutex_);
  return sentSms_;
}

std::int64_t TDovelaGsmModel::UptimeSeconds() const {
  std::lock_guard lock(mutex_);
  return std::chrono::duration_cast<std::chrono::seconds>(now_() - bootedAt_).count();
}

void TDovelaGsmModel::SetInput(int id, bool active) {
  std::lock_guard lock(mutex_);
  if (id >= 1 && id <= kInputs) inputs_[static_cast<std::size_t>(id - 1)] = active;
}

void TDovelaGsmModel::SetPower(TPower power) {
  std::lock_guard lock(mutex_);
  power_ = power;
}

void TDovelaGsmModel::SetClock(TNow now) {
  std::lock_guard lock(mutex_);
  now_ = now ? std::move(now) : TNow([] { return std::chrono::steady_clock::now(); });
  bootedAt_ = now_();
}

}  // namespace uDovelaGsmModel
