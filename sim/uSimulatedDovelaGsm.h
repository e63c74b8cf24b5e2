#pragma once
// A Dovela GSM unit on the simulated HID backend: one model behind one simulated device,
// framing requests and answers in reports as the unit's firmware does.
//
// Requests: the payloads of the output reports in order. A report with less than a full
// payload ends the request; a full one ends it only when no report follows within
// kIdleEndMs, since the host sends no empty report after a request of exactly k full
// payloads. Answers: cut into full-payload input reports, the first after the model's
// answer time, the rest kReportGapMs apart. One request is answered at a time, in order.
//
// A worker thread ("Dovela GSM sim") ends idle requests and sends answers; the destructor
// stops and joins it, detaches the output handler and takes the device off the backend.
// The backend must outlive the object; the model may outlive it (and serve the next one).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "providers/uHidSimulated.h"
#include "sim/uDovelaGsmModel.h"

namespace uSimulatedDovelaGsm {

inline constexpr std::uint16_t kVendorId = 0x2047;
inline constexpr std::uint16_t kProductId = 0x0301;
inline constexpr int kReportLength = 64;
inline constexpr std::size_t kPayloadBytes = kReportLength - 2;
inline constexpr std::uint32_t kIdleEndMs = 20;
inline constexpr std::uint32_t kReportGapMs = 4;

class TSimulatedDovelaGsm {
  struct TPassKey {};

 public:
  // Adds a Dovela GSM device to backend; a new model unless one is given.
  static std::shared_ptr<TSimulatedDovelaGsm> Add(
      uHidSimulated::TSimulatedHidBackend& backend, std::string serial = "DG0001234",
      std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model = nullptr);

  TSimulatedDovelaGsm(TPassKey, uHidSimulated::TSimulatedHidBackend& backend, std::string serial,
                      std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model);
  ~TSimulatedDovelaGsm();
  TSimulatedDovelaGsm(const TSimulatedDovelaGsm&) = delete;
  TSimulatedDovelaGsm& operator=(const TSimulatedDovelaGsm&) = delete;

  const std::shared_ptr<uHidSimulated::TSimulatedHidDevice>& Device() const { return device_; }
  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel>& Model() const { return model_; }
  // Requests taken whole so far.
  int Requests() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TRequest {
    std::string Text;
    TClock::time_point EndedAt;
  };

  void OnOutputReport(const std::string& report);
  void EndRequest(TClock::time_point at);  // with mutex_ held
  void Run();
  void SendAnswer(const std::string& text);

  uHidSimulated::TSimulatedHidBackend& backend_;
  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model_;
  const std::shared_ptr<uHidSimulated::TSimulatedHidDevice> device_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::string partial_;            // the request being received
  bool awaitingIdle_ = false;      // partial_ ended with a full report
  TClock::time_point idleEnd_;     // when such a request counts as ended
  TClock::time_point lastReport_;  // when the previous answer's last report goes out
  std::deque<TRequest> requests_;
  int requestCount_ = 0;
  std::thread worker_;
};

}  // namespace uSimulatedDovelaGsm
