// The serial port engine over pseudo-terminals: data both ways, line settings on the tty,
// the output queue, events and line changes (through fake modem lines), hang-up, port names.
#include "providers/AfComPort.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <condition_variable>

#include "providers/uComPortNames.h"
#include "support/SerialPty.h"

using AfComPort::EAfComPortError;
using AfComPort::TAfBaudrate;
using AfComPort::TAfComPort;
using AfComPort::TAfLine;
using testsupport::WaitUntil;

namespace {

// Records the engine's events; reads the input at each one unless told not to.
struct TEvents {
  std::mutex mutex;
  std::vector<std::pair<int, std::uint32_t>> events;
  std::string received;
  std::atomic<bool> read{true};
  std::atomic<bool> closeInHandler{false};

  void OnEvent(TAfComPort* sender, int kind, std::uint32_t flags) {
    std::string data = read ? sender->ReadPending() : std::string();
    if (closeInHandler) sender->ClosePort();
    std::lock_guard lock(mutex);
    events.emplace_back(kind, flags);
    received += data;
  }
  std::string Received() {
    std::lock_guard lock(mutex);
    return received;
  }
  int Count(int kind, std::uint32_t anyOf = 0xFFFFFFFF) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const auto& [k, f] : events) n += k == kind && (kind != 1 || (f & anyOf) != 0);
    return n;
  }
  std::uint32_t FlagsOfKind(int kind) {
    std::lock_guard lock(mutex);
    std::uint32_t all = 0;
    for (const auto& [k, f] : events)
      if (k == kind) all |= f;
    return all;
  }
  void Clear() {
    std::lock_guard lock(mutex);
    events.clear();
  }
};

class ComPortTest : public testing::Test {
 protected:
  void SetUp() override {
    port_.SetPortName(pty_.SlavePath());
    port_.SetOnNonSyncEvent({&events_, &TEvents::OnEvent});
  }
  void TearDown() override { port_.ClosePort(); }
  // Bytes the device side has not read.
  int MasterInput() const {
    int count = 0;
    ::ioctl(pty_.Master(), FIONREAD, &count);
    return count;
  }

  testsupport::TPtyPair pty_;
  TEvents events_;
  TAfComPort port_;
};

