#include "providers/uCI_SockClientInterface.h"

#include <utility>

#include "ci/uConfigString.h"

namespace uCI_SockClientInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

namespace {

std::optional<std::uint16_t> PortKey(const std::string& config, const char* key) {
  std::int32_t number = 0;
  if (!uConfigString::GetConfigInteger(config, key, number)) return std::nullopt;
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(number) & 0xFFFFu);
}

std::optional<std::string> TextKey(const std::string& config, const char* key) {
  std::string text;
  if (!uConfigString::GetConfigString(config, key, text)) return std::nullopt;
  return text;
}

}  // namespace

TAddressKeys ReadAddressKeys(const std::string& config) {
  return {TextKey(config, "host"), PortKey(config, "port"), TextKey(config, "LocalIP"),
          PortKey(config, "LocalPort")};
}

std::string EscapeValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ';' || c == '(' || c == ')' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

TCommunicationSockClientInterface::TCommunicationSockClientInterface(const std::string& className)
    : TCommunicationInternalBufferInterface(className),
      socket_(std::make_unique<uInetSocket::TInetSocket>()) {
  socket_->SetOnDataReceived({this, &TCommunicationSockClientInterface::DataReceived});
  socket_->SetOnSocketClosed({this, &TCommunicationSockClientInterface::SocketClosed});
  socket_->SetOnSocketError({this, &TCommunicationSockClientInterface::SocketError});
}

TCommunicationSockClientInterface::~TCommunicationSockClientInterface() {
  DetachSocket();
  socket_.reset();  // ends the work thread and closes the socket
}

void TCommunicationSockClientInterface::DetachSocket() {
  socket_->SetOnDataReceived({});
  socket_->SetOnSocketClosed({});
  socket_->SetOnSocketError({});
}

