#pragma once
// The thread-safe layer around one socket, used by the owner's thread and the socket's work
// thread at the same time, and the connect with a time limit on a thread of its own.
//
// Locks: the reader/writer lock "TInetSocketCoreExtended" (exclusive: Allocate, Bind, Connect
// for its whole duration, the plain Close, SetKeepAlive and the setters; shared: Send,
// Receive and the getters), then the critical sections SendLock before ReceiveLock before
// CreateLock. The graceful Close takes the three critical sections without the reader/writer
// lock, so it also cuts short a Connect that holds that lock.
//
// Failures are false results; the reason is the calling thread's last socket error
// (uWinSock::SockGetLastError), also after a connect that ran on the connect thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "ci/uSynchronizer.h"
#include "ci/uThreadUtils.h"
#include "socket/uInetSocketCore.h"

namespace uInetSocketCoreExtended {

using uInetSocketCore::TInetSocketCore;
using uInetSocketCore::TInetSocketType;

inline constexpr const char* kConnectThreadName = "Socket connect thread";
// How long a graceful close lets a send in progress finish before it shuts the socket down
// to end it (a blocking send waits for as long as the peer takes nothing).
inline constexpr std::chrono::milliseconds kCloseSendWait{500};

// Runs the core's Connect once, at once, on its own thread.
class TInetSocketConnectThread final : public uThreadUtils::TNamedThread {
 public:
  // The core is not owned; it must outlive the thread.
  explicit TInetSocketConnectThread(TInetSocketCore& core);
  // Waits until the connect has returned.
  ~TInetSocketConnectThread() override;

  bool Running() const;
  bool ConnectResult() const;
  int ConnectError() const;
  std::string ConnectErrorText() const;
  // Waits until the connect has returned or timeoutMs passed; false when it still runs.
  bool WaitUntilDone(std::uint32_t timeoutMs);

 protected:
  void Execute() override;

 private:
  TInetSocketCore& core_;
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool running_ = true;
  bool connectResult_ = false;
  int connectError_ = 0;
  std::string connectErrorText_;
};

class TInetSocketCoreExtended {
 public:
  TInetSocketCoreExtended();
  ~TInetSocketCoreExtended() = default;
  TInetSocketCoreExtended(const TInetSocketCoreExtended&) = delete;
  TInetSocketCoreExtended& operator=(const TInetSocketCoreExtended&) = delete;

  bool IsAllocated();
  bool Allocate(TInetSocketType type);
  // Graceful: shut down and close once a send, a receive or a socket creation in progress has
  // finished (a send that cannot finish within kCloseSendWait is cut short), without waiting
  // for the reader/writer lock; a Connect in progress then fails, and none starts meanwhile.
  // Otherwise: close under the exclusive lock. True when the socket was closed.
  bool Close(bool graceful);
  bool Bind();
  // True at once when connected. timeoutMs < 0: no limit (the system's own); otherwise the
  // connect runs on a TInetSocketConnectThread, and when it has not finished within the limit
  // the socket is closed and the error is uWinSock::kErrorTimedOut. A new connection gets the
  // stored keep-alive settings; when they cannot be applied keep-alive is switched off.
  bool Connect(int timeoutMs);
  // UDP: one datagram to RemoteHost:RemotePort; TCP: all of data on the connection.
  bool Send(const std::string& data);
  // The keep-alive probe: an empty send, which puts nothing on the wire and fails once the
  // system has found the connection dead. Busy, without waiting, while a send is under way:
  // the connection is in use then, and that send reports its own failure.
  enum class TProbeResult { Sent, Busy, Failed };
  TProbeResult ProbeConnection();
  // What is pending: UDP (bound): one datagram and its sender; TCP (connected): the bytes,
  // with RemoteHost and RemotePort as host and port. True with empty data when nothing was
  // pending.
  bool Receive(std::string& data, std::string& host, int& port);
  // Applied at once when connected (false, and nothing stored, when that fails); otherwise
  // stored for the next connection.
  bool SetKeepAlive(bool enabled, int timeMs, int intervalMs);
  bool GetKeepAlive();
  int GetKeepAliveTime();
  int GetKeepAliveInterval();

  // The settings; setting one never touches the socket.
  std::string GetLocalIP();
  void SetLocalIP(const std::string& ip);
  int GetLocalPort();
  void SetLocalPort(int port);
  std::string GetRemoteHost();
  void SetRemoteHost(const std::string& host);
  int GetRemotePort();
  void SetRemotePort(int port);

  // The address the socket has now (the port the system chose for a bind to port 0);
  // false when there is none.
  bool GetLocalName(std::string& ip, int& port);

  TInetSocketType GetSocketType();
  bool IsBound();
  bool IsConnected();
  // The stream ended or broke; the socket can only be closed.
  bool IsConnectionLost();
  int GetClosingCount() const noexcept { return closingCount_.load(); }

  // The socket to wait on for incoming data (a connected TCP or a bound UDP socket), held
  // open for the wait; empty when there is none.
  TInetSocketCore::THold HoldForReceive();

  // The reader/writer lock, for callers that combine several operations.
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended& Lock() noexcept { return lock_; }
  void BeginWrite() { lock_.BeginWrite(); }
  void EndWrite() { lock_.EndWrite(); }
  void BeginRead() { lock_.BeginRead(); }
  void EndRead() { lock_.EndRead(); }

 private:
  bool ConnectWithin(std::uint32_t timeoutMs);

  TInetSocketCore core_;
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  std::mutex sendLock_;
  std::mutex receiveLock_;
  std::mutex createLock_;
  std::atomic<int> closingCount_{0};
  bool keepAlive_ = false;
  int keepAliveTime_ = 0;
  int keepAliveInterval_ = 0;
};

}  // namespace uInetSocketCoreExtended
