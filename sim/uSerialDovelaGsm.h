#pragma once
// A Dovela GSM unit on a serial line: one model behind a byte stream, whatever carries it (a
// pseudo-terminal, an FTDI fake). The line has no framing and the host writes a request in
// one go, so a request ends when kIdleEndMs pass without a byte; the request texts and the
// answers are those of the HID side. An answer goes out whole after the model's answer time;
// one request is answered at a time, in order.
//
// Receive may be called from any thread; Send runs on the unit's worker thread ("Dovela GSM
// serial"), which the destructor stops and joins (a Send in progress must return soon after
// the owner asks it to). The model may outlive the unit.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/uDovelaGsmModel.h"

namespace uSerialDovelaGsm {

inline constexpr std::uint32_t kIdleEndMs = 20;

class TSerialDovelaGsm {
 public:
  using TSend = std::function<void(const std::string& bytes)>;

  explicit TSerialDovelaGsm(TSend send,
                            std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model = nullptr);
  ~TSerialDovelaGsm();
  TSerialDovelaGsm(const TSerialDovelaGsm&) = delete;
  TSerialDovelaGsm& operator=(const TSerialDovelaGsm&) = delete;

  // Bytes from the host.
  void Receive(const std::string& bytes);
  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel>& Model() const { return model_; }
  // Requests taken whole so far.
  int Requests() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TRequest {
    std::string Text;
    TClock::time_point EndedAt;
  };

  void EndRequest();  // with mutex_ held
  void Run();

  const TSend send_;
  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::string partial_;          // the request being received
  bool receiving_ = false;       // partial_ has bytes
  TClock::time_point idleEnd_;   // when it counts as ended
  TClock::time_point lastSent_;  // when the previous answer went out
  std::deque<TRequest> requests_;
  int requestCount_ = 0;
  std::thread worker_;
};

}  // namespace uSerialDovelaGsm
