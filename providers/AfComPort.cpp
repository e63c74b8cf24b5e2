#include "providers/AfComPort.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "providers/uComPortNames.h"

namespace AfComPort {

using uSerialTty::ETtyError;
using uSerialTty::TFailure;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                    19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kWriteStep = 32 * 1024;

// The engine whose thread this is, so that ClosePort knows not to wait for itself.
thread_local const TAfComPort* tEngine = nullptr;

std::string WithoutPath(const std::string& name, const std::string& where,
                        const std::string& reason) {
  return uComPortNames::IsDevicePath(name) ? reason : where + ": " + reason;
}

}  // namespace

std::uint32_t BaudrateValue(TAfBaudrate value) noexcept {
  const auto index = static_cast<std::size_t>(value);
  return index < std::size(kRates) ? kRates[index] : 0;
}

TAfComPort::TAfComPort() : modemLines_(uSerialTty::KernelModemLines()) {}

TAfComPort::~TAfComPort() {
  ClosePort();
}

// ---- settings

uSerialTty::TLineSettings TAfComPort::LineSettings(const TSettings& s) {
  uSerialTty::TLineSettings line;
  line.BaudRate = s.BaudRate == TAfBaudrate::brUser ? s.UserBaudRate : BaudrateValue(s.BaudRate);
  line.DataBits = static_cast<int>(s.Databits) + 4;
  line.Parity = static_cast<uSerialTty::TParity>(s.Parity);
  line.StopBits = static_cast<uSerialTty::TStopBits>(s.Stopbits);
  line.FlowControl = static_cast<uSerialTty::TFlowControl>(s.FlowControl);
  line.XOnChar = s.XOnChar;
  line.XOffChar = s.XOffChar;
  return line;
}

std::string TAfComPort::DisplayName() const {
  return settings_.PortName.empty() ? "COM0" : settings_.PortName;
}

void TAfComPort::ChangeLineSettings(const TSettings& next) {
  if (open_ && tty_) {
    try {
      tty_->Apply(LineSettings(next));
    } catch (const ETtyError& e) {
      throw EAfComPortError("Error setting parameters from DCB (" + DisplayName() +
                                "): " + WithoutPath(DisplayName(), tty_->Path(), e.Reason()),
                            e.Code());
    }
  }
  settings_ = next;
}

std::uint16_t TAfComPort::GetComNumber() const {
  std::lock_guard lock(mutex_);
  return uComPortNames::ComNumber(settings_.PortName);
}

void TAfComPort::SetComNumber(std::uint16_t number) {
  ChangePort(uComPortNames::ComName(number));
}

std::string TAfComPort::GetPortName() const {
  std::lock_guard lock(mutex_);
  return settings_.PortName;
}

void TAfComPort::SetPortName(const std::string& name) {
  const std::uint16_t number = uComPortNames::ComNumber(name);
  ChangePort(number != 0 ? uComPortNames::ComName(number) : name);
}

void TAfComPort::ChangePort(const std::string& name) {
  bool reopen = false;
  {
    std::lock_guard lock(mutex_);
    if (settings_.PortName == name) return;
    reopen = open_;
  }
  if (reopen) ClosePort();
  {
    std::lock_guard lock(mutex_);
    settings_.PortName = name;
  }
  if (reopen) OpenPort();
}

TAfBaudrate TAfComPort::GetBaudRate() const {
  std::lock_guard lock(mutex_);
  return settings_.BaudRate;
}

void TAfComPort::SetBaudRate(TAfBaudrate value) {
  std::lock_guard lock(mutex_);
  TSettings next = settings_;
  if (value == TAfBaudrate::brUser) {
    if (next.BaudRate != TAfBaudrate::brUser) next.UserBaudRate = BaudrateValue(next.BaudRate);
  } else {
    next.UserBaudRate = 0;
  }
  next.BaudRate = value;
  ChangeLineSettings(next);
}

std::uint32_t TAfComPort::GetUserBaudRate() const {
  std::lock_guard lock(mutex_);
  return settings_.UserBaudRate;
}

void TAfComPort::SetUserBaudRate(std::uint32_t rate) {
  std::lock_guard lock(mutex_);
  TSettings next = settings_;
  next.BaudRate = TAfBaudrate::brUser;
  next.UserBaudRate = rate;
  ChangeLineSettings(next);
}

