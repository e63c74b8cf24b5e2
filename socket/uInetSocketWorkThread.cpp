#include "socket/uInetSocketWorkThread.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

namespace uInetSocketWorkThread {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

namespace {
constexpr const char* kUnknownException = "unknown exception";
}

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = -1;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  const std::size_t templateStart = name.find('<');
  const std::size_t scope = name.rfind("::", templateStart);
  return scope == std::string::npos ? name : name.substr(scope + 2);
}

TInetSocketWorkThread::TInetSocketWorkThread(uInetSocket::TInetSocketCustom* socket,
                                             TEventsPtr events)
    : socket_(socket),
      engine_(std::make_unique<TInetSocketCoreExtended>()),
      queue_(std::make_unique<TInetSocketPacketQueue>()),
      events_(std::move(events)) {
  queue_->SetCapacity(kDefaultPacketQueueCapacity);
}

TInetSocketWorkThread::~TInetSocketWorkThread() {
  Terminate();
  Wake();
  WaitFor();
}

void TInetSocketWorkThread::Execute() {
  threadId_.store(std::this_thread::get_id());
  SetName(kWorkThreadName);
  int idle = 0;
  bool readable = true;  // the first pass looks without waiting
  while (!Terminated()) {
    bool received = false;
    try {
      received = Pass(readable, idle);
    } catch (const std::exception& e) {
      ReportError("Execute", e.what(), ExceptionClassName(e));
      closeRequested_.store(true);
    } catch (...) {
      ReportError("Execute", kUnknownException, kUnknownException);
      closeRequested_.store(true);
    }
    const bool fast = idle < kFastPasses;
    if (fast) ++idle;
    // After data more is likely to be pending: the next pass looks again without a wait.
    readable = received || WaitForWork(fast ? kFastPauseMs : kIdlePauseMs);
  }
}

bool TInetSocketWorkThread::Pass(bool readable, int& idle) {
  if (closeRequested_.load()) DoInternalClose();
  // Only a socket that poll found readable is read: the others have nothing pending.
  const bool received = readable && DoDataReceive();
  if (received) idle = 0;
  if (engine_->IsConnected()) KeepAliveCheck();
  return received;
}

bool TInetSocketWorkThread::WaitForWork(std::uint32_t pauseMs) {
  const auto hold = engine_->HoldForReceive();
  return uPollWait::WaitReadable(hold.Socket(), wake_, pauseMs).Readable;
}

void TInetSocketWorkThread::DoInternalClose() {
  TWriteLock hold(engine_->Lock());
  if (!closeRequested_.load() || !engine_->IsAllocated()) return;
  engine_->Close(false);
  if (!events_) return;
  try {
    events_->SocketClosed(socket_);
  } catch (const std::exception& e) {
    ReportError("DoInternalClose", e.what(), ExceptionClassName(e));
  } catch (...) {
    ReportError("DoInternalClose", kUnknownException, kUnknownException);
  }
}

bool TInetSocketWorkThread::DoDataReceive() {
  TReadLock hold(engine_->Lock());
  TInetSocketPacket& packet = packet_;  // reused: its buffer stays, so a pass allocates nothing
  if (!engine_->Receive(packet.Data, packet.Host, packet.Port)) {
    // An orderly close of the peer or a broken connection: nothing more can arrive.
    if (engine_->IsConnectionLost()) closeRequested_.store(true);
    return false;
  }
  if (packet.Data.empty()) return false;
  try {
    queue_->Push(packet);
    if (events_) events_->DataReceived(socket_, packet);
    RestartIdle();
  } catch (const std::exception& e) {
    ReportError("DoDataReceive", e.what(), ExceptionClassName(e));
  } catch (...) {
    ReportError("DoDataReceive", kUnknownException, kUnknownException);
  }
  return true;
}

// Under the engine's lock held shared, not exclusively: a send of the owner's that waits for
// a slow peer holds it shared, and an exclusive wait here would stop reception meanwhile (and
// for good when the peer in turn waits for us to read).
void TInetSocketWorkThread::KeepAliveCheck() {
  TReadLock hold(engine_->Lock());
  if (!engine_->GetKeepAlive() || !engine_->IsConnected()) return;
  {
    std::lock_guard lock(idleMutex_);
    if (!idleTimer_.IsExpiredAfter(engine_->GetKeepAliveTime())) return;
  }
  switch (engine_->ProbeConnection()) {
    case TInetSocketCoreExtended::TProbeResult::Sent:
      RestartIdle();
      break;
    case TInetSocketCoreExtended::TProbeResult::Busy:
      break;  // the send under way restarts the silence when it ends
    case TInetSocketCoreExtended::TProbeResult::Failed:
      closeRequested_.store(true);
      break;
  }
}

void TInetSocketWorkThread::ReportError(const std::string& methodName, const std::string& message,
                                        const std::string& exceptionClass) {
  if (!events_) return;
  try {
    events_->SocketError(socket_, methodName, message, exceptionClass);
  } catch (const std::exception& e) {
    try {
      events_->SocketError(socket_, "DoInternalError", e.what(), ExceptionClassName(e));
    } catch (...) {
    }
  } catch (...) {
    try {
      events_->SocketError(socket_, "DoInternalError", kUnknownException, kUnknownException);
    } catch (...) {
    }
  }
}

void TInetSocketWorkThread::Prepare(TInetSocketType type) {
  TWriteLock hold(engine_->Lock());
  if (closeRequested_.load() && engine_->IsAllocated()) DoInternalClose();
  if (engine_->IsAllocated()) return;
  engine_->Allocate(type);  // a failure shows in the Bind or Connect that follows
  closeRequested_.store(false);
  queue_->Clear();
}

void TInetSocketWorkThread::RequestClose() {
  {
    TWriteLock hold(engine_->Lock());
    closeRequested_.store(true);
  }
  Wake();
}

void TInetSocketWorkThread::RestartIdle() {
  std::lock_guard lock(idleMutex_);
  idleTimer_.Restart();
}

void TInetSocketWorkThread::SetPacketQueueCapacity(int capacity) {
  queue_->SetCapacity(capacity);
}

}  // namespace uInetSocketWorkThread
