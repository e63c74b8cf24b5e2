#include "providers/uCI_UDPClientInterface.h"

namespace uCI_UDPClientInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

TCommunicationUDPClientInterface::TCommunicationUDPClientInterface()
    : TCommunicationSockClientInterface("TCommunicationUDPClientInterface") {
  Socket().SetSocketType(uInetSocket::TInetSocketType::UDP);
  Socket().SetPacketQueueCapacity(0);  // received data goes to the buffer only
}

TCommunicationUDPClientInterface::~TCommunicationUDPClientInterface() {
  DetachSocket();
  if (IsOpen()) InternalClose(true);  // directly: no OnClose for an object on its way out
}

uInterfaces::HRESULT TCommunicationUDPClientInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                      void** object) {
  if (iid == ICommunicationUDPClientInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationUDPClientInterface>(this, object);
  return TCommunicationSockClientInterface::QueryInterface(iid, object);
}

bool TCommunicationUDPClientInterface::IsOpen() {
  TReadLock hold(ProviderLock());
  return Socket().IsBound();
}

bool TCommunicationUDPClientInterface::InternalOpen() {
  TWriteLock hold(ProviderLock());
  ClearSocketError();
  if (Socket().Bind()) return true;
  NoteSocketFailure();
  return false;
}

bool TCommunicationUDPClientInterface::Moves(const uCI_SockClientInterface::TAddressKeys& keys) {
  return (keys.LocalIP && *keys.LocalIP != Socket().GetLocalIP()) ||
         (keys.LocalPort && *keys.LocalPort != Socket().GetLocalPort());
}

bool TCommunicationUDPClientInterface::InternalSetConfiguration(const std::string& config) {
  TWriteLock hold(ProviderLock());
  if (!TCommunicationSockClientInterface::InternalSetConfiguration(config)) return false;
  ReopenIfMoved();
  return true;
}

}  // namespace uCI_UDPClientInterface