// Getter and setter of one line setting that Apply carries out on an open port.
#define AFCOMPORT_LINE_SETTING(Type, Name, Member) \
  Type TAfComPort::Get##Name() const {             \
    std::lock_guard lock(mutex_);                  \
    return settings_.Member;                       \
  }                                                \
  void TAfComPort::Set##Name(Type value) {         \
    std::lock_guard lock(mutex_);                  \
    TSettings next = settings_;                    \
    next.Member = value;                           \
    ChangeLineSettings(next);                      \
  }
AFCOMPORT_LINE_SETTING(TAfDatabits, Databits, Databits)
AFCOMPORT_LINE_SETTING(TAfParity, Parity, Parity)
AFCOMPORT_LINE_SETTING(TAfStopbits, Stopbits, Stopbits)
AFCOMPORT_LINE_SETTING(TAfFlowControl, FlowControl, FlowControl)
AFCOMPORT_LINE_SETTING(unsigned char, XOnChar, XOnChar)
AFCOMPORT_LINE_SETTING(unsigned char, XOffChar, XOffChar)
#undef AFCOMPORT_LINE_SETTING

bool TAfComPort::GetDTR() const {
  std::lock_guard lock(mutex_);
  return settings_.DTR;
}

void TAfComPort::SetDTR(bool on) {
  std::lock_guard lock(mutex_);
  if (open_ && tty_) {
    try {
      tty_->SetLine(uSerialTty::kLineDtr, on);
    } catch (const ETtyError& e) {
      throw EAfComPortError(DisplayName() + ": " + e.what(), e.Code());
    }
  }
  settings_.DTR = on;
}

bool TAfComPort::GetRTS() const {
  std::lock_guard lock(mutex_);
  return settings_.RTS;
}

void TAfComPort::SetRTS(bool on) {
  std::lock_guard lock(mutex_);
  if (open_ && tty_) {
    try {
      tty_->SetLine(uSerialTty::kLineRts, on);
    } catch (const ETtyError& e) {
      throw EAfComPortError(DisplayName() + ": " + e.what(), e.Code());
    }
  }
  settings_.RTS = on;
}

void TAfComPort::ChangeBufferSize(int TSettings::*size, int value) {
  std::lock_guard lock(mutex_);
  if (settings_.*size == value) return;
  if (open_) throw EAfComPortError(" - Port is not closed ", 0);
  settings_.*size = value;
}

int TAfComPort::GetInBufSize() const {
  std::lock_guard lock(mutex_);
  return settings_.InBufSize;
}

void TAfComPort::SetInBufSize(int size) {
  ChangeBufferSize(&TSettings::InBufSize, size);
}

int TAfComPort::GetOutBufSize() const {
  std::lock_guard lock(mutex_);
  return settings_.OutBufSize;
}

void TAfComPort::SetOutBufSize(int size) {
  ChangeBufferSize(&TSettings::OutBufSize, size);
}

TThreadPriority TAfComPort::GetEventThreadPriority() const {
  std::lock_guard lock(mutex_);
  return settings_.EventThreadPriority;
}

void TAfComPort::SetEventThreadPriority(TThreadPriority value) {
  std::lock_guard lock(mutex_);
  settings_.EventThreadPriority = value;
}

TThreadPriority TAfComPort::GetWriteThreadPriority() const {
  std::lock_guard lock(mutex_);
  return settings_.WriteThreadPriority;
}

void TAfComPort::SetWriteThreadPriority(TThreadPriority value) {
  std::lock_guard lock(mutex_);
  settings_.WriteThreadPriority = value;
}

TAfCPTCoreEvent TAfComPort::GetOnNonSyncEvent() const {
  std::lock_guard lock(mutex_);
  return onNonSyncEvent_;
}

void TAfComPort::SetOnNonSyncEvent(TAfCPTCoreEvent handler) {
  std::lock_guard lock(mutex_);
  onNonSyncEvent_ = handler;
}

void TAfComPort::SetModemLines(std::shared_ptr<uSerialTty::IModemLines> lines) {
  std::lock_guard lock(mutex_);
  modemLines_ = lines ? std::move(lines) : uSerialTty::KernelModemLines();
}

// ---- open and close

