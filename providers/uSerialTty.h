#pragma once
// A serial line on a Linux tty: open a device path exclusively with line settings, raw
// non-blocking reads and writes, DTR and RTS, purge, and the modem input lines with their
// change counters. The COM port engine and the FTDI layer (the kernel's ftdi_sio ttys) both
// drive their devices through it; it knows nothing of COM port names.
//
// Threads: Open and Close belong to the owner; between them the other calls may come from any
// thread (the descriptor stays valid until Close). Failures raise ETtyError, whose message
// names the device path and whose code is the errno (0 for a failure that is no system error).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <sys/types.h>

#include "ci/uFileUtils.h"
#include "ci/uThreadUtils.h"

namespace uSerialTty {

enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { One, OneAndHalf, Two };
enum class TFlowControl { None, XOnXOff, RtsCts, DtrDsr };

struct TLineSettings {
  std::uint32_t BaudRate = 9600;  // any rate the driver takes, set through termios2/BOTHER
  int DataBits = 8;               // 5 to 8
  TParity Parity = TParity::None;
  TStopBits StopBits = TStopBits::One;  // OneAndHalf only with 5 data bits, Two not with 5
  TFlowControl FlowControl = TFlowControl::None;  // DtrDsr has no termios counterpart
  unsigned char XOnChar = 17;
  unsigned char XOffChar = 19;
  bool operator==(const TLineSettings&) const = default;
};

// A rate the driver reports back must lie this close to the asked one (UART receivers
// tolerate about 2% in all); farther off is a refusal, never a silent other rate.
inline constexpr std::uint32_t kBaudTolerancePercent = 2;

// The termios control bits (CSIZE, CSTOPB, PARENB, PARODD, CMSPAR, CRTSCTS) for settings.
std::uint32_t ControlFlags(const TLineSettings& settings);

// The modem lines, with the values of the kernel's TIOCM_* bits.
enum TLine : int {
  kLineDtr = 0x002,
  kLineRts = 0x004,
  kLineCts = 0x020,
  kLineDcd = 0x040,
  kLineRing = 0x080,
  kLineDsr = 0x100,
};
inline constexpr int kInputLines = kLineCts | kLineDsr | kLineRing | kLineDcd;

// What failed: getting the device, its line settings, its modem lines.
enum class TFailure { Open, Settings, Lines };

class ETtyError : public std::runtime_error {
 public:
  // The message is "<path>: <reason>".
  ETtyError(TFailure kind, const std::string& path, const std::string& reason, int code)
      : std::runtime_error(path + ": " + reason), kind_(kind), reason_(reason), code_(code) {}
  TFailure Kind() const noexcept { return kind_; }
  const std::string& Reason() const noexcept { return reason_; }
  int Code() const noexcept { return code_; }

 private:
  TFailure kind_;
  std::string reason_;
  int code_;
};

// The device is gone (unplugged, hung up, no hardware behind the node).
bool DeviceGone(int err) noexcept;
// The tty has no such ioctl (a pseudo-terminal has no modem lines, some drivers cannot wait).
bool NotSupported(int err) noexcept;
std::string ErrnoText(int err);
// Why opening path failed with err, with what fixes it where something can: the dialout
// group for EACCES, the process holding the port for EBUSY.
std::string OpenFailureText(const std::string& path, int err);
// "process 1234 (minicom)" for every other process that has path open (at most a few, found
// through /proc/*/fd within a bounded scan); empty when none is visible.
std::string PortHolders(const std::string& path);

// An eventfd that wakes a poll(2): Signal adds one, Drain takes what was added.
class TWakeFd {
 public:
  TWakeFd();  // raises std::system_error when the kernel refuses one
  int Fd() const noexcept { return fd_.Get(); }
  void Signal() noexcept;
  void Drain() noexcept;

 private:
  uFileUtils::TFd fd_;
};

// Change counters of the lines and line errors (TIOCGICOUNT).
struct TLineCounters {
  std::uint32_t Cts = 0, Dsr = 0, Ring = 0, Dcd = 0;
  std::uint32_t Frame = 0, Overrun = 0, Parity = 0, Break = 0, BufferOverrun = 0;
  bool operator==(const TLineCounters&) const = default;
};

// The calls that read, set and wait for the modem lines of an open tty. Pseudo-terminals
// have no modem lines (each of these fails with ENOTTY there), so tests put a fake here to
// drive line changes. Each returns 0 or an errno.
class IModemLines {
 public:
  virtual ~IModemLines() = default;
  virtual int Get(int fd, int& lines) = 0;          // TIOCMGET
  virtual int Set(int fd, int lines, bool on) = 0;  // TIOCMBIS / TIOCMBIC
  // TIOCMIWAIT: blocks until one of mask changes. It must return EINTR when the thread gets
  // the wake-up signal (see TSignalledThread), as the kernel's wait does.
  virtual int Wait(int fd, int mask) = 0;
  virtual int Counters(int fd, TLineCounters& counters) = 0;  // TIOCGICOUNT
};

// The kernel's ioctls.
std::shared_ptr<IModemLines> KernelModemLines();

class TSerialTty {
 public:
  explicit TSerialTty(std::shared_ptr<IModemLines> lines = KernelModemLines());
  ~TSerialTty() { Close(); }
  TSerialTty(const TSerialTty&) = delete;
  TSerialTty& operator=(const TSerialTty&) = delete;

