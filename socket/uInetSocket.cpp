#include "socket/uInetSocket.h"

#include <cstdio>
#include <cstdlib>

namespace uInetSocket {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

// ---- TInetSocketCustom

TInetSocketCustom::TInetSocketCustom(std::string className, TEventsPtr events)
    : lock_(std::move(className)),
      workThread_(std::make_unique<TInetSocketWorkThread>(this, std::move(events))) {
  workThread_->Start();
}

TInetSocketCustom::~TInetSocketCustom() {
  workThread_->Terminate();
  workThread_->Wake();
  if (workThread_->IsCurrent()) {
    // A destructor cannot raise, and the thread cannot wait for itself.
    std::fprintf(stderr, "%s (TInetSocket destroyed by its own work thread)\n",
                 EInetSocketAccessByWorkThreadDenied::kMessage);
    std::abort();
  }
  {
    TWriteLock hold(lock_);
    workThread_->Start();  // a thread that never ran has nothing to wait for after this
    workThread_->WaitFor();
  }
  workThread_.reset();
}

void TInetSocketCustom::CheckNotWorkThread() const {
  if (workThread_->IsCurrent()) throw EInetSocketAccessByWorkThreadDenied();
}

bool TInetSocketCustom::Close(bool force) {
  if (force) return Engine().Close(true);
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  return Engine().Close(false);
}

bool TInetSocketCustom::IsBound() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().IsBound();
}

bool TInetSocketCustom::Bind() {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  PrepareLocked();
  if (Engine().IsBound()) return true;
  const bool bound = Engine().Bind();
  if (bound) workThread_->Wake();  // so that its wait includes the socket from now on
  return bound;
}

bool TInetSocketCustom::IsConnected() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().IsConnected();
}

bool TInetSocketCustom::Connect(int timeoutMs) {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  PrepareLocked();
  const bool connected = Engine().Connect(timeoutMs);
  if (connected) {
    workThread_->RestartIdle();  // the silence a keep-alive probe waits for starts now
    workThread_->Wake();
  }
  return connected;
}

bool TInetSocketCustom::Send(const std::string& data) {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  const bool sent = Engine().Send(data);
  if (sent) workThread_->RestartIdle();
  return sent;
}

void TInetSocketCustom::Prepare() {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  PrepareLocked();
}

void TInetSocketCustom::PrepareLocked() {
  workThread_->Prepare(socketType_);
  SocketPrepared();
}

bool TInetSocketCustom::SetKeepAlive(bool enabled, int timeMs, int intervalMs) {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  return Engine().SetKeepAlive(enabled, timeMs, intervalMs);
}

bool TInetSocketCustom::GetKeepAlive() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetKeepAlive();
}

int TInetSocketCustom::GetKeepAliveTime() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetKeepAliveTime();
}

int TInetSocketCustom::GetKeepAliveInterval() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetKeepAliveInterval();
}

void TInetSocketCustom::RequestReset(TResetKind kind) {
  if (kind == TResetKind::Always || (kind == TResetKind::WhenBound && Engine().IsBound()) ||
      (kind == TResetKind::WhenConnected && Engine().IsConnected()))
    workThread_->RequestClose();
}

template <class V, class S>
void TInetSocketCustom::ChangeSetting(const V& value, V (TEngine::*get)(), void (TEngine::*set)(S),
                                      TResetKind kind) {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  TEngine& engine = Engine();
  TWriteLock engineHold(engine.Lock());
  if ((engine.*get)() == value) return;
  (engine.*set)(value);
  RequestReset(kind);
}

void TInetSocketCustom::SetLocalIP(const std::string& ip) {
  ChangeSetting(ip, &TEngine::GetLocalIP, &TEngine::SetLocalIP, TResetKind::WhenBound);
}

void TInetSocketCustom::SetLocalPort(int port) {
  ChangeSetting(port, &TEngine::GetLocalPort, &TEngine::SetLocalPort, TResetKind::WhenBound);
}

void TInetSocketCustom::SetRemoteHost(const std::string& host) {
  ChangeSetting(host, &TEngine::GetRemoteHost, &TEngine::SetRemoteHost, TResetKind::WhenConnected);
}

void TInetSocketCustom::SetRemotePort(int port) {
  ChangeSetting(port, &TEngine::GetRemotePort, &TEngine::SetRemotePort, TResetKind::WhenConnected);
}