void TAfComPort::OpenPort() {
  std::lock_guard serial(closeMutex_);
  Finish();  // what a close from the event thread left
  std::unique_lock lock(mutex_);
  if (open_) return;
  const std::string name = DisplayName();
  const std::string path = uComPortNames::DevicePath(settings_.PortName);
  if (path.empty()) throw EAfComPortError("Invalid port number (" + name + ")", ENOENT);
  const std::string where = uComPortNames::Describe(settings_.PortName);

  auto tty = std::make_unique<uSerialTty::TSerialTty>(modemLines_);
  try {
    tty->Open(path, LineSettings(settings_), settings_.DTR, settings_.RTS);
  } catch (const ETtyError& e) {
    const int code = e.Code();
    std::string head;
    if (e.Kind() == TFailure::Settings)
      head = "Error setting parameters from DCB (" + name + ")";
    else if (code == ENOENT || code == ENOTTY || uSerialTty::DeviceGone(code))
      head = "Invalid port number (" + name + ")";
    else
      head = "Can't open device " + name;
    throw EAfComPortError(head + ": " + WithoutPath(name, where, e.Reason()), code);
  }

  try {
    stopFd_ = std::make_unique<uSerialTty::TWakeFd>();
    queuedFd_ = std::make_unique<uSerialTty::TWakeFd>();
    sentFd_ = std::make_unique<uSerialTty::TWakeFd>();
    linesFd_ = std::make_unique<uSerialTty::TWakeFd>();
    tty_ = std::move(tty);
    DropQueue();
    gone_ = false;
    open_ = true;
    // Watcher before the event thread, which looks at it; it goes after it in Finish.
    // Taken before the threads start, so no change after OpenPort returns goes unseen; a
    // tty without modem lines says so here.
    openLines_ = Snapshot();
    if (tty_->HasModemLines())
      watcher_ = std::make_unique<uSerialTty::TModemLineWatcher>(tty_->ModemLines(), tty_->Fd(),
                                                                 [this] { linesFd_->Signal(); });
    writeThread_ = std::make_unique<uSerialTty::TSignalledThread>(
        kWriteThreadName, [this](uSerialTty::TSignalledThread& thread) { WriteLoop(thread); });
    eventThread_ = std::make_unique<uThreadUtils::TThreadRunner>(
        kEventThreadName, uThreadUtils::TRunnerMethod(this, &TAfComPort::EventLoop));
  } catch (const std::system_error& e) {
    open_ = false;
    if (stopFd_) stopFd_->Signal();
    lock.unlock();
    Finish();
    throw EAfComPortError("Can't open device " + name + ": " + e.what(), e.code().value());
  }
}

void TAfComPort::ClosePort() {
  if (OnEngineThread()) {
    RequestStop();
    return;
  }
  std::lock_guard serial(closeMutex_);
  RequestStop();
  Finish();
}

bool TAfComPort::OnEngineThread() const noexcept {
  return tEngine == this;
}

void TAfComPort::RequestStop() {
  std::lock_guard lock(mutex_);
  if (!open_) return;
  open_ = false;
  DropQueue();
  stopFd_->Signal();
}

void TAfComPort::Finish() {
  // Without mutex_: a handler still running on the event thread may want it.
  if (eventThread_) eventThread_->Terminate();
  eventThread_.reset();
  writeThread_.reset();
  watcher_.reset();
  std::lock_guard lock(mutex_);
  if (tty_) tty_->Close();
  tty_.reset();
  stopFd_.reset();
  queuedFd_.reset();
  sentFd_.reset();
  linesFd_.reset();
}

bool TAfComPort::IsPortOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

std::string TAfComPort::DevicePath() const {
  std::lock_guard lock(mutex_);
  return uComPortNames::DevicePath(settings_.PortName);
}

// ---- data