std::string AllByteValues(int times) {
  std::string bytes;
  for (int t = 0; t < times; ++t)
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const EAfComPortError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

TEST(ComPortDefaults, AreThoseOfTheComponent) {
  TAfComPort port;
  EXPECT_EQ(port.GetComNumber(), 0);
  EXPECT_EQ(port.GetBaudRate(), TAfBaudrate::br115200);
  EXPECT_EQ(port.GetUserBaudRate(), 0u);
  EXPECT_EQ(port.GetDatabits(), AfComPort::TAfDatabits::db8);
  EXPECT_EQ(port.GetParity(), AfComPort::TAfParity::paNone);
  EXPECT_EQ(port.GetStopbits(), AfComPort::TAfStopbits::sbOne);
  EXPECT_EQ(port.GetFlowControl(), AfComPort::TAfFlowControl::fwNone);
  EXPECT_TRUE(port.GetDTR());
  EXPECT_TRUE(port.GetRTS());
  EXPECT_EQ(port.GetInBufSize(), 4096);
  EXPECT_EQ(port.GetOutBufSize(), 2048);
  EXPECT_EQ(port.GetXOnChar(), 17);
  EXPECT_EQ(port.GetXOffChar(), 19);
  EXPECT_FALSE(port.IsPortOpen());
  EXPECT_EQ(port.ReadPending(), "");
  EXPECT_EQ(port.PendingInputCount(), 0);
  EXPECT_FALSE(port.LineState(TAfLine::CTS));
}

TEST(ComPortDefaults, UserRateAndNamedRatesReplaceEachOther) {
  TAfComPort port;
  port.SetUserBaudRate(9600);
  EXPECT_EQ(port.GetBaudRate(), TAfBaudrate::brUser);
  port.SetBaudRate(TAfBaudrate::br57600);
  EXPECT_EQ(port.GetUserBaudRate(), 0u);
  port.SetBaudRate(TAfBaudrate::brUser);  // keeps the rate the line has
  EXPECT_EQ(port.GetUserBaudRate(), 57600u);
  EXPECT_EQ(AfComPort::BaudrateValue(TAfBaudrate::br256000), 256000u);
  EXPECT_EQ(AfComPort::BaudrateValue(TAfBaudrate::brUser), 0u);
}

TEST_F(ComPortTest, EveryByteValueGoesBothWaysUnchanged) {
  port_.SetOutBufSize(4096);
  port_.OpenPort();
  const std::string bytes = AllByteValues(4);
  ASSERT_TRUE(pty_.Write(bytes));
  EXPECT_TRUE(WaitUntil([&] { return events_.Received().size() >= bytes.size(); }));
  EXPECT_EQ(events_.Received(), bytes);
  EXPECT_GE(events_.Count(1, AfComPort::EV_RXCHAR), 1);

  port_.QueueWrite(bytes);
  EXPECT_EQ(pty_.Read(bytes.size()), bytes);
  EXPECT_TRUE(WaitUntil([&] { return events_.Count(0) >= 1; }));  // the queue went out
}

TEST_F(ComPortTest, LineSettingsReachTheTtyAtOpenAndWhileOpen) {
  // A pty holds every frame as 8 bits without parity; the other bits show what was asked.
  port_.SetUserBaudRate(56000);
  port_.SetParity(AfComPort::TAfParity::paOdd);
  port_.SetStopbits(AfComPort::TAfStopbits::sbTwo);
  port_.OpenPort();
  EXPECT_EQ(testsupport::OutputSpeed(pty_.Slave()), 56000u);
  EXPECT_EQ(pty_.SlaveSettings().c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t{PARODD | CSTOPB});

  port_.SetBaudRate(TAfBaudrate::br14400);
  port_.SetStopbits(AfComPort::TAfStopbits::sbOne);
  port_.SetParity(AfComPort::TAfParity::paSpace);
  port_.SetFlowControl(AfComPort::TAfFlowControl::fwRtsCts);
  EXPECT_EQ(testsupport::OutputSpeed(pty_.Slave()), 14400u);
  EXPECT_EQ(pty_.SlaveSettings().c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS),
            tcflag_t{CMSPAR | CRTSCTS});
}

TEST_F(ComPortTest, ASettingTheDeviceRefusesRaisesAndTheOldOneStays) {
  port_.OpenPort();
  const std::string error =
      ErrorOf([&] { port_.SetStopbits(AfComPort::TAfStopbits::sbOneAndHalf); });
  EXPECT_EQ(error, "Error setting parameters from DCB (" + pty_.SlavePath() +
                       "): 1.5 stop bits are possible only with 5 data bits");
  EXPECT_EQ(port_.GetStopbits(), AfComPort::TAfStopbits::sbOne);
  EXPECT_EQ(pty_.SlaveSettings().c_cflag & CSTOPB, 0u);
  EXPECT_NE(ErrorOf([&] { port_.SetUserBaudRate(0); }), "(no error)");
  EXPECT_EQ(port_.GetBaudRate(), TAfBaudrate::br115200);
  EXPECT_EQ(testsupport::OutputSpeed(pty_.Slave()), 115200u);
}

