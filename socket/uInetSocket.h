#pragma once
// The socket object that the TCP and UDP providers own. Each one has one work thread for its
// whole life (uInetSocketWorkThread), which receives, closes on request, probes an idle
// connection and raises DataReceived, SocketClosed and SocketError.
//
// Threads: the owner's threads call the public operations; the event handlers run on the
// work thread, inside the engine's lock, and must not call the socket's public operations:
// they raise EInetSocketAccessByWorkThreadDenied there (Close(true) excepted). A handler that
// needs to answer hands the work to another thread. One SocketClosed comes on an owner's
// thread instead: when a Bind or Connect finds a close requested (a changed address) that the
// work thread has not carried out yet, it carries it out first, so that it never reports the
// old socket's connection as the new one. Destroying the socket waits for a
// handler in progress; destroying it from its own work thread is a programming error that
// ends the process.
//
// Locks, outermost first: the object's lock (named after the class, "TInetSocket"), the
// engine's reader/writer lock, the engine's critical sections; the events object's lock is
// taken inside the engine's lock while a handler runs.

#include <memory>
#include <string>

#include "ci/uMethod.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uSynchronizer.h"
#include "socket/uInetSocketWorkThread.h"

namespace uInetSocket {

using uInetSocketCore::TInetSocketType;
using uInetSocketUtils::TInetSocketPacket;
using uInetSocketWorkThread::EInetSocketAccessByWorkThreadDenied;
using uInetSocketWorkThread::IInetSocketEvents;
using uInetSocketWorkThread::TEventsPtr;
using uInetSocketWorkThread::TInetSocketWorkThread;

class TInetSocketCustom {
 public:
  // Ends the work thread (waiting for a handler in progress) and closes the socket.
  virtual ~TInetSocketCustom();
  TInetSocketCustom(const TInetSocketCustom&) = delete;
  TInetSocketCustom& operator=(const TInetSocketCustom&) = delete;

  // force: the graceful close, without the calling-thread check and without the object's
  // lock, so it cuts short a Connect in progress on another thread. Otherwise a plain close.
  // No SocketClosed follows either. False when there was no socket.
  bool Close(bool force);
  bool IsBound();
  // Allocates a socket of the current type when there is none, then binds it to
  // LocalIP:LocalPort; true at once when already bound.
  bool Bind();
  bool IsConnected();
  // Allocates a socket of the current type when there is none, then connects it to
  // RemoteHost:RemotePort; timeoutMs < 0: no limit.
  bool Connect(int timeoutMs);
  // TCP: all of data on the connection; UDP: one datagram to RemoteHost:RemotePort.
  bool Send(const std::string& data);
  void Prepare();

  bool SetKeepAlive(bool enabled, int timeMs, int intervalMs);
  bool GetKeepAlive();
  int GetKeepAliveTime();
  int GetKeepAliveInterval();

  // A changed value (exact comparison) is stored; a socket that is bound (local settings) or
  // connected (remote settings) is then closed at the work thread's next pass, with
  // SocketClosed. Nothing reopens it: the next Bind or Connect makes a new socket.
  void SetLocalIP(const std::string& ip);
  void SetLocalPort(int port);
  void SetRemoteHost(const std::string& host);
  void SetRemotePort(int port);
  // A changed type closes an existing socket at the next pass.
  void SetSocketType(TInetSocketType type);
  TInetSocketType GetSocketType();
  std::string GetLocalIP();
  int GetLocalPort();
  std::string GetRemoteHost();
  int GetRemotePort();
  // The address the socket has now (the port the system chose for port 0).
  bool GetLocalName(std::string& ip, int& port);

  // Received packets are also queued, the newest `capacity` of them (negative: all, 0: none;
  // uInetSocketWorkThread::kDefaultPacketQueueCapacity until set).
  void SetPacketQueueCapacity(int capacity);
  // The oldest queued packet, removed; false when none is queued.
  bool PopPacket(TInetSocketPacket& packet);

 protected:
  // className names the object's lock. events: where the work thread sends the events (a
  // derived class makes them before this base is built, as C++ cannot call a derived
  // class's virtual function during it); may be empty.
  TInetSocketCustom(std::string className, TEventsPtr events);