uInterfaces::HRESULT TCommunicationSockClientInterface::QueryInterface(
    const uInterfaces::TGUID& iid, void** object) {
  if (iid == ICommunicationSockClientInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationSockClientInterface>(this, object);
  return TCommunicationInternalBufferInterface::QueryInterface(iid, object);
}

// ---- addresses

std::string TCommunicationSockClientInterface::GetHost() {
  TReadLock hold(ProviderLock());
  return socket_->GetRemoteHost();
}

void TCommunicationSockClientInterface::SetHost(const std::string& host) {
  TWriteLock hold(ProviderLock());
  TAddressKeys keys;
  keys.Host = host;
  if (IsOpen() && Moves(keys)) socket_->Close(false);
  socket_->SetRemoteHost(host);
  RememberPeer();
}

std::uint16_t TCommunicationSockClientInterface::GetPort() {
  TReadLock hold(ProviderLock());
  return static_cast<std::uint16_t>(socket_->GetRemotePort());
}

void TCommunicationSockClientInterface::SetPort(std::uint16_t port) {
  TWriteLock hold(ProviderLock());
  TAddressKeys keys;
  keys.Port = port;
  if (IsOpen() && Moves(keys)) socket_->Close(false);
  socket_->SetRemotePort(port);
  RememberPeer();
}

std::string TCommunicationSockClientInterface::GetLocalIP() {
  TReadLock hold(ProviderLock());
  return socket_->GetLocalIP();
}

void TCommunicationSockClientInterface::SetLocalIP(const std::string& ip) {
  TWriteLock hold(ProviderLock());
  TAddressKeys keys;
  keys.LocalIP = ip;
  if (IsOpen() && Moves(keys)) socket_->Close(false);
  socket_->SetLocalIP(ip);
}

std::uint16_t TCommunicationSockClientInterface::GetLocalPort() {
  TReadLock hold(ProviderLock());
  return static_cast<std::uint16_t>(socket_->GetLocalPort());
}

void TCommunicationSockClientInterface::SetLocalPort(std::uint16_t port) {
  TWriteLock hold(ProviderLock());
  TAddressKeys keys;
  keys.LocalPort = port;
  if (IsOpen() && Moves(keys)) socket_->Close(false);
  socket_->SetLocalPort(port);
}

std::string TCommunicationSockClientInterface::Peer() {
  std::lock_guard lock(failureMutex_);
  return peer_;
}

void TCommunicationSockClientInterface::RememberPeer() {
  std::string peer = socket_->GetRemoteHost() + ":" + std::to_string(socket_->GetRemotePort());
  std::lock_guard lock(failureMutex_);
  peer_ = std::move(peer);
}

std::string TCommunicationSockClientInterface::GetConfiguration() {
  TReadLock hold(ProviderLock());
  return TCommunicationInternalBufferInterface::GetConfiguration() +
         ";host=" + EscapeValue(socket_->GetRemoteHost()) +
         ";port=" + std::to_string(socket_->GetRemotePort()) +
         ";LocalIP=" + EscapeValue(socket_->GetLocalIP()) +
         ";LocalPort=" + std::to_string(socket_->GetLocalPort());
}

std::string TCommunicationSockClientInterface::GetAddress() {
  TReadLock hold(ProviderLock());
  return TCommunicationInternalBufferInterface::GetAddress() +
         ";host=" + EscapeValue(socket_->GetRemoteHost()) +
         ";port=" + std::to_string(socket_->GetRemotePort());
}

bool TCommunicationSockClientInterface::InternalSetConfiguration(const std::string& config) {
  TWriteLock hold(ProviderLock());
  try {
    const TAddressKeys keys = ReadAddressKeys(config);
    // Closed here, before the new settings are stored: a close left to the work thread
    // would let an Open that comes first find the old connection still up.
    if (IsOpen() && Moves(keys)) {
      socket_->Close(false);
      moved_ = true;
    }
    if (keys.Host) socket_->SetRemoteHost(*keys.Host);
    if (keys.Port) socket_->SetRemotePort(*keys.Port);
    if (keys.LocalIP) socket_->SetLocalIP(*keys.LocalIP);
    if (keys.LocalPort) socket_->SetLocalPort(*keys.LocalPort);
    RememberPeer();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void TCommunicationSockClientInterface::ReopenIfMoved() {
  if (!std::exchange(moved_, false)) return;
  if (!InternalOpen()) DoError("Open", {}, 0);  // carries the reason InternalOpen noted
}

// ---- transport

bool TCommunicationSockClientInterface::InternalClose(bool force) {
  TWriteLock hold(ProviderLock());
  return socket_->Close(force);
}

std::int32_t TCommunicationSockClientInterface::InternalWriteString(const std::string& text) {
  ClearSocketError();
  if (socket_->Send(text)) return static_cast<std::int32_t>(text.size());
  const std::int32_t code = uWinSock::SockGetLastError();
  DoError("InternalWriteString", {text, Reason(uWinSock::SockGetLastErrorText())}, code);
  return 0;
}

// ---- failures

std::string TCommunicationSockClientInterface::Reason(const std::string& text) {
  const std::string peer = Peer();
  if (text.empty()) return peer + ": no reason given";
  // The connect and send texts of the socket layer already name the address.
  if (text.find(peer) != std::string::npos) return text;
  return peer + ": " + text;
}

void TCommunicationSockClientInterface::ClearSocketError() {
  uWinSock::SockSetLastError(0, {});
}

void TCommunicationSockClientInterface::NoteSocketFailure() {
  const std::int32_t code = uWinSock::SockGetLastError();
  std::string reason = Reason(uWinSock::SockGetLastErrorText());
  std::lock_guard lock(failureMutex_);
  failure_ = std::move(reason);
  failureCode_ = code;
}

void TCommunicationSockClientInterface::DoError(const std::string& name,
                                                const std::vector<std::string>& args,
                                                std::int32_t code) {
  std::string failure;
  std::int32_t failureCode = 0;
  if (name == "Open" || name == "SetConfiguration") {
    std::lock_guard lock(failureMutex_);
    failure.swap(failure_);
    failureCode = std::exchange(failureCode_, 0);
  }
  if (failure.empty()) {
    TCommunicationInternalBufferInterface::DoError(name, args, code);
    return;
  }
  std::vector<std::string> withReason = args;
  withReason.push_back(std::move(failure));
  TCommunicationInternalBufferInterface::DoError(name, withReason, code != 0 ? code : failureCode);
}

// ---- the socket's events

void TCommunicationSockClientInterface::DataReceived(uInetSocket::TInetSocketCustom* /*sender*/,
                                                     const uInetSocket::TInetSocketPacket& packet) {
  DoReadString(packet.Data);  // the sender's address is not looked at
}

void TCommunicationSockClientInterface::SocketClosed(uInetSocket::TInetSocketCustom* /*sender*/) {
  // The provider closes a socket it moves itself, so this is a connection that ended
  // (the peer closed or reset it, or a keep-alive probe found it dead). On the work thread
  // the last socket error is the one that ended it.
  const std::int32_t code = uWinSock::SockGetLastError();
  DoError(
      "SocketClosed",
      {Reason(code == 0 ? std::string("the connection ended") : uWinSock::SockGetLastErrorText()) +
       "; the connection was closed"},
      code);
}

void TCommunicationSockClientInterface::SocketError(uInetSocket::TInetSocketCustom* /*sender*/,
                                                    const std::string& methodName,
                                                    const std::string& message,
                                                    const std::string& exceptionClass) {
  DoError("SocketError", {methodName, message, exceptionClass}, 0);
}

}  // namespace uCI_SockClientInterface
