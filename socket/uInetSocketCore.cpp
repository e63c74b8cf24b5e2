#include "socket/uInetSocketCore.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace uInetSocketCore {

using uWinSock::kInvalidSocket;
using uWinSock::SockSetLastError;

struct TInetSocketCore::THandle {
  explicit THandle(TSocket s) noexcept : fd(s) {}
  ~THandle() {
    if (const TSocket s = fd.load(); s >= 0) ::close(s);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  // Atomic: the release below takes it while a holder that has just let go of its copy may
  // have read it last, and the count of holders it checks orders nothing.
  std::atomic<TSocket> fd;
  std::atomic<bool> released{false};  // ends a connect on it (see SockConnect)
};

namespace {

// Errors after which a stream delivers nothing more.
bool StreamBroken(int err) {
  switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return true;
    default:
      return false;
  }
}

bool NoSocket(const char* what) {
  SockSetLastError(EBADF, std::string(what) + ": there is no socket");
  return false;
}

}  // namespace

TSocket TInetSocketCore::THold::Socket() const noexcept {
  return handle_ ? handle_->fd.load() : kInvalidSocket;
}

TInetSocketCore::~TInetSocketCore() {
  std::lock_guard lock(mutex_);
  if (handle_) ReleaseLocked();
}

bool TInetSocketCore::IsAllocated() const {
  std::lock_guard lock(mutex_);
  return handle_ != nullptr;
}

bool TInetSocketCore::Allocate(TInetSocketType type) {
  std::lock_guard lock(mutex_);
  if (handle_) ReleaseLocked();
  const TSocket s = uWinSock::SockCreate(type);
  if (s != kInvalidSocket) {
    handle_ = std::make_shared<THandle>(s);
    socketType_ = type;
  }
  return handle_ != nullptr;
}

bool TInetSocketCore::Release() {
  std::lock_guard lock(mutex_);
  return ReleaseLocked();
}

bool TInetSocketCore::ReleaseLocked() {
  std::shared_ptr<THandle> handle = std::move(handle_);
  handle_.reset();
  bound_ = false;
  connected_ = false;
  connectionLost_ = false;
  if (!handle) return NoSocket("close");
  handle->released.store(true);
  // Copies are made only under mutex_, so a count of 1 means nobody else can reach it.
  if (handle.use_count() > 1) {
    // Another thread is inside a call on it: the shutdown ends a blocked connect or wait,
    // and the last holder closes the descriptor.
    ::shutdown(handle->fd.load(), SHUT_RDWR);
    return true;
  }
  return uWinSock::SockClose(handle->fd.exchange(kInvalidSocket)) == 0;
}

bool TInetSocketCore::Shutdown(bool stopSend, bool stopReceive) {
  if (!stopSend && !stopReceive) return true;
  const THold hold = Hold();
  if (!hold) return NoSocket("shutdown");
  const int how = stopSend && stopReceive ? SHUT_RDWR : stopSend ? SHUT_WR : SHUT_RD;
  return uWinSock::SockShutdown(hold.Socket(), how) == 0;
}

bool TInetSocketCore::StillCurrent(const THold& hold) const {
  if (handle_ == hold.handle_) return true;
  SockSetLastError(ECONNABORTED, "the socket was closed meanwhile");
  return false;
}

bool TInetSocketCore::Bind() {
  return AddressCall(
      "bind",
      [](TSocket s, const std::string& ip, int port, const std::atomic<bool>*) {
        return uWinSock::SockBind(s, ip, port);
      },
      LocalIP, LocalPort, bound_);
}

bool TInetSocketCore::Connect() {
  return AddressCall("connect", uWinSock::SockConnect, RemoteHost, RemotePort, connected_);
}

bool TInetSocketCore::AddressCall(const char* what, TAddressCall call, const std::string& ip,
                                  int port, bool& flag) {
  const THold hold = Hold();
  bool ok = false;
  if (!hold) {
    NoSocket(what);
  } else if (call(hold.Socket(), ip, port, &hold.handle_->released) == 0) {
    std::string localIp;
    int localPort = 0;
    ok = uWinSock::SockGetLocalName(hold.Socket(), localIp, localPort);
  }
  std::lock_guard lock(mutex_);
  flag = ok && StillCurrent(hold);
  return flag;
}

bool TInetSocketCore::Send(const std::string& data) {
  const THold hold = Hold();
  if (!hold) return NoSocket("send");
  return uWinSock::SockSendString(hold.Socket(), data) == static_cast<long>(data.size());
}

bool TInetSocketCore::SendTo(const std::string& data, const std::string& ip, int port) {
  const THold hold = Hold();
  if (!hold) return NoSocket("send");
  return uWinSock::SockSendStringTo(hold.Socket(), data, ip, port) ==
         static_cast<long>(data.size());
}

bool TInetSocketCore::Receive(std::string& data) {
  const THold hold = Hold();
  if (!hold) {
    data.clear();
    return NoSocket("receive");
  }
  const long result = uWinSock::SockReceiveString(hold.Socket(), data);
  if (result >= 0) return true;
  if (result == uWinSock::kReceivePeerClosed || StreamBroken(uWinSock::SockGetLastError())) {
    std::lock_guard lock(mutex_);
    if (handle_ == hold.handle_) connectionLost_ = true;
  }
  return false;
}

bool TInetSocketCore::ReceiveFrom(std::string& data, std::string& ip, int& port) {
  const THold hold = Hold();
  if (!hold) {
    data.clear();
    ip.clear();
    port = 0;
    return NoSocket("receive");
  }
  return uWinSock::SockReceiveStringFrom(hold.Socket(), data, ip, port) >= 0;
}

bool TInetSocketCore::SetKeepAlive(bool enabled, int timeMs, int intervalMs) {
  const THold hold = Hold();
  if (!hold) return NoSocket("keep-alive");
  return uWinSock::SockSetKeepAlive(hold.Socket(), enabled, timeMs, intervalMs) == 0;
}

bool TInetSocketCore::LocalName(std::string& ip, int& port) const {
  const THold hold = Hold();
  if (!hold) {
    ip.clear();
    port = 0;
    return NoSocket("getsockname");
  }
  return uWinSock::SockGetLocalName(hold.Socket(), ip, port);
}

TInetSocketCore::THold TInetSocketCore::Hold() const {
  std::lock_guard lock(mutex_);
  return THold(handle_);
}

TSocket TInetSocketCore::Socket() const {
  std::lock_guard lock(mutex_);
  return handle_ ? handle_->fd.load() : kInvalidSocket;
}

bool TInetSocketCore::Bound() const {
  std::lock_guard lock(mutex_);
  return bound_;
}

bool TInetSocketCore::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

bool TInetSocketCore::ConnectionLost() const {
  std::lock_guard lock(mutex_);
  return connectionLost_;
}

TInetSocketType TInetSocketCore::SocketType() const {
  std::lock_guard lock(mutex_);
  return socketType_;
}

}  // namespace uInetSocketCore
