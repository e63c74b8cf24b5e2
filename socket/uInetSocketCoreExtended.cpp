#include "socket/uInetSocketCoreExtended.h"

#include <cerrno>
#include <system_error>
#include <thread>

namespace uInetSocketCoreExtended {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;
using uWinSock::SockGetLastError;
using uWinSock::SockGetLastErrorText;
using uWinSock::SockSetLastError;

// ---- TInetSocketConnectThread

TInetSocketConnectThread::TInetSocketConnectThread(TInetSocketCore& core) : core_(core) {
  Start();  // the class is final: nothing of it is still being built
}

TInetSocketConnectThread::~TInetSocketConnectThread() {
  TerminateAndWait();
}

void TInetSocketConnectThread::Execute() {
  SetName(kConnectThreadName);
  bool result = false;
  int error = 0;
  std::string errorText;
  try {
    result = core_.Connect();
    if (!result) {
      error = SockGetLastError();
      errorText = SockGetLastErrorText();
    }
  } catch (const std::exception& e) {
    error = ENOMEM;
    errorText = std::string("connect: ") + e.what();
  }
  std::lock_guard lock(mutex_);
  connectResult_ = result;
  connectError_ = error;
  connectErrorText_ = std::move(errorText);
  running_ = false;  // last, as the waiting caller reads it first
  done_.notify_all();
}

bool TInetSocketConnectThread::Running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool TInetSocketConnectThread::ConnectResult() const {
  std::lock_guard lock(mutex_);
  return connectResult_;
}

int TInetSocketConnectThread::ConnectError() const {
  std::lock_guard lock(mutex_);
  return connectError_;
}

std::string TInetSocketConnectThread::ConnectErrorText() const {
  std::lock_guard lock(mutex_);
  return connectErrorText_;
}

bool TInetSocketConnectThread::WaitUntilDone(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running_; });
}

// ---- TInetSocketCoreExtended

TInetSocketCoreExtended::TInetSocketCoreExtended() : lock_("TInetSocketCoreExtended") {}

bool TInetSocketCoreExtended::IsAllocated() {
  TReadLock hold(lock_);
  return core_.IsAllocated();
}

bool TInetSocketCoreExtended::Allocate(TInetSocketType type) {
  TWriteLock hold(lock_);
  std::lock_guard create(createLock_);
  return core_.Allocate(type);
}

bool TInetSocketCoreExtended::Close(bool graceful) {
  if (!graceful) {
    TWriteLock hold(lock_);
    return core_.Release();
  }
  closingCount_.fetch_add(1);
  bool result = false;
  {
    std::unique_lock send(sendLock_, std::try_to_lock);
    // Polled with try_lock: a timed lock (pthread_mutex_clocklock) is invisible to
    // ThreadSanitizer, which then reports every later unlock as wrong.
    const auto deadline = std::chrono::steady_clock::now() + kCloseSendWait;
    while (!send.owns_lock() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      send.try_lock();
    }
    if (!send.owns_lock()) {
      core_.Shutdown(true, true);  // ends a send that waits for a peer that takes nothing
      send.lock();
    }
    std::lock_guard receive(receiveLock_);
    std::lock_guard create(createLock_);
    core_.Shutdown(true, true);
    result = core_.Release();
  }
  // Taking the lock here waits for a Connect that the close has cut short. Unchecked, so a
  // thread that holds the lock shared (an event handler on the work thread) may close too.
  lock_.BeginWriteEx(false);
  closingCount_.fetch_sub(1);
  lock_.EndWrite();
  return result;
}

bool TInetSocketCoreExtended::Bind() {
  TWriteLock hold(lock_);
  return core_.Bind();
}

bool TInetSocketCoreExtended::Connect(int timeoutMs) {
  TWriteLock hold(lock_);
  if (core_.Connected()) return true;
  if (!core_.IsAllocated()) {
    SockSetLastError(EBADF, "connect: there is no socket");
    return false;
  }
  if (closingCount_.load() > 0) {
    SockSetLastError(ECONNABORTED, "connect: the socket is being closed");
    return false;
  }
  const bool connected =
      timeoutMs < 0 ? core_.Connect() : ConnectWithin(static_cast<std::uint32_t>(timeoutMs));
  if (connected && !core_.SetKeepAlive(keepAlive_, keepAliveTime_, keepAliveInterval_))
    keepAlive_ = false;
  return connected;
}

bool TInetSocketCoreExtended::ConnectWithin(std::uint32_t timeoutMs) {
  try {
    TInetSocketConnectThread thread(core_);
    if (!thread.WaitUntilDone(timeoutMs)) {
      // Closing the socket ends the blocked connect; the thread's destructor waits for it.
      core_.Shutdown(true, false);
      core_.Release();
      SockSetLastError(uWinSock::kErrorTimedOut,
                       "connect to " + core_.RemoteHost + ":" + std::to_string(core_.RemotePort) +
                           ": no answer within " + std::to_string(timeoutMs) + " ms");
      return false;
    }
    SockSetLastError(thread.ConnectError(), thread.ConnectErrorText());
    return thread.ConnectResult();
  } catch (const std::system_error& e) {
    SockSetLastError(e.code().value(), std::string("connect: cannot start a thread: ") + e.what());
    return false;
  }
}

