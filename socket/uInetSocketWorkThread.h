#pragma once
// The thread that serves one socket object: it receives, closes the socket when asked to,
// probes an idle connection with an empty send, and raises the events.
//
// Each pass waits in poll(2) on the socket (while it is connected or bound) and on a wake
// event, at most 1 ms for the first 1000 passes after data and 10 ms after that: received
// data is taken as soon as it arrives, a close or a destruction wakes the thread at once, and
// an idle socket costs one wake-up per pause.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "ci/uInterfaces.h"
#include "ci/uThreadUtils.h"
#include "ci/uTimeout.h"
#include "socket/uInetSocketCoreExtended.h"
#include "socket/uInetSocketUtils.h"
#include "socket/uPollWait.h"

namespace uInetSocket {
class TInetSocketCustom;
}

namespace uInetSocketWorkThread {

using uInetSocketCore::TInetSocketType;
using uInetSocketCoreExtended::TInetSocketCoreExtended;
using uInetSocketUtils::TInetSocketPacket;
using uInetSocketUtils::TInetSocketPacketQueue;

inline constexpr const char* kWorkThreadName = "Socket work thread";
inline constexpr int kFastPasses = 1000;  // passes with the short pause after data
inline constexpr std::uint32_t kFastPauseMs = 1;
inline constexpr std::uint32_t kIdlePauseMs = 10;
// What the queue keeps until the owner sets a capacity: nothing reads it unless the owner
// does, so it must not grow without limit.
inline constexpr int kDefaultPacketQueueCapacity = 1024;

class EInetSocketAccessByWorkThreadDenied : public std::runtime_error {
 public:
  EInetSocketAccessByWorkThreadDenied() : std::runtime_error(kMessage) {}
  static constexpr const char* kMessage = "Access to InetSocket by WorkThread denied!";
};

// Where a socket's events go; all of them are called on the work thread. ExceptionClass is
// the class name of the exception that caused an error ("EInetSocketAccessByWorkThreadDenied").
class IInetSocketEvents : public virtual uInterfaces::IInterface {
 public:
  virtual void DataReceived(uInetSocket::TInetSocketCustom* sender,
                            const TInetSocketPacket& packet) = 0;
  virtual void SocketClosed(uInetSocket::TInetSocketCustom* sender) = 0;
  virtual void SocketError(uInetSocket::TInetSocketCustom* sender, const std::string& methodName,
                           const std::string& message, const std::string& exceptionClass) = 0;

 protected:
  ~IInetSocketEvents() = default;
};

using TEventsPtr = uInterfaces::TInterfacePtr<IInetSocketEvents>;

// The class name of an exception without its namespaces.
std::string ExceptionClassName(const std::exception& e);

class TInetSocketWorkThread final : public uThreadUtils::TNamedThread {
 public:
  // Created suspended: the owner calls Start() once it is ready. socket is not owned and is
  // passed as the sender of every event; events may be empty.
  TInetSocketWorkThread(uInetSocket::TInetSocketCustom* socket, TEventsPtr events);
  // Ends the loop and joins it, then frees the queue, the engine (closing a socket that is
  // still there) and the events reference.
  ~TInetSocketWorkThread() override;

  TInetSocketCoreExtended& Engine() noexcept { return *engine_; }
  TInetSocketPacketQueue& Queue() noexcept { return *queue_; }

  // Owner's side. Prepare: when there is no socket, allocate one of the type, clear the
  // request to close and the queue; a close that was requested and not yet carried out is
  // carried out first, so the socket that follows has the new settings.
  void Prepare(TInetSocketType type);
  // The socket is closed at the next pass, which comes at once.
  void RequestClose();
  void RestartIdle();
  void SetPacketQueueCapacity(int capacity);
  // Cuts the current wait short (after a new connection, or to end the thread).
  void Wake() noexcept { wake_.Signal(); }
  bool CloseRequested() const noexcept { return closeRequested_.load(); }
  // True on the work thread itself.
  bool IsCurrent() const noexcept { return threadId_.load() == std::this_thread::get_id(); }

 protected:
  void Execute() override;

 private:
  // One pass; true when it received data.
  bool Pass(bool readable, int& idle);
  void DoInternalClose();
  bool DoDataReceive();
  void KeepAliveCheck();
  void ReportError(const std::string& methodName, const std::string& message,
                   const std::string& exceptionClass);
  // Waits for data on the socket, a wake-up or the end of the pause; true when the socket
  // has something to read.
  bool WaitForWork(std::uint32_t pauseMs);

  uInetSocket::TInetSocketCustom* const socket_;
  std::unique_ptr<TInetSocketCoreExtended> engine_;
  std::unique_ptr<TInetSocketPacketQueue> queue_;
  TEventsPtr events_;
  TInetSocketPacket packet_;  // the packet being received, only on the work thread
  std::atomic<bool> closeRequested_{false};
  std::mutex idleMutex_;  // the owner restarts the timer after a send
  uTimeout::TTimeout idleTimer_;
  uPollWait::TWakeEvent wake_;
  std::atomic<std::thread::id> threadId_{};
};

}  // namespace uInetSocketWorkThread
