#pragma once
// The Dovela GSM unit's configuration logic, without any transport: one request text in,
// one JSON answer and the time the unit takes to give it out.
//
// A request is "<lower-case path>\r\n<form-encoded body>". Status values are read-only and
// partly live (signal, uptime); settings start at the factory defaults, are checked field by
// field and change only when every field of a /set.json request is valid. All members may be
// called from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace uDovelaGsmModel {

inline constexpr const char* kFirmware = "DGSM 2.07.3";
inline constexpr const char* kOperator = "O2 CZ";
inline constexpr int kInputs = 4;
inline constexpr int kOutputs = 2;
inline constexpr std::size_t kMaxPhones = 5;
// Longer requests do not fit the unit's receive buffer.
inline constexpr std::size_t kMaxRequestBytes = 8192;

// Answer times of the unit.
inline constexpr std::uint32_t kMinAnswerMs = 30;
inline constexpr std::uint32_t kMaxAnswerMs = 80;
inline constexpr std::uint32_t kRestartMs = 3000;
inline constexpr std::uint32_t kTestSmsMs = 2000;

// Messages shown to the user.
inline constexpr const char* kMsgUnknownRequest = "Neznámý požadavek";
inline constexpr const char* kMsgRequestTooLong = "Požadavek je příliš dlouhý";
inline constexpr const char* kMsgSettingsRejected = "Nastavení nebylo uloženo";
inline constexpr const char* kMsgUnknownSetting = "Neznámé nastavení";
inline constexpr const char* kMsgBadPhone = "Neplatné telefonní číslo";
inline constexpr const char* kMsgTooManyPhones = "Nejvýše 5 telefonních čísel";
inline constexpr const char* kMsgBadPin = "PIN musí mít 4 až 8 číslic";
inline constexpr const char* kMsgEmptyApn = "APN nesmí být prázdné";
inline constexpr const char* kMsgBadInterval = "Interval musí být 0 až 1440 minut";
inline constexpr const char* kMsgBadOutputMode = "Neznámý režim výstupu";
inline constexpr const char* kMsgTextTooLong = "Text je příliš dlouhý";
inline constexpr const char* kMsgBadText = "Text obsahuje neplatné znaky";
inline constexpr const char* kMsgRestarted = "Zařízení bylo restartováno";
inline constexpr const char* kMsgSmsSent = "Testovací SMS byla odeslána";

// The settings the unit keeps across restarts; members start at the factory defaults.
struct TConfig {
  std::string Apn = "internet";
  std::string ApnUser;
  std::string ApnPassword;
  std::string SimPin;  // empty: the SIM has no PIN
  std::string SmsCentre = "+420602909909";
  std::vector<std::string> Phones{"+420601123456"};
  std::array<std::string, kInputs> Alarms{"Poplach vstup 1", "Poplach vstup 2", "Poplach vstup 3",
                                          "Poplach vstup 4"};
  std::array<std::string, kOutputs> Outputs{"off", "off"};
  int ReportInterval = 60;  // minutes, 0 = no reports
  bool operator==(const TConfig&) const = default;
};

struct TPower {
  bool OnBattery = false;
  int BatteryPercent = 100;
  int BatteryMillivolts = 4150;
};

// Form-encoded body -> (key, value) pairs in their order: '&' splits pairs, the first '='
// splits key from value, '+' is a space and %XX a byte; a malformed escape stays as it is.
std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view body);
// Text as a JSON string with its quotes; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);
// 14 digits followed by their Luhn check digit.
std::string WithLuhnDigit(std::string_view digits14);

class TDovelaGsmModel {
 public:
  struct TAnswer {
    std::string Text;
    std::uint32_t DelayMs = 0;
  };
  using TNow = std::function<std::chrono::steady_clock::time_point()>;

  // seed drives the small variations of the signal and the answer times.
  explicit TDovelaGsmModel(std::string serial = "DG0001234", std::uint32_t seed = 2047);

  TAnswer Handle(const std::string& request);

  // ---- state, for tests and the demo
  TConfig Config() const;
  std::string Imei() const { return imei_; }
  std::string Serial() const { return serial_; }
  int Restarts() const;
  // Numbers that a test SMS went to, oldest first.
  std::vector<std::string> SentSms() const;
  std::int64_t UptimeSeconds() const;
  void SetInput(int id, bool active);  // id 1..4; others are ignored
  void SetPower(TPower power);
  // Replaces the clock that uptime is measured with; uptime counts from this call.
  void SetClock(TNow now);

 private:
  std::string StatusJson();
  std::string ConfigJson() const;
  TAnswer Set(std::string_view body);
  TAnswer TestSms(std::string_view body);
  TAnswer Restart();
  std::uint32_t AnswerDelay();

  const std::string serial_;
  const std::string imei_;
  mutable std::mutex mutex_;
  std::minstd_rand random_;
  TNow now_;
  std::chrono::steady_clock::time_point bootedAt_;
  TConfig config_;
  TPower power_;
  std::array<bool, kInputs> inputs_{};
  int restarts_ = 0;
  std::vector<std::string> sentSms_;
};

}  // namespace uDovelaGsmModel