TEST_F(ComPortTest, ALargeWriteGoesThroughTheQueueWholeAndInOrder) {
  constexpr int kQueue = 256 * 1024;
  port_.SetOutBufSize(kQueue);
  port_.OpenPort();
  std::string data(4 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);

  std::string got;
  std::thread reader([&] { got = pty_.Read(data.size(), 30000); });
  std::size_t queued = 0;
  while (queued < data.size()) {
    const auto room = static_cast<std::size_t>(port_.OutputFree());
    if (room < 4096) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const std::size_t n = std::min(room, data.size() - queued);
    port_.QueueWrite(data.substr(queued, n));
    queued += n;
  }
  reader.join();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST_F(ComPortTest, QueueWriteRaisesWhenClosedOrWithoutRoomAndKeepsTheQueue) {
  EXPECT_EQ(ErrorOf([&] { port_.QueueWrite("abc"); }),
            " - Write data error [requested: 3, free: 0] ");
  port_.QueueWrite("");  // nothing, open or not
  port_.SetOutBufSize(10);
  port_.OpenPort();
  EXPECT_EQ(ErrorOf([&] { port_.QueueWrite(std::string(11, 'x')); }),
            " - Write data error [requested: 11, free: 10] ");
  port_.QueueWrite("0123456789");
  EXPECT_EQ(pty_.Read(10), "0123456789");
}

TEST_F(ComPortTest, PurgeTransmitDropsWhatTheQueueStillHolds) {
  constexpr int kQueue = 1024 * 1024;
  port_.SetOutBufSize(kQueue);
  port_.OpenPort();
  // Nobody reads the master end: the pty fills up and the rest waits in the queue.
  port_.QueueWrite(std::string(kQueue, 'q'));
  ASSERT_TRUE(WaitUntil([&] { return MasterInput() > 0; }));  // the thread is writing
  port_.PurgeTransmit();
  EXPECT_EQ(port_.OutputFree(), kQueue);
  const std::string got = pty_.Read(kQueue, 300);
  EXPECT_LT(got.size(), static_cast<std::size_t>(kQueue));
}

TEST_F(ComPortTest, CloseEndsAWriteThatWaitsForRoom) {
  constexpr int kQueue = 1024 * 1024;
  port_.SetOutBufSize(kQueue);
  port_.OpenPort();
  port_.QueueWrite(std::string(kQueue, 'w'));  // nobody reads: the write thread waits
  ASSERT_TRUE(WaitUntil([&] { return MasterInput() > 0; }));
  const auto start = std::chrono::steady_clock::now();
  port_.ClosePort();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(port_.IsPortOpen());
}

TEST_F(ComPortTest, InputTheHandlerLeavesIsReportedAgainAfterAnIdleWaitNotInALoop) {
  events_.read = false;
  port_.OpenPort();
  ASSERT_TRUE(pty_.Write("waiting"));
  EXPECT_TRUE(WaitUntil([&] { return events_.Count(2) >= 1; }));
  {
    std::lock_guard lock(events_.mutex);
    for (const auto& [kind, flags] : events_.events) {
      if (kind == 2) {
        EXPECT_EQ(flags, 7u);
      }
    }
  }
  EXPECT_LE(events_.Count(1), 5);  // once per idle wait at most, not a loop
  EXPECT_EQ(port_.PendingInputCount(), 7);
  EXPECT_EQ(port_.ReadPending(), "waiting");
  EXPECT_EQ(port_.PendingInputCount(), 0);
}

TEST_F(ComPortTest, ThePeerHangingUpIsReportedAndTheDeviceCountsAsGone) {
  port_.OpenPort();
  ASSERT_TRUE(pty_.Write("last words"));
  ASSERT_TRUE(WaitUntil([&] { return events_.Received() == "last words"; }));
  events_.Clear();
  pty_.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] { return (events_.FlagsOfKind(1) & AfComPort::EV_ERR) != 0; }));
  errno = 0;
  const int count = port_.PendingInputCount();
  const int err = errno;
  EXPECT_EQ(count, 0);
  EXPECT_EQ(err, EIO);
  EXPECT_TRUE(port_.IsPortOpen());  // until the owner closes it
  const std::string error = ErrorOf([&] { port_.QueueWrite("x"); });
  EXPECT_EQ(error.rfind(" - Write data error [requested: 1, free: 0] (", 0), 0u) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(events_.Count(1), 1);  // one report, no loop on the hung-up tty
  port_.ClosePort();
  EXPECT_FALSE(port_.IsPortOpen());
}

TEST_F(ComPortTest, ClosingInsideTheHandlerStopsThePortAndTheNextOpenFinishesIt) {
  events_.closeInHandler = true;
  port_.OpenPort();
  ASSERT_TRUE(pty_.Write("x"));
  EXPECT_TRUE(WaitUntil([&] { return !port_.IsPortOpen(); }));
  events_.closeInHandler = false;
  port_.OpenPort();
  EXPECT_TRUE(port_.IsPortOpen());
  ASSERT_TRUE(pty_.Write("again"));
  EXPECT_TRUE(WaitUntil([&] { return events_.Received().find("again") != std::string::npos; }));
}