  // Opens path read/write, non-blocking, not as controlling terminal, exclusively (flock, so
  // no second program gets it, and TIOCEXCL), discards what waits in it, applies settings
  // in raw mode (CLOCAL: carrier loss never hangs the line up) and sets DTR and RTS.
  void Open(const std::string& path, const TLineSettings& settings, bool dtr, bool rts);
  // Discards pending input and output and closes; nothing when closed.
  void Close() noexcept;
  bool IsOpen() const noexcept { return fd_.Get() >= 0; }
  int Fd() const noexcept { return fd_.Get(); }
  const std::string& Path() const noexcept { return path_; }
  // A pseudo-terminal has no wire: its driver holds every frame as 8 bits without parity
  // (pty_set_termios in drivers/tty/pty.c), so those two are not checked on one.
  bool IsPseudoTerminal() const noexcept { return pseudo_; }

  // Applies settings at once; when the driver refuses them or reports other values back,
  // restores the previous ones and raises.
  void Apply(const TLineSettings& settings);
  // What the tty holds now.
  TLineSettings Settings() const;

  // Non-blocking I/O: bytes moved, 0 when the tty has nothing or no room now, -errno on
  // failure (EIO: the device is gone).
  ssize_t ReadSome(char* buffer, std::size_t size) noexcept;
  ssize_t WriteSome(const char* data, std::size_t size) noexcept;
  // A write that waits for room, through a second, blocking descriptor of the same tty (a
  // tty wakes a poll(2) for every little room its reader makes, so a non-blocking writer
  // needs about twice the system calls). Bytes written, or -errno: -EINTR when a signal came
  // before any byte went (a signal after some gives their count).
  ssize_t WriteWaiting(const char* data, std::size_t size) noexcept;
  // Bytes waiting in the input queue (FIONREAD); -errno on failure.
  int InputCount() const noexcept;
  void Purge(bool input, bool output) noexcept;

  // False once the tty said it has no modem lines (a pseudo-terminal).
  bool HasModemLines() const noexcept { return hasLines_.load(); }
  // Sets DTR or RTS; nothing on a tty without modem lines.
  void SetLine(TLine line, bool on);
  // The TIOCM_* bits now; 0 without modem lines or on failure.
  int Lines() const;
  // False when the tty keeps no counters.
  bool Counters(TLineCounters& counters) const;
  IModemLines& ModemLines() const noexcept { return *lines_; }

 private:
  [[noreturn]] void Fail(TFailure kind, const std::string& what, int err) const;

  const std::shared_ptr<IModemLines> lines_;
  uFileUtils::TFd fd_;
  uFileUtils::TFd writeFd_;  // blocking
  std::string path_;
  bool pseudo_ = false;
  mutable std::atomic<bool> hasLines_{true};
  mutable std::atomic<bool> hasCounters_{true};
};

// A thread whose body blocks in system calls that no descriptor can wake (TIOCMIWAIT, a
// blocking write): Wake sends it a real-time signal whose handler does nothing, so the call
// returns EINTR (or a partial count); Stop sets Stopping() and repeats the signal until the
// body has returned (a signal can arrive just before the call), then joins. The signal is
// installed once for the process, without SA_RESTART; a real-time signal that another
// component already handles is left alone.
class TSignalledThread {
 public:
  using TBody = std::function<void(TSignalledThread& thread)>;
  // Raises std::system_error when the thread cannot start. With WakeSignal() 0 nothing is
  // sent, and Stop only waits for the body to return.
  TSignalledThread(std::string name, TBody body);
  ~TSignalledThread() { Stop(); }
  TSignalledThread(const TSignalledThread&) = delete;
  TSignalledThread& operator=(const TSignalledThread&) = delete;

  bool Stopping() const noexcept { return stopping_.load(); }
  // One signal now, when the body runs; a body that has not yet entered its call misses it.
  void Wake();
  void Stop();
  // The signal used; 0 when none could be installed.
  static int WakeSignal();

 private:
  void Run(uThreadUtils::TThreadRunner& runner);

  const TBody body_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable left_;
  bool started_ = false;
  bool done_ = false;
  pthread_t thread_{};
  std::unique_ptr<uThreadUtils::TThreadRunner> runner_;
};

// Waits for changes of the input lines on a thread of its own ("Serial lines thread") and
// calls onChange after each. When the tty cannot wait (ENOTTY, EINVAL) or the device went,
// the thread calls onChange once more and ends; Failed() then holds the errno, and the owner
// reads the lines on its own schedule instead.
class TModemLineWatcher {
 public:
  // Nothing starts when no wake-up signal could be installed; Failed() is then ENOTSUP.
  TModemLineWatcher(IModemLines& lines, int fd, std::function<void()> onChange);
  ~TModemLineWatcher() { Stop(); }
  TModemLineWatcher(const TModemLineWatcher&) = delete;
  TModemLineWatcher& operator=(const TModemLineWatcher&) = delete;

  void Stop() { thread_.reset(); }
  int Failed() const noexcept { return failed_.load(); }

 private:
  void Run(TSignalledThread& thread);

  IModemLines& lines_;
  const int fd_;
  const std::function<void()> onChange_;
  std::atomic<int> failed_{0};
  std::unique_ptr<TSignalledThread> thread_;
};

}  // namespace uSerialTty
