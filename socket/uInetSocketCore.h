#pragma once
// One IPv4 socket with its settings and flags. The socket stays blocking: receiving reads only
// what is pending, sending and connecting block in the calling thread.
//
// Threads: the settings (LocalIP, LocalPort, RemoteHost, RemotePort) are plain fields that the
// owner guards (TInetSocketCoreExtended's lock). The socket and its flags may be used by
// several threads at once: a close from one thread while another is inside a connect, a bind
// or a wait on the socket shuts the socket down at once (which ends the blocked call) and
// closes the descriptor when the last of those calls has returned, so no call ever acts on a
// descriptor number that was closed and given to something else meanwhile.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "socket/uWinSock.h"

namespace uInetSocketCore {

using uWinSock::TInetSocketType;
using uWinSock::TSocket;

class TInetSocketCore {
  struct THandle;  // owns the descriptor, closes it with its last holder

 public:
  // Holds the socket of the moment open for one call made without the core's lock; invalid
  // (Socket() == kInvalidSocket) when there was none.
  class THold {
   public:
    THold() = default;
    TSocket Socket() const noexcept;
    explicit operator bool() const noexcept { return handle_ != nullptr; }

   private:
    friend class TInetSocketCore;
    explicit THold(std::shared_ptr<THandle> handle) : handle_(std::move(handle)) {}
    std::shared_ptr<THandle> handle_;
  };

  TInetSocketCore() = default;
  // Releases a socket that still exists.
  ~TInetSocketCore();
  TInetSocketCore(const TInetSocketCore&) = delete;
  TInetSocketCore& operator=(const TInetSocketCore&) = delete;

  bool IsAllocated() const;
  // Releases a socket that exists, then creates one of the type. Result: IsAllocated().
  bool Allocate(TInetSocketType type);
  // Closes the socket; Connected, Bound and ConnectionLost become false. False when there was
  // no socket or the close failed.
  bool Release();
  // Both: SHUT_RDWR; only stopSend: SHUT_WR; only stopReceive: SHUT_RD; neither: true.
  bool Shutdown(bool stopSend, bool stopReceive);

  // Bind to LocalIP:LocalPort and read the local name back; Bound := result.
  bool Bind();
  // Connect to RemoteHost:RemotePort (blocking) and read the local name back;
  // Connected := result.
  bool Connect();

  // True when all of data was sent (an empty data: when the empty send succeeded).
  bool Send(const std::string& data);
  bool SendTo(const std::string& data, const std::string& ip, int port);
  // True when the read succeeded; true with empty data when nothing was pending. An orderly
  // close of the peer or a broken connection makes it false and sets ConnectionLost.
  bool Receive(std::string& data);
  // One datagram and its sender; true with empty data when none was pending.
  bool ReceiveFrom(std::string& data, std::string& ip, int& port);

  bool SetKeepAlive(bool enabled, int timeMs, int intervalMs);
  // The address the socket is bound to now (after a bind or a connect); false without one.
  bool LocalName(std::string& ip, int& port) const;

  // The socket for a call made without the core's lock; see THold.
  THold Hold() const;

  TSocket Socket() const;
  // The network library needs no start on POSIX systems.
  bool Started() const noexcept { return true; }
  bool Bound() const;
  bool Connected() const;
  // The stream ended or broke (found by Receive); the socket can only be released.
  bool ConnectionLost() const;
  TInetSocketType SocketType() const;

  std::string LocalIP = "0.0.0.0";
  int LocalPort = 0;
  std::string RemoteHost;
  int RemotePort = 0;

 private:
  // The call on the socket, with the flag that says the socket was released meanwhile.
  using TAddressCall = int (*)(TSocket, const std::string&, int, const std::atomic<bool>*);
  // Bind or connect (call) to ip:port, then read the local name back; flag := the result.
  bool AddressCall(const char* what, TAddressCall call, const std::string& ip, int port,
                   bool& flag);
  bool ReleaseLocked();
  bool StillCurrent(const THold& hold) const;  // with mutex_ held

  mutable std::mutex mutex_;  // guards the fields below, never held across a blocking call
  std::shared_ptr<THandle> handle_;
  bool bound_ = false;
  bool connected_ = false;
  bool connectionLost_ = false;
  TInetSocketType socketType_ = TInetSocketType::TCP;
};

}  // namespace uInetSocketCore
