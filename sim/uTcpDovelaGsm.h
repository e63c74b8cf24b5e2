#pragma once
// A Dovela GSM unit on a loopback TCP port: the host connects with the TCP_CLIENT provider
// ("provider=TCP_CLIENT;host=127.0.0.1;port=" + Port()) and exchanges the same request texts
// and answers as over HID. A TCP stream has no framing, so each connection is served as a
// serial line (uSerialDovelaGsm): a request ends after kIdleEndMs without a byte. All
// connections share one model.
//
// A thread ("Dovela GSM tcp") waits in poll(2) on the listening socket, the connections and a
// wake-up descriptor; it accepts at most kMaxConnections at a time (a further one is closed
// at once) and ends a connection when the host closes it. Answers are written on each
// connection's unit thread. The destructor wakes and joins everything.

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ci/uFileUtils.h"
#include "providers/uSerialTty.h"
#include "sim/uSerialDovelaGsm.h"

namespace uTcpDovelaGsm {

inline constexpr int kMaxConnections = 8;

class TTcpDovelaGsm {
 public:
  using TClock = std::chrono::steady_clock;
  // When the unit read the last piece of a request and when its answer had gone out.
  struct TExchangeTimes {
    TClock::time_point RequestAt;
    TClock::time_point AnsweredAt;
  };

  // Listens on 127.0.0.1:port (0: a port the system chooses); raises std::system_error when
  // it cannot.
  explicit TTcpDovelaGsm(std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model = nullptr,
                         std::uint16_t port = 0);
  ~TTcpDovelaGsm();
  TTcpDovelaGsm(const TTcpDovelaGsm&) = delete;
  TTcpDovelaGsm& operator=(const TTcpDovelaGsm&) = delete;

  std::uint16_t Port() const { return port_; }
  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel>& Model() const { return model_; }
  // Connections accepted so far, and those open now.
  int Accepted() const;
  int Connected() const;
  // The latest exchange on any connection.
  TExchangeTimes LastExchange() const;

 private:
  struct TConnection;
  void Loop();
  void Accept();
  // Writes all of bytes, waiting for room; gives up when the connection or the unit ends.
  void Send(TConnection& connection, const std::string& bytes);

  const std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model_;
  uFileUtils::TFd listener_;
  std::uint16_t port_ = 0;
  uSerialTty::TWakeFd stop_;
  std::list<std::unique_ptr<TConnection>> connections_;  // only on the loop thread
  mutable std::mutex mutex_;                             // the counters and times below
  int accepted_ = 0;
  int connected_ = 0;
  TExchangeTimes last_;
  TClock::time_point lastRead_;
  std::thread loop_;
};

}  // namespace uTcpDovelaGsm