std::string TAfComPort::ReadPending() {
  std::string data;
  int err = 0;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return data;
    ++reads_;
    char buffer[kReadChunk];
    while (data.size() < kMaxReadBytes) {
      const ssize_t n = tty_->ReadSome(buffer, sizeof buffer);
      if (n <= 0) {
        err = static_cast<int>(-n);
        break;
      }
      data.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (err != 0) errno = err;
  return data;
}

void TAfComPort::WriteError(std::size_t requested, std::size_t free, int code) const {
  std::string message = " - Write data error [requested: " + std::to_string(requested) +
                        ", free: " + std::to_string(free) + "] ";
  if (code != 0) message += "(" + DisplayName() + ": " + uSerialTty::ErrnoText(code) + ")";
  throw EAfComPortError(message, code);
}

void TAfComPort::QueueWrite(const std::string& data) {
  if (data.empty()) return;
  std::lock_guard lock(mutex_);
  if (!open_) WriteError(data.size(), 0, 0);
  if (gone_) WriteError(data.size(), 0, EIO);
  const auto capacity = static_cast<std::size_t>(std::max(settings_.OutBufSize, 0));
  const std::size_t free = capacity > queued_ ? capacity - queued_ : 0;
  if (data.size() > free) WriteError(data.size(), free, 0);
  queue_.push_back(data);
  queued_ += data.size();
  queuedFd_->Signal();
}

int TAfComPort::OutputFree() const {
  std::lock_guard lock(mutex_);
  if (!open_) return 0;
  return std::max(settings_.OutBufSize - static_cast<int>(queued_), 0);
}

int TAfComPort::PendingInputCount() {
  int count = 0;
  {
    std::lock_guard lock(mutex_);
    if (!open_) return 0;
    count = tty_->InputCount();
  }
  if (count >= 0) return count;
  errno = -count;
  return 0;
}

void TAfComPort::DropQueue() {
  queue_.clear();
  queued_ = 0;
  ++purges_;
}

void TAfComPort::PurgeTransmit() {
  std::lock_guard lock(mutex_);
  DropQueue();
  if (!open_) return;
  tty_->Purge(false, true);
  writeThread_->Wake();  // out of a write that waits, to drop the rest of its piece
}

bool TAfComPort::LineState(TAfLine line) {
  static constexpr int kBits[] = {uSerialTty::kLineCts, uSerialTty::kLineDsr, uSerialTty::kLineRing,
                                  uSerialTty::kLineDcd};
  std::lock_guard lock(mutex_);
  if (!open_) return false;
  return (tty_->Lines() & kBits[static_cast<int>(line)]) != 0;
}

// ---- threads

void TAfComPort::Raise(int kind, std::uint32_t flags) {
  TAfCPTCoreEvent handler;
  {
    std::lock_guard lock(mutex_);
    handler = onNonSyncEvent_;
  }
  if (!handler.IsComplete()) return;
  try {
    handler(this, kind, flags);
  } catch (...) {
    // A failing handler must not end the event thread.
  }
}

TAfComPort::TLineSnapshot TAfComPort::Snapshot() {
  TLineSnapshot s;
  s.Lines = tty_->Lines();
  s.HasCounters = tty_->Counters(s.Counters);
  return s;
}

std::uint32_t TAfComPort::LineChanges(TLineSnapshot& previous) {
  using C = uSerialTty::TLineCounters;
  const TLineSnapshot now = Snapshot();
  const int changed = now.Lines ^ previous.Lines;
  const bool counted = now.HasCounters && previous.HasCounters;
  // A counter catches a change that was over before the lines were read.
  const auto moved = [&](std::uint32_t C::*counter) {
    return counted && now.Counters.*counter != previous.Counters.*counter;
  };
  std::uint32_t flags = 0;
  if ((changed & uSerialTty::kLineCts) || moved(&C::Cts)) flags |= EV_CTS;
  if ((changed & uSerialTty::kLineDsr) || moved(&C::Dsr)) flags |= EV_DSR;
  if ((changed & uSerialTty::kLineDcd) || moved(&C::Dcd)) flags |= EV_RLSD;
  if (counted ? moved(&C::Ring) : (now.Lines & ~previous.Lines & uSerialTty::kLineRing) != 0)
    flags |= EV_RING;
  if (moved(&C::Frame) || moved(&C::Overrun) || moved(&C::Parity) || moved(&C::BufferOverrun))
    flags |= EV_ERR;
  if (moved(&C::Break)) flags |= EV_BREAK;
  previous = now;
  return flags;
}

void TAfComPort::EventLoop(uThreadUtils::TThreadRunner& runner) {
  tEngine = this;
  TLineSnapshot lines = openLines_;
  bool rxArmed = true;  // off while reported input waits unread, until the next idle check
  bool hungUp = false;
  auto lastEvent = Clock::now();
  const auto idle = std::chrono::milliseconds(kIdleCheckMs);
  while (!runner.Terminated()) {
    // A watcher that cannot wait leaves the lines to be read here.
    const bool pollLines = tty_->HasModemLines() && (!watcher_ || watcher_->Failed() != 0);
    auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastEvent + idle - Clock::now());
    wait = std::clamp(wait, std::chrono::milliseconds(0), idle);
    if (pollLines) wait = std::min(wait, std::chrono::milliseconds(kLinePollMs));
    pollfd fds[4] = {{stopFd_->Fd(), POLLIN, 0},
                     {sentFd_->Fd(), POLLIN, 0},
                     {linesFd_->Fd(), POLLIN, 0},
                     {hungUp ? -1 : tty_->Fd(), static_cast<short>(rxArmed ? POLLIN : 0), 0}};
    const int n = ::poll(fds, 4, static_cast<int>(wait.count()));
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents != 0) {
      sentFd_->Drain();
      Raise(kKindOutputSent, 0);
      lastEvent = Clock::now();
    }
    std::uint32_t flags = 0;
    if (fds[2].revents != 0) linesFd_->Drain();
    if ((fds[3].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      // The device went or the other end hung up: one last report, then only wait for close.
      hungUp = true;
      gone_ = true;
      flags |= EV_ERR;
    } else if ((fds[3].revents & POLLIN) != 0) {
      flags |= EV_RXCHAR;
    }
    if (!hungUp && (fds[2].revents != 0 || (flags & EV_RXCHAR) != 0 || pollLines))
      flags |= LineChanges(lines);
    if (flags != 0) {
      const std::uint64_t readsBefore = reads_.load();
      Raise(kKindLineEvents, flags);
      lastEvent = Clock::now();
      // Input the handler did not touch would wake every poll: it waits for the idle check.
      // Input that came while the handler read is new and wakes the next poll as it should.
      if ((flags & EV_RXCHAR) != 0 && reads_.load() == readsBefore && tty_->InputCount() > 0)
        rxArmed = false;
      continue;
    }
    if (Clock::now() >= lastEvent + idle) {
      lastEvent = Clock::now();
      rxArmed = true;
      const int count = hungUp ? 0 : tty_->InputCount();
      if (count > 0) Raise(kKindInputWaiting, static_cast<std::uint32_t>(count));
    }
  }
}

