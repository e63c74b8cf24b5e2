#pragma once
// The serial port component behind the COM port provider: it opens a port by name, keeps
// the line settings, sends through an output queue served by a write thread of its own and
// watches the port on an event thread of its own, which reports to OnNonSyncEvent.
//
// Port names follow uComPortNames ("COMn" or a "/dev/..." path); the line work is
// uSerialTty's. Event thread ("AfComPort event thread"): waits in poll(2) on the tty and on
// wake-up descriptors for close, output sent and line changes, at most 200 ms at a time:
//   kind 0  the output queue has been handed to the driver, flags 0;
//   kind 1  line events, flags of EV_* bits: EV_RXCHAR input arrived; EV_CTS, EV_DSR, EV_RLSD
//           the line changed; EV_RING a ring came; EV_ERR framing, parity or overrun errors,
//           or the device hung up; EV_BREAK a break came;
//   kind 2  200 ms without an event and input is waiting, flags = its byte count.
// Line changes come from TIOCMIWAIT on a watcher thread; a driver that cannot wait has its
// lines read every kLinePollMs instead, and a tty without modem lines (a pseudo-terminal)
// reports none. Input that the handler leaves unread is reported again as kind 2, not in a
// loop of kind 1. Write thread ("AfComPort write thread"): writes the queue in steps through
// the tty's blocking descriptor; the wake-up signal of uSerialTty::TSignalledThread ends a
// write that waits, for a close or a purge.
//
// Threads: the owner's threads call the operations; the handler runs on the event thread
// and may call ReadPending, PendingInputCount, LineState and QueueWrite. ClosePort waits for
// both threads; called on the event thread itself it only stops the port (IsPortOpen false at
// once) and the owner's next OpenPort, ClosePort or the destructor finish the close.
// Failures raise EAfComPortError; its message names the port and the device, its code is the
// errno (0 when no system error is behind it).

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "ci/uMethod.h"
#include "ci/uThreadUtils.h"
#include "providers/uSerialTty.h"

namespace AfComPort {

enum class TAfBaudrate {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000,
  brUser
};
enum class TAfDatabits { db4, db5, db6, db7, db8 };
enum class TAfParity { paNone, paOdd, paEven, paMark, paSpace };
enum class TAfStopbits { sbOne, sbOneAndHalf, sbTwo };
enum class TAfFlowControl { fwNone, fwXOnXOff, fwRtsCts, fwDtrDsr };
// Kept as settings; Linux gives ordinary threads no higher priorities without privileges.
enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};
enum class TAfLine { CTS, DSR, RING, RLSD };

// The rate a value names; 0 for brUser.
std::uint32_t BaudrateValue(TAfBaudrate value) noexcept;

inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;

inline constexpr int kKindOutputSent = 0;
inline constexpr int kKindLineEvents = 1;
inline constexpr int kKindInputWaiting = 2;

inline constexpr std::uint32_t kIdleCheckMs = 200;
inline constexpr std::uint32_t kLinePollMs = 20;
// ReadPending takes at most this much at once.
inline constexpr std::size_t kMaxReadBytes = 1 << 20;
inline constexpr const char* kEventThreadName = "AfComPort event thread";
inline constexpr const char* kWriteThreadName = "AfComPort write thread";

class TAfComPort;
using TAfCPTCoreEvent = uMethod::TMethod<void(TAfComPort* sender, int kind, std::uint32_t flags)>;

class EAfComPortError : public std::runtime_error {
 public:
  EAfComPortError(const std::string& message, int code)
      : std::runtime_error(message), code_(code) {}
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

class TAfComPort {
 public:
  TAfComPort();
  ~TAfComPort();
  TAfComPort(const TAfComPort&) = delete;
  TAfComPort& operator=(const TAfComPort&) = delete;

  // ---- settings; the line settings and DTR/RTS take effect at once on an open port, and
  // a value the device refuses raises and leaves the previous one in place

  std::uint16_t GetComNumber() const;
  // Closes an open port, changes the number and opens it again (raising if that fails).
  void SetComNumber(std::uint16_t number);
  // "COMn" or a "/dev/..." path; "" while no port is named.
  std::string GetPortName() const;
  // As SetComNumber; "COMn" also sets ComNumber n, a device path sets it to 0.
  void SetPortName(const std::string& name);
  TAfBaudrate GetBaudRate() const;
  // Another value than brUser resets UserBaudRate to 0; brUser keeps the present rate.
  void SetBaudRate(TAfBaudrate value);
  std::uint32_t GetUserBaudRate() const;
  // Also sets BaudRate to brUser.
  void SetUserBaudRate(std::uint32_t rate);
  TAfDatabits GetDatabits() const;
  void SetDatabits(TAfDatabits value);
  TAfParity GetParity() const;
  void SetParity(TAfParity value);
  TAfStopbits GetStopbits() const;
  void SetStopbits(TAfStopbits value);
  TAfFlowControl GetFlowControl() const;
  void SetFlowControl(TAfFlowControl value);
  unsigned char GetXOnChar() const;
  void SetXOnChar(unsigned char value);
  unsigned char GetXOffChar() const;
  void SetXOffChar(unsigned char value);
  bool GetDTR() const;  // the wanted state, not a reading
  void SetDTR(bool on);
  bool GetRTS() const;
  void SetRTS(bool on);
  // Buffer sizes: changing one while the port is open raises "Port is not closed". The
  // output queue holds OutBufSize bytes; the kernel's tty input buffer has a fixed size,
  // so InBufSize is kept but changes nothing.
  int GetInBufSize() const;
  void SetInBufSize(int size);
  int GetOutBufSize() const;
  void SetOutBufSize(int size);
  TThreadPriority GetEventThreadPriority() const;
  void SetEventThreadPriority(TThreadPriority value);
  TThreadPriority GetWriteThreadPriority() const;
  void SetWriteThreadPriority(TThreadPriority value);
  TAfCPTCoreEvent GetOnNonSyncEvent() const;
  void SetOnNonSyncEvent(TAfCPTCoreEvent handler);
  // The modem-line calls of the next open (the kernel's by default); tests drive line
  // changes through a fake.
  void SetModemLines(std::shared_ptr<uSerialTty::IModemLines> lines);