  // After every Prepare, with the object's lock held exclusively.
  virtual void SocketPrepared() {}
  // Raises EInetSocketAccessByWorkThreadDenied on the work thread.
  void CheckNotWorkThread() const;
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended& ObjectLock() noexcept {
    return lock_;
  }

 private:
  enum class TResetKind { Always, WhenBound, WhenConnected };
  void RequestReset(TResetKind kind);
  void PrepareLocked();
  using TEngine = uInetSocketCoreExtended::TInetSocketCoreExtended;
  // Stores value through set when get gives another one, then resets the socket by kind.
  template <class V, class S>
  void ChangeSetting(const V& value, V (TEngine::*get)(), void (TEngine::*set)(S), TResetKind kind);
  TEngine& Engine() noexcept { return workThread_->Engine(); }

  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  TInetSocketType socketType_ = TInetSocketType::TCP;
  std::unique_ptr<TInetSocketWorkThread> workThread_;
};

using TDataReceivedHandler =
    uMethod::TMethod<void(TInetSocketCustom* sender, const TInetSocketPacket& packet)>;
using TSocketClosedHandler = uMethod::TMethod<void(TInetSocketCustom* sender)>;
using TSocketErrorHandler =
    uMethod::TMethod<void(TInetSocketCustom* sender, const std::string& methodName,
                          const std::string& message, const std::string& exceptionClass)>;

class IInetSocketEventsSync : public virtual uInterfaces::IInterface {
 public:
  virtual void SetOnDataReceived(const TDataReceivedHandler& handler) = 0;
  virtual TDataReceivedHandler GetOnDataReceived() = 0;
  virtual void SetOnSocketClosed(const TSocketClosedHandler& handler) = 0;
  virtual TSocketClosedHandler GetOnSocketClosed() = 0;
  virtual void SetOnSocketError(const TSocketErrorHandler& handler) = 0;
  virtual TSocketErrorHandler GetOnSocketError() = 0;

 protected:
  ~IInetSocketEventsSync() = default;
};

// Passes the events to the handlers set on it, on the raising thread. A handler is called
// under the object's lock held shared, so replacing it waits until a call in progress has
// returned.
class TInetSocketEventsSync final : public uMyInterfacedObject::TMyInterfacedObject,
                                    public IInetSocketEventsSync,
                                    public IInetSocketEvents {
 public:
  TInetSocketEventsSync();

  void SetOnDataReceived(const TDataReceivedHandler& handler) override;
  TDataReceivedHandler GetOnDataReceived() override;
  void SetOnSocketClosed(const TSocketClosedHandler& handler) override;
  TSocketClosedHandler GetOnSocketClosed() override;
  void SetOnSocketError(const TSocketErrorHandler& handler) override;
  TSocketErrorHandler GetOnSocketError() override;

  void DataReceived(TInetSocketCustom* sender, const TInetSocketPacket& packet) override;
  void SocketClosed(TInetSocketCustom* sender) override;
  void SocketError(TInetSocketCustom* sender, const std::string& methodName,
                   const std::string& message, const std::string& exceptionClass) override;

 private:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  TDataReceivedHandler onDataReceived_;
  TSocketClosedHandler onSocketClosed_;
  TSocketErrorHandler onSocketError_;
};

class TInetSocket : public TInetSocketCustom {
 public:
  TInetSocket();
  ~TInetSocket() override;

  // Each checks the calling thread and takes the object's lock exclusively; an empty handler
  // switches the event off.
  void SetOnDataReceived(const TDataReceivedHandler& handler);
  void SetOnSocketClosed(const TSocketClosedHandler& handler);
  void SetOnSocketError(const TSocketErrorHandler& handler);

 protected:
  static uInterfaces::TInterfacePtr<TInetSocketEventsSync> CreateEvents();

 private:
  explicit TInetSocket(const uInterfaces::TInterfacePtr<TInetSocketEventsSync>& events);

  uInterfaces::TInterfacePtr<IInetSocketEventsSync> eventsSync_;
};

}  // namespace uInetSocket