TEST_F(ComPortTest, CloseEndsBothThreads) {
  const auto names = [] {
    std::vector<std::string> list;
    for (const auto* runner : uThreadUtils::ThreadRunnerList()->Snapshot())
      list.push_back(runner->RunnerName());
    return list;
  };
  port_.OpenPort();
  const auto open = names();
  EXPECT_EQ(std::count(open.begin(), open.end(), AfComPort::kEventThreadName), 1);
  EXPECT_EQ(std::count(open.begin(), open.end(), AfComPort::kWriteThreadName), 1);
  port_.ClosePort();
  const auto closed = names();
  EXPECT_EQ(std::count(closed.begin(), closed.end(), AfComPort::kEventThreadName), 0);
  EXPECT_EQ(std::count(closed.begin(), closed.end(), AfComPort::kWriteThreadName), 0);
  port_.ClosePort();  // nothing when closed
}

TEST_F(ComPortTest, BufferSizesChangeOnlyWhileClosed) {
  port_.OpenPort();
  EXPECT_EQ(ErrorOf([&] { port_.SetOutBufSize(100); }), " - Port is not closed ");
  EXPECT_EQ(ErrorOf([&] { port_.SetInBufSize(100); }), " - Port is not closed ");
  EXPECT_EQ(ErrorOf([&] { port_.SetOutBufSize(2048); }), "(no error)");  // the same size
  port_.ClosePort();
  port_.SetOutBufSize(100);
  EXPECT_EQ(port_.GetOutBufSize(), 100);
}

TEST(ComPortOpen, FailuresNameThePortTheDeviceAndTheReason) {
  testsupport::TTempFolder map;
  testsupport::TScopedEnv env(uComPortNames::kPortMapVariable, map.Path().string());
  std::filesystem::create_symlink("/dev/ttyNOTHERE", map.Path() / "com9");
  struct TCase {
    std::string name;
    std::string message;
    int code;
  };
  const TCase cases[] = {
      {"", "Invalid port number (COM0)", ENOENT},
      {"ttyUSB0", "Invalid port number (ttyUSB0)", ENOENT},
      {"/dev/no-such-port", "Invalid port number (/dev/no-such-port): no such device", ENOENT},
      {"COM9",
       "Invalid port number (COM9): " + (map.Path() / "com9").string() +
           " -> /dev/ttyNOTHERE: no such device",
       ENOENT},
      {"/dev/null", "Invalid port number (/dev/null): not a serial port", ENOTTY},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TAfComPort port;
    port.SetPortName(c.name);
    try {
      port.OpenPort();
      ADD_FAILURE() << "opened";
    } catch (const EAfComPortError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
      EXPECT_EQ(e.Code(), c.code);
    }
    EXPECT_FALSE(port.IsPortOpen());
  }
}

TEST(ComPortOpen, APortInUseSaysWhoHasIt) {
  testsupport::TPtyPair pty;
  TAfComPort first;
  TAfComPort second;
  first.SetPortName(pty.SlavePath());
  second.SetPortName(pty.SlavePath());
  first.OpenPort();
  EXPECT_EQ(ErrorOf([&] { second.OpenPort(); }),
            "Can't open device " + pty.SlavePath() + ": in use by this program");
}

TEST(ComPortOpen, ComNumbersFollowThePortMapAndAChangeWhileOpenReopens) {
  testsupport::TTempFolder map;
  testsupport::TScopedEnv env(uComPortNames::kPortMapVariable, map.Path().string());
  testsupport::TPtyPair first;
  testsupport::TPtyPair second;
  std::filesystem::create_symlink(first.SlavePath(), map.Path() / "com7");
  std::filesystem::create_symlink(second.SlavePath(), map.Path() / "com8");
  TAfComPort port;
  port.SetComNumber(7);
  EXPECT_EQ(port.GetPortName(), "COM7");
  EXPECT_EQ(port.DevicePath(), (map.Path() / "com7").string());
  port.OpenPort();
  port.QueueWrite("to seven");
  EXPECT_EQ(first.Read(8), "to seven");

  port.SetPortName("com8");  // open: closed, renamed, opened again
  EXPECT_TRUE(port.IsPortOpen());
  EXPECT_EQ(port.GetComNumber(), 8);
  port.QueueWrite("to eight");
  EXPECT_EQ(second.Read(8), "to eight");

  EXPECT_THROW(port.SetComNumber(99), EAfComPortError);  // no such port: closed, and raised
  EXPECT_FALSE(port.IsPortOpen());
  EXPECT_EQ(port.GetComNumber(), 99);
}