bool TInetSocketCoreExtended::Send(const std::string& data) {
  TReadLock hold(lock_);
  std::lock_guard send(sendLock_);
  if (core_.SocketType() == TInetSocketType::UDP)
    return core_.SendTo(data, core_.RemoteHost, core_.RemotePort);
  return core_.Send(data);
}

TInetSocketCoreExtended::TProbeResult TInetSocketCoreExtended::ProbeConnection() {
  TReadLock hold(lock_);
  std::unique_lock send(sendLock_, std::try_to_lock);
  if (!send.owns_lock()) return TProbeResult::Busy;
  return core_.Send(std::string()) ? TProbeResult::Sent : TProbeResult::Failed;
}

bool TInetSocketCoreExtended::Receive(std::string& data, std::string& host, int& port) {
  TReadLock hold(lock_);
  std::lock_guard receive(receiveLock_);
  data.clear();
  host.clear();
  port = 0;
  if (core_.SocketType() == TInetSocketType::UDP) {
    if (!core_.Bound()) {
      SockSetLastError(EDESTADDRREQ, "receive: the socket is not bound");
      return false;
    }
    return core_.ReceiveFrom(data, host, port);
  }
  if (!core_.Connected()) {
    SockSetLastError(ENOTCONN, "receive: the socket is not connected");
    return false;
  }
  if (!core_.Receive(data)) return false;
  host = core_.RemoteHost;
  port = core_.RemotePort;
  return true;
}

bool TInetSocketCoreExtended::SetKeepAlive(bool enabled, int timeMs, int intervalMs) {
  TWriteLock hold(lock_);
  if (core_.Connected() && !core_.SetKeepAlive(enabled, timeMs, intervalMs)) return false;
  keepAlive_ = enabled;
  keepAliveTime_ = timeMs;
  keepAliveInterval_ = intervalMs;
  return true;
}

bool TInetSocketCoreExtended::GetKeepAlive() {
  TReadLock hold(lock_);
  return keepAlive_;
}

int TInetSocketCoreExtended::GetKeepAliveTime() {
  TReadLock hold(lock_);
  return keepAliveTime_;
}

int TInetSocketCoreExtended::GetKeepAliveInterval() {
  TReadLock hold(lock_);
  return keepAliveInterval_;
}

std::string TInetSocketCoreExtended::GetLocalIP() {
  TReadLock hold(lock_);
  return core_.LocalIP;
}

void TInetSocketCoreExtended::SetLocalIP(const std::string& ip) {
  TWriteLock hold(lock_);
  core_.LocalIP = ip;
}

int TInetSocketCoreExtended::GetLocalPort() {
  TReadLock hold(lock_);
  return core_.LocalPort;
}

void TInetSocketCoreExtended::SetLocalPort(int port) {
  TWriteLock hold(lock_);
  core_.LocalPort = port;
}

std::string TInetSocketCoreExtended::GetRemoteHost() {
  TReadLock hold(lock_);
  return core_.RemoteHost;
}

void TInetSocketCoreExtended::SetRemoteHost(const std::string& host) {
  TWriteLock hold(lock_);
  core_.RemoteHost = host;
}

int TInetSocketCoreExtended::GetRemotePort() {
  TReadLock hold(lock_);
  return core_.RemotePort;
}

void TInetSocketCoreExtended::SetRemotePort(int port) {
  TWriteLock hold(lock_);
  core_.RemotePort = port;
}

bool TInetSocketCoreExtended::GetLocalName(std::string& ip, int& port) {
  TReadLock hold(lock_);
  return core_.LocalName(ip, port);
}

TInetSocketType TInetSocketCoreExtended::GetSocketType() {
  TReadLock hold(lock_);
  return core_.SocketType();
}

bool TInetSocketCoreExtended::IsBound() {
  TReadLock hold(lock_);
  return core_.Bound();
}

bool TInetSocketCoreExtended::IsConnected() {
  TReadLock hold(lock_);
  return core_.Connected();
}

bool TInetSocketCoreExtended::IsConnectionLost() {
  TReadLock hold(lock_);
  return core_.ConnectionLost();
}

TInetSocketCore::THold TInetSocketCoreExtended::HoldForReceive() {
  TReadLock hold(lock_);
  const bool receives =
      core_.SocketType() == TInetSocketType::UDP ? core_.Bound() : core_.Connected();
  return receives ? core_.Hold() : TInetSocketCore::THold();
}

}  // namespace uInetSocketCoreExtended