  // ---- operations

  void OpenPort();
  // Discards pending input and output, stops and joins both threads, closes the device.
  void ClosePort();
  bool IsPortOpen() const;
  // The device the port name leads to now; "" when it names none.
  std::string DevicePath() const;
  // All bytes waiting in the input queue now, without waiting; "" when closed. A failing
  // read leaves errno set (EIO: the device is gone).
  std::string ReadPending();
  // Puts data whole into the output queue; raises " - Write data error [requested: N,
  // free: M] " when the port is closed, the device is gone or the queue lacks room.
  void QueueWrite(const std::string& data);
  // Free bytes in the output queue; 0 when closed.
  int OutputFree() const;
  // Bytes waiting in the input queue (0 when closed); a failing query leaves errno set
  // (EIO, ENXIO, ENODEV: the device is gone) and answers 0.
  int PendingInputCount();
  // Discards output not yet sent, in the queue and in the driver.
  void PurgeTransmit();
  // The present state of an input line; false when closed or without modem lines.
  bool LineState(TAfLine line);

 private:
  struct TSettings {
    std::string PortName;
    TAfBaudrate BaudRate = TAfBaudrate::br115200;
    std::uint32_t UserBaudRate = 0;
    TAfDatabits Databits = TAfDatabits::db8;
    TAfParity Parity = TAfParity::paNone;
    TAfStopbits Stopbits = TAfStopbits::sbOne;
    TAfFlowControl FlowControl = TAfFlowControl::fwNone;
    unsigned char XOnChar = 17;
    unsigned char XOffChar = 19;
    bool DTR = true;
    bool RTS = true;
    int InBufSize = 4096;
    int OutBufSize = 2048;
    TThreadPriority EventThreadPriority = TThreadPriority::tpNormal;
    TThreadPriority WriteThreadPriority = TThreadPriority::tpHighest;
  };
  struct TLineSnapshot {
    int Lines = 0;
    bool HasCounters = false;
    uSerialTty::TLineCounters Counters;
  };

  static uSerialTty::TLineSettings LineSettings(const TSettings& s);
  // Applies next on an open port (raising as described) and keeps it; with mutex_ held.
  void ChangeLineSettings(const TSettings& next);
  void ChangePort(const std::string& name);
  void ChangeBufferSize(int TSettings::*size, int value);
  std::string DisplayName() const;  // with mutex_ held
  [[noreturn]] void WriteError(std::size_t requested, std::size_t free, int code) const;

  bool OnEngineThread() const noexcept;
  void DropQueue();  // with mutex_ held
  void RequestStop();
  void Finish();
  void EventLoop(uThreadUtils::TThreadRunner& runner);
  void WriteLoop(uSerialTty::TSignalledThread& thread);
  void Raise(int kind, std::uint32_t flags);
  std::uint32_t LineChanges(TLineSnapshot& previous);
  TLineSnapshot Snapshot();

  mutable std::mutex mutex_;  // settings, the open state, the queue and the tty's lifetime
  TSettings settings_;
  TAfCPTCoreEvent onNonSyncEvent_;
  std::shared_ptr<uSerialTty::IModemLines> modemLines_;
  bool open_ = false;
  std::atomic<bool> gone_{false};
  std::atomic<std::uint64_t> reads_{0};  // ReadPending calls, for the event thread

  // The port while open; created by OpenPort, freed by Finish.
  std::unique_ptr<uSerialTty::TSerialTty> tty_;
  std::unique_ptr<uSerialTty::TWakeFd> stopFd_;
  std::unique_ptr<uSerialTty::TWakeFd> queuedFd_;
  std::unique_ptr<uSerialTty::TWakeFd> sentFd_;
  std::unique_ptr<uSerialTty::TWakeFd> linesFd_;
  TLineSnapshot openLines_;               // the lines at open, for the event thread to compare with
  std::deque<std::string> queue_;         // the output queue, one piece per QueueWrite
  std::size_t queued_ = 0;                // its bytes, the piece being written included
  std::atomic<std::uint64_t> purges_{0};  // tells the write thread its piece was dropped

  std::mutex closeMutex_;  // one OpenPort or ClosePort at a time
  std::unique_ptr<uSerialTty::TModemLineWatcher> watcher_;
  std::unique_ptr<uSerialTty::TSignalledThread> writeThread_;
  std::unique_ptr<uThreadUtils::TThreadRunner> eventThread_;
};

}  // namespace AfComPort