void TAfComPort::WriteLoop(uSerialTty::TSignalledThread& thread) {
  tEngine = this;
  // Writes wait for room on the tty's blocking descriptor, and the wake-up signal ends such a
  // wait for a close or a purge. Without that signal the writes do not wait, and the thread
  // waits for room in poll(2) instead, where the stop descriptor wakes it.
  const bool waiting = uSerialTty::TSignalledThread::WakeSignal() != 0;
  // The queued piece being written; a purge drops what is left of it too.
  std::string piece;
  std::size_t offset = 0;
  std::uint64_t piecePurges = 0;
  bool waitForRoom = false;
  while (!thread.Stopping()) {
    pollfd fds[2] = {
        {stopFd_->Fd(), POLLIN, 0},
        waitForRoom ? pollfd{tty_->Fd(), POLLOUT, 0} : pollfd{queuedFd_->Fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (!waitForRoom) queuedFd_->Drain();
    waitForRoom = false;
    bool wrote = false;
    bool drained = false;
    while (!thread.Stopping()) {
      {
        std::lock_guard lock(mutex_);
        if (piecePurges != purges_ || offset == piece.size()) {
          piece.clear();
          offset = 0;
          piecePurges = purges_;
          if (queue_.empty()) {
            drained = true;
            break;
          }
          piece = std::move(queue_.front());
          queue_.pop_front();
        }
      }
      // A waiting write goes in steps, so a purge whose signal comes between this check and
      // the write lets at most one step of the dropped piece out.
      if (piecePurges != purges_.load()) continue;
      const std::size_t size = std::min(piece.size() - offset, waiting ? kWriteStep : piece.size());
      const ssize_t n = waiting ? tty_->WriteWaiting(piece.data() + offset, size)
                                : tty_->WriteSome(piece.data() + offset, size);
      if (n == -EINTR) continue;
      if (n < 0) {
        // Nothing more can go out: the queue is dropped, and QueueWrite says why from now on.
        std::lock_guard lock(mutex_);
        DropQueue();
        if (uSerialTty::DeviceGone(static_cast<int>(-n))) gone_ = true;
        break;
      }
      offset += static_cast<std::size_t>(n);
      wrote = wrote || n > 0;
      {
        std::lock_guard lock(mutex_);
        if (piecePurges == purges_) queued_ -= static_cast<std::size_t>(n);
      }
      if (!waiting && offset < piece.size()) {
        waitForRoom = true;
        break;
      }
    }
    if (wrote && drained) sentFd_->Signal();
  }
}

}  // namespace AfComPort
