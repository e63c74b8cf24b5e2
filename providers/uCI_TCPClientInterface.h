#pragma once
// The TCP client provider, "TCP_CLIENT": a connection to a TCP server at "host":"port",
// made within "ConnectionTimeout" ms (5000; negative: as long as the system's connect takes),
// with keep-alive ("KeepAlive": 0 switches it off, any other value v sets the idle time to v
// ms with probes every 1000 ms; on with 5000/1000 until set). "LocalIP" and "LocalPort" are
// stored and reported only: the provider never binds.
//
// Open while the connection is up does nothing; after a connection ended (the peer closed or
// reset it, a keep-alive probe failed: an error "SocketClosed" says why) the next Open
// connects again.

#include <cstdint>
#include <string>

#include "providers/uCI_SockClientInterface.h"

namespace uCI_TCPClientInterface {

inline constexpr int kDefaultConnectionTimeoutMs = 5000;
inline constexpr int kDefaultKeepAliveTimeMs = 5000;
inline constexpr int kKeepAliveIntervalMs = 1000;

class ICommunicationTCPClientInterface
    : public virtual uCI_SockClientInterface::ICommunicationSockClientInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{D6DBAA59-C3A9-475F-A68F-AC1D2B8E0159}"};

  virtual int GetConnectionTimeout() = 0;
  virtual void SetConnectionTimeout(int timeoutMs) = 0;
  // Applied at once when connected, otherwise kept for the next connect.
  virtual bool SetKeepAlive(bool enabled, int timeMs, int intervalMs) = 0;
  virtual bool GetKeepAlive() = 0;
  virtual int GetKeepAliveTime() = 0;
  virtual int GetKeepAliveInterval() = 0;

 protected:
  ~ICommunicationTCPClientInterface() = default;
};

class TCommunicationTCPClientInterface final
    : public uCI_SockClientInterface::TCommunicationSockClientInterface,
      public ICommunicationTCPClientInterface {
 public:
  TCommunicationTCPClientInterface();
  ~TCommunicationTCPClientInterface() override;

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // Provider lock shared; the socket is connected.
  bool IsOpen() override;
  std::string GetProviderName() override { return "TCP_CLIENT"; }
  // The socket base's text, then ";ConnectionTimeout=...;KeepAlive=..." (the keep-alive time,
  // 0 when off), so the text read back gives the same settings.
  std::string GetConfiguration() override;

  int GetConnectionTimeout() override;
  void SetConnectionTimeout(int timeoutMs) override;
  bool SetKeepAlive(bool enabled, int timeMs, int intervalMs) override;
  bool GetKeepAlive() override;
  int GetKeepAliveTime() override;
  int GetKeepAliveInterval() override;

 protected:
  bool InternalOpen() override;
  bool InternalSetConfiguration(const std::string& config) override;
  // Another "host" or "port" than the connection has.
  bool Moves(const uCI_SockClientInterface::TAddressKeys& keys) override;

 private:
  int connectionTimeout_ = kDefaultConnectionTimeoutMs;  // under the provider lock
};

}  // namespace uCI_TCPClientInterface