namespace {
// The engine on a pty with fake modem lines.
class ComPortLinesTest : public ComPortTest {
 protected:
  void SetUp() override {
    ComPortTest::SetUp();
    port_.SetModemLines(lines_);
  }
  std::shared_ptr<testsupport::TFakeModemLines> lines_ =
      std::make_shared<testsupport::TFakeModemLines>();
};
}  // namespace

TEST_F(ComPortLinesTest, LineChangesBecomeLineEvents) {
  using uSerialTty::TLineCounters;
  struct TCase {
    const char* name;
    int mask;
    int state;
    std::function<void(TLineCounters&)> counters;
    std::uint32_t flag;
  };
  const TCase cases[] = {
      {"CTS on", uSerialTty::kLineCts, uSerialTty::kLineCts, [](TLineCounters& c) { ++c.Cts; },
       AfComPort::EV_CTS},
      {"DSR on", uSerialTty::kLineDsr, uSerialTty::kLineDsr, [](TLineCounters& c) { ++c.Dsr; },
       AfComPort::EV_DSR},
      {"DCD on", uSerialTty::kLineDcd, uSerialTty::kLineDcd, [](TLineCounters& c) { ++c.Dcd; },
       AfComPort::EV_RLSD},
      {"CTS pulse seen only by its counter", 0, 0, [](TLineCounters& c) { c.Cts += 2; },
       AfComPort::EV_CTS},
      {"a ring", 0, 0, [](TLineCounters& c) { ++c.Ring; }, AfComPort::EV_RING},
      {"a framing error", 0, 0, [](TLineCounters& c) { ++c.Frame; }, AfComPort::EV_ERR},
      {"an overrun", 0, 0, [](TLineCounters& c) { ++c.Overrun; }, AfComPort::EV_ERR},
      {"a parity error", 0, 0, [](TLineCounters& c) { ++c.Parity; }, AfComPort::EV_ERR},
      {"a break", 0, 0, [](TLineCounters& c) { ++c.Break; }, AfComPort::EV_BREAK},
  };
  port_.OpenPort();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    events_.Clear();
    lines_->Change(c.mask, c.state, c.counters);
    EXPECT_TRUE(WaitUntil([&] { return events_.Count(1) >= 1; }));
    EXPECT_EQ(events_.FlagsOfKind(1), c.flag);
  }
  EXPECT_TRUE(port_.LineState(TAfLine::CTS));
  EXPECT_TRUE(port_.LineState(TAfLine::DSR));
  EXPECT_TRUE(port_.LineState(TAfLine::RLSD));
  EXPECT_FALSE(port_.LineState(TAfLine::RING));
}

TEST_F(ComPortLinesTest, WithoutCountersARingIsTheRiseOfItsLine) {
  lines_->hasCounters = false;
  port_.OpenPort();
  lines_->Change(uSerialTty::kLineRing, uSerialTty::kLineRing);
  EXPECT_TRUE(WaitUntil([&] { return events_.Count(1) >= 1; }));
  EXPECT_EQ(events_.FlagsOfKind(1), AfComPort::EV_RING);
  events_.Clear();
  lines_->Change(uSerialTty::kLineRing, 0);  // the fall is no new ring
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(events_.Count(1), 0);
}

TEST_F(ComPortLinesTest, ADriverThatCannotWaitHasItsLinesRead) {
  lines_->canWait = false;
  port_.OpenPort();
  lines_->Change(uSerialTty::kLineDsr, uSerialTty::kLineDsr);
  EXPECT_TRUE(WaitUntil([&] { return events_.Count(1, AfComPort::EV_DSR) >= 1; }));
}

TEST_F(ComPortLinesTest, DtrAndRtsFollowTheSettingsFromOpenOn) {
  port_.SetRTS(false);
  port_.OpenPort();
  EXPECT_EQ(lines_->Lines() & (uSerialTty::kLineDtr | uSerialTty::kLineRts), uSerialTty::kLineDtr);
  port_.SetDTR(false);
  port_.SetRTS(true);
  EXPECT_EQ(lines_->Lines() & (uSerialTty::kLineDtr | uSerialTty::kLineRts), uSerialTty::kLineRts);
  EXPECT_FALSE(port_.GetDTR());
}
