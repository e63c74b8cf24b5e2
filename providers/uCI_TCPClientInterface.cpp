#include "providers/uCI_TCPClientInterface.h"

#include "ci/uConfigString.h"

namespace uCI_TCPClientInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

TCommunicationTCPClientInterface::TCommunicationTCPClientInterface()
    : TCommunicationSockClientInterface("TCommunicationTCPClientInterface") {
  Socket().SetKeepAlive(true, kDefaultKeepAliveTimeMs, kKeepAliveIntervalMs);
  Socket().SetSocketType(uInetSocket::TInetSocketType::TCP);
  Socket().SetPacketQueueCapacity(0);  // received data goes to the buffer only
}

TCommunicationTCPClientInterface::~TCommunicationTCPClientInterface() {
  DetachSocket();
  if (IsOpen()) InternalClose(true);  // directly: no OnClose for an object on its way out
}

uInterfaces::HRESULT TCommunicationTCPClientInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                      void** object) {
  if (iid == ICommunicationTCPClientInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationTCPClientInterface>(this, object);
  return TCommunicationSockClientInterface::QueryInterface(iid, object);
}

bool TCommunicationTCPClientInterface::IsOpen() {
  TReadLock hold(ProviderLock());
  return Socket().IsConnected();
}

bool TCommunicationTCPClientInterface::InternalOpen() {
  TWriteLock hold(ProviderLock());
  ClearSocketError();
  if (Socket().Connect(connectionTimeout_)) return true;
  NoteSocketFailure();
  return false;
}

bool TCommunicationTCPClientInterface::Moves(const uCI_SockClientInterface::TAddressKeys& keys) {
  return (keys.Host && *keys.Host != Socket().GetRemoteHost()) ||
         (keys.Port && *keys.Port != Socket().GetRemotePort());
}

bool TCommunicationTCPClientInterface::InternalSetConfiguration(const std::string& config) {
  TWriteLock hold(ProviderLock());
  if (!TCommunicationSockClientInterface::InternalSetConfiguration(config)) return false;
  try {
    std::int32_t number = 0;
    if (uConfigString::GetConfigInteger(config, "ConnectionTimeout", number))
      connectionTimeout_ = number;
    if (uConfigString::GetConfigInteger(config, "KeepAlive", number))
      Socket().SetKeepAlive(number != 0, number, kKeepAliveIntervalMs);
  } catch (const std::exception&) {
    return false;
  }
  ReopenIfMoved();
  return true;
}

std::string TCommunicationTCPClientInterface::GetConfiguration() {
  TReadLock hold(ProviderLock());
  const int keepAlive = Socket().GetKeepAlive() ? Socket().GetKeepAliveTime() : 0;
  return TCommunicationSockClientInterface::GetConfiguration() +
         ";ConnectionTimeout=" + std::to_string(connectionTimeout_) +
         ";KeepAlive=" + std::to_string(keepAlive);
}

int TCommunicationTCPClientInterface::GetConnectionTimeout() {
  TReadLock hold(ProviderLock());
  return connectionTimeout_;
}

void TCommunicationTCPClientInterface::SetConnectionTimeout(int timeoutMs) {
  TWriteLock hold(ProviderLock());
  connectionTimeout_ = timeoutMs;
}

bool TCommunicationTCPClientInterface::SetKeepAlive(bool enabled, int timeMs, int intervalMs) {
  TWriteLock hold(ProviderLock());
  return Socket().SetKeepAlive(enabled, timeMs, intervalMs);
}

bool TCommunicationTCPClientInterface::GetKeepAlive() {
  TReadLock hold(ProviderLock());
  return Socket().GetKeepAlive();
}

int TCommunicationTCPClientInterface::GetKeepAliveTime() {
  TReadLock hold(ProviderLock());
  return Socket().GetKeepAliveTime();
}

int TCommunicationTCPClientInterface::GetKeepAliveInterval() {
  TReadLock hold(ProviderLock());
  return Socket().GetKeepAliveInterval();
}

}  // namespace uCI_TCPClientInterface
