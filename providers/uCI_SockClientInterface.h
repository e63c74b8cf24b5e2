#pragma once
// The base the TCP and UDP client providers share: one socket object (uInetSocket) with its
// work thread, the address keys, and the receive path into the provider's buffer. Text goes
// to the socket unchanged and every received byte goes into the buffer unchanged; there is
// no framing.
//
// Keys (matched exactly): "host" (remote dotted IPv4 address, never resolved), "port" (its
// low 16 bits), "LocalIP", "LocalPort" (low 16 bits). A key that is missing or does not
// convert leaves its setting as it was.
//
// A configuration that moves an open provider to another peer (another remote address for
// TCP, another local address for UDP) closes the old socket before the new settings are
// stored and then opens again, so the provider never goes on talking to the old peer; the
// new peer failing to answer is reported as "Open".
//
// Failures carry their reason: "Open", "InternalWriteString" and the lost connection
// ("SocketClosed") report an argument that names the peer and the reason, with the errno
// as code.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "providers/uCI_InternalBufferCommunicationInterface.h"
#include "socket/uInetSocket.h"

namespace uCI_SockClientInterface {

class ICommunicationSockClientInterface
    : public virtual uCI_CommunicationInterfaceUtils::ICommunicationInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{05EC25D3-513A-41B8-8358-653F9ABE5F05}"};

  virtual std::string GetHost() = 0;
  virtual void SetHost(const std::string& host) = 0;
  virtual std::uint16_t GetPort() = 0;
  virtual void SetPort(std::uint16_t port) = 0;
  virtual std::string GetLocalIP() = 0;
  virtual void SetLocalIP(const std::string& ip) = 0;
  virtual std::uint16_t GetLocalPort() = 0;
  virtual void SetLocalPort(std::uint16_t port) = 0;

 protected:
  ~ICommunicationSockClientInterface() = default;
};

// The address keys of one configuration string; a key that is missing or does not convert
// stays empty.
struct TAddressKeys {
  std::optional<std::string> Host;
  std::optional<std::uint16_t> Port;
  std::optional<std::string> LocalIP;
  std::optional<std::uint16_t> LocalPort;
};
TAddressKeys ReadAddressKeys(const std::string& config);

// A value as the configuration string reads it back unchanged.
std::string EscapeValue(const std::string& value);

class TCommunicationSockClientInterface
    : public uCI_InternalBufferCommunicationInterface::TCommunicationInternalBufferInterface,
      public virtual ICommunicationSockClientInterface {
 public:
  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // Getters under the provider lock shared, setters exclusive. A changed address of a socket
  // in use makes its work thread close it at its next pass; nothing reopens it.
  std::string GetHost() override;
  void SetHost(const std::string& host) override;
  std::uint16_t GetPort() override;
  void SetPort(std::uint16_t port) override;
  std::string GetLocalIP() override;
  void SetLocalIP(const std::string& ip) override;
  std::uint16_t GetLocalPort() override;
  void SetLocalPort(std::uint16_t port) override;

  // "provider=...;host=...;port=...;LocalIP=...;LocalPort=...".
  std::string GetConfiguration() override;
  // "provider=...;host=...;port=...".
  std::string GetAddress() override;
  void ClearOutput() override {}  // there is no output queue

  // The socket object, for what the provider interface does not reach (tests look at the
  // port a UDP socket was bound to).
  uInetSocket::TInetSocket& Socket() noexcept { return *socket_; }

 protected:
  explicit TCommunicationSockClientInterface(const std::string& className);
  ~TCommunicationSockClientInterface() override;

  // Empties the socket's handlers, waiting for one in progress. The final classes call it
  // first in their destructors, so no event reaches an object that is being taken apart.
  void DetachSocket();

  bool InternalClose(bool force) override;
  // The socket's Send; on failure an "InternalWriteString" error with the text, the peer and
  // the reason, errno as code, and 0.
  std::int32_t InternalWriteString(const std::string& text) override;
  // The address keys, under the provider lock exclusive; false when a setter raised. A
  // change that Moves() the open provider closes the socket first and asks ReopenIfMoved to
  // open again.
  bool InternalSetConfiguration(const std::string& config) override;
  // Whether the keys take an open socket to another peer.
  virtual bool Moves(const TAddressKeys& keys) = 0;
  // After the whole configuration is stored: opens again what a move closed; a failure is
  // reported as "Open" with its reason. Called with the provider lock held exclusively.
  void ReopenIfMoved();

  // "host:port" of the remote peer, as configured; kept apart from the socket, whose getters
  // its work thread may not call.
  std::string Peer();
  void RememberPeer();
  // The calling thread's last socket error as an error argument and code for later: the
  // next "Open" or "SetConfiguration" error event carries them.
  void NoteSocketFailure();
  // Forgets the calling thread's last socket error, so a failure without one shows as such.
  static void ClearSocketError();
  void DoError(const std::string& name, const std::vector<std::string>& args,
               std::int32_t code) override;

 private:
  // The socket's events, on its work thread (SocketClosed also on an owner's thread that
  // opens while a close is still pending).
  void DataReceived(uInetSocket::TInetSocketCustom* sender,
                    const uInetSocket::TInetSocketPacket& packet);
  void SocketClosed(uInetSocket::TInetSocketCustom* sender);
  void SocketError(uInetSocket::TInetSocketCustom* sender, const std::string& methodName,
                   const std::string& message, const std::string& exceptionClass);
  // The peer and the reason in one text.
  std::string Reason(const std::string& text);

  std::unique_ptr<uInetSocket::TInetSocket> socket_;
  bool moved_ = false;       // under the provider lock
  std::mutex failureMutex_;  // noted on an owner's thread, taken on the one that reports
  std::string peer_ = ":0";
  std::string failure_;
  std::int32_t failureCode_ = 0;
};

}  // namespace uCI_SockClientInterface
