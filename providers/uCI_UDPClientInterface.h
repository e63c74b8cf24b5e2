#pragma once
// The UDP client provider, "UDP_CLIENT": datagrams to "host":"port" from a socket bound to
// "LocalIP":"LocalPort" (0.0.0.0 and a port the system chooses until set). Open binds; every
// write is one datagram of the whole text (one the system does not send whole is an error).
// Datagrams from any sender are taken, whatever "host" and "port" say, and consecutive ones
// are simply appended in the receive buffer. A new "host" or "port" applies to the next
// datagram without closing; a new local address while open binds again there.

#include <string>

#include "providers/uCI_SockClientInterface.h"

namespace uCI_UDPClientInterface {

class ICommunicationUDPClientInterface
    : public virtual uCI_SockClientInterface::ICommunicationSockClientInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{3B6ED137-C11C-426C-B0F5-9F699CED3577}"};

 protected:
  ~ICommunicationUDPClientInterface() = default;
};

class TCommunicationUDPClientInterface final
    : public uCI_SockClientInterface::TCommunicationSockClientInterface,
      public ICommunicationUDPClientInterface {
 public:
  TCommunicationUDPClientInterface();
  ~TCommunicationUDPClientInterface() override;

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // Provider lock shared; the socket is bound.
  bool IsOpen() override;
  std::string GetProviderName() override { return "UDP_CLIENT"; }

 protected:
  bool InternalOpen() override;
  bool InternalSetConfiguration(const std::string& config) override;
  // Another "LocalIP" or "LocalPort" than the bound socket has.
  bool Moves(const uCI_SockClientInterface::TAddressKeys& keys) override;
};

}  // namespace uCI_UDPClientInterface