void TInetSocketCustom::SetSocketType(TInetSocketType type) {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  if (socketType_ == type) return;
  socketType_ = type;
  RequestReset(TResetKind::Always);
}

TInetSocketType TInetSocketCustom::GetSocketType() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return socketType_;
}

std::string TInetSocketCustom::GetLocalIP() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetLocalIP();
}

int TInetSocketCustom::GetLocalPort() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetLocalPort();
}

std::string TInetSocketCustom::GetRemoteHost() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetRemoteHost();
}

int TInetSocketCustom::GetRemotePort() {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetRemotePort();
}

bool TInetSocketCustom::GetLocalName(std::string& ip, int& port) {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return Engine().GetLocalName(ip, port);
}

void TInetSocketCustom::SetPacketQueueCapacity(int capacity) {
  CheckNotWorkThread();
  TWriteLock hold(lock_);
  workThread_->SetPacketQueueCapacity(capacity);
}

bool TInetSocketCustom::PopPacket(TInetSocketPacket& packet) {
  CheckNotWorkThread();
  TReadLock hold(lock_);
  return workThread_->Queue().Pop(packet);
}

// ---- TInetSocketEventsSync

TInetSocketEventsSync::TInetSocketEventsSync() : lock_("TInetSocketEventsSync") {}

void TInetSocketEventsSync::SetOnDataReceived(const TDataReceivedHandler& handler) {
  TWriteLock hold(lock_);
  onDataReceived_ = handler;
}

TDataReceivedHandler TInetSocketEventsSync::GetOnDataReceived() {
  TReadLock hold(lock_);
  return onDataReceived_;
}

void TInetSocketEventsSync::SetOnSocketClosed(const TSocketClosedHandler& handler) {
  TWriteLock hold(lock_);
  onSocketClosed_ = handler;
}

TSocketClosedHandler TInetSocketEventsSync::GetOnSocketClosed() {
  TReadLock hold(lock_);
  return onSocketClosed_;
}

void TInetSocketEventsSync::SetOnSocketError(const TSocketErrorHandler& handler) {
  TWriteLock hold(lock_);
  onSocketError_ = handler;
}

TSocketErrorHandler TInetSocketEventsSync::GetOnSocketError() {
  TReadLock hold(lock_);
  return onSocketError_;
}

void TInetSocketEventsSync::DataReceived(TInetSocketCustom* sender,
                                         const TInetSocketPacket& packet) {
  TReadLock hold(lock_);
  if (onDataReceived_.IsComplete()) onDataReceived_(sender, packet);
}

void TInetSocketEventsSync::SocketClosed(TInetSocketCustom* sender) {
  TReadLock hold(lock_);
  if (onSocketClosed_.IsComplete()) onSocketClosed_(sender);
}

void TInetSocketEventsSync::SocketError(TInetSocketCustom* sender, const std::string& methodName,
                                        const std::string& message,
                                        const std::string& exceptionClass) {
  TReadLock hold(lock_);
  if (onSocketError_.IsComplete()) onSocketError_(sender, methodName, message, exceptionClass);
}

// ---- TInetSocket

TInetSocket::TInetSocket() : TInetSocket(CreateEvents()) {}

TInetSocket::TInetSocket(const uInterfaces::TInterfacePtr<TInetSocketEventsSync>& events)
    : TInetSocketCustom("TInetSocket", TEventsPtr(events.Get())), eventsSync_(events.Get()) {}

TInetSocket::~TInetSocket() {
  eventsSync_.Reset();  // the work thread keeps its own reference until it ends
}

uInterfaces::TInterfacePtr<TInetSocketEventsSync> TInetSocket::CreateEvents() {
  return uMyInterfacedObject::Create<TInetSocketEventsSync>();
}

void TInetSocket::SetOnDataReceived(const TDataReceivedHandler& handler) {
  CheckNotWorkThread();
  TWriteLock hold(ObjectLock());
  eventsSync_->SetOnDataReceived(handler);
}

void TInetSocket::SetOnSocketClosed(const TSocketClosedHandler& handler) {
  CheckNotWorkThread();
  TWriteLock hold(ObjectLock());
  eventsSync_->SetOnSocketClosed(handler);
}

void TInetSocket::SetOnSocketError(const TSocketErrorHandler& handler) {
  CheckNotWorkThread();
  TWriteLock hold(ObjectLock());
  eventsSync_->SetOnSocketError(handler);
}

}  // namespace uInetSocket
