// The termios unit on pseudo-terminals: line settings as the tty holds them, refusals,
// open failures with their reasons, modem lines through the seam.
#include "providers/uSerialTty.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

#include "support/SerialPty.h"

using uSerialTty::ETtyError;
using uSerialTty::TFailure;
using uSerialTty::TFlowControl;
using uSerialTty::TLineSettings;
using uSerialTty::TParity;
using uSerialTty::TSerialTty;
using uSerialTty::TStopBits;

namespace {

TLineSettings Settings(std::uint32_t rate, int bits, TParity parity, TStopBits stop,
                       TFlowControl flow = TFlowControl::None) {
  TLineSettings s;
  s.BaudRate = rate;
  s.DataBits = bits;
  s.Parity = parity;
  s.StopBits = stop;
  s.FlowControl = flow;
  return s;
}

// Opens the pair's slave through the unit, with the kernel's modem lines.
struct TOpenPty {
  testsupport::TPtyPair pty;
  TSerialTty tty;
  explicit TOpenPty(const TLineSettings& s = {}) { tty.Open(pty.SlavePath(), s, true, true); }
};

}  // namespace

TEST(SerialTty, EveryListedRateAndOthersReachTheTty) {
  TOpenPty open;
  for (const std::uint32_t rate :
       {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u, 57600u,
        115200u, 128000u, 256000u, 12345u, 1000000u}) {
    SCOPED_TRACE(rate);
    open.tty.Apply(Settings(rate, 8, TParity::None, TStopBits::One));
    EXPECT_EQ(testsupport::OutputSpeed(open.pty.Slave()), rate);
    EXPECT_EQ(open.tty.Settings().BaudRate, rate);
  }
}

TEST(SerialTty, FrameSettingsAreTheTtysControlFlags) {
  struct TCase {
    TLineSettings settings;
    tcflag_t size;
    tcflag_t set;    // of PARENB, PARODD, CMSPAR, CSTOPB, CRTSCTS
    tcflag_t iflag;  // of IXON, IXOFF
  };
  const TCase cases[] = {
      {Settings(9600, 8, TParity::None, TStopBits::One), CS8, 0, 0},
      {Settings(9600, 7, TParity::Even, TStopBits::One), CS7, PARENB, 0},
      {Settings(9600, 7, TParity::Odd, TStopBits::Two), CS7, PARENB | PARODD | CSTOPB, 0},
      {Settings(9600, 6, TParity::Mark, TStopBits::One), CS6, PARENB | PARODD | CMSPAR, 0},
      {Settings(9600, 8, TParity::Space, TStopBits::Two), CS8, PARENB | CMSPAR | CSTOPB, 0},
      {Settings(9600, 5, TParity::None, TStopBits::OneAndHalf), CS5, CSTOPB, 0},
      {Settings(9600, 8, TParity::None, TStopBits::One, TFlowControl::RtsCts), CS8, CRTSCTS, 0},
      {Settings(9600, 8, TParity::None, TStopBits::One, TFlowControl::XOnXOff), CS8, 0,
       IXON | IXOFF},
  };
  TOpenPty open;
  ASSERT_TRUE(open.tty.IsPseudoTerminal());
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.settings.DataBits << " bits, parity " << static_cast<int>(c.settings.Parity)
                 << ", stop " << static_cast<int>(c.settings.StopBits));
    EXPECT_EQ(uSerialTty::ControlFlags(c.settings), c.size | c.set);
    open.tty.Apply(c.settings);
    const termios t = open.pty.SlaveSettings();
    // The pty driver holds every frame as 8 bits without parity; the rest is as asked.
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), c.set & ~PARENB);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);  // carrier loss must not hang the line up
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    // Raw: nothing translated, echoed or turned into signals; breaks not read as NUL bytes.
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT), 0u);
    EXPECT_NE(t.c_iflag & IGNBRK, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(open.tty.Settings().FlowControl, c.settings.FlowControl);
  }
}

TEST(SerialTty, SettingsTermiosCannotHoldAreRefusedAndThePreviousOnesStay) {
  const TLineSettings good = Settings(19200, 8, TParity::None, TStopBits::Two);
  TOpenPty open(good);
  struct TCase {
    TLineSettings settings;
    const char* reason;
  };
  const TCase cases[] = {
      {Settings(0, 8, TParity::None, TStopBits::One), "a baud rate of 0"},
      {Settings(9600, 4, TParity::None, TStopBits::One), "4 data bits are not possible"},
      {Settings(9600, 9, TParity::None, TStopBits::One), "9 data bits are not possible"},
      {Settings(9600, 8, TParity::None, TStopBits::OneAndHalf), "only with 5 data bits"},
      {Settings(9600, 5, TParity::None, TStopBits::Two), "not possible with 5 data bits"},
      {Settings(9600, 8, TParity::None, TStopBits::One, TFlowControl::DtrDsr), "DTR/DSR"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.reason);
    try {
      open.tty.Apply(c.settings);
      ADD_FAILURE() << "accepted";
    } catch (const ETtyError& e) {
      EXPECT_EQ(e.Kind(), TFailure::Settings);
      EXPECT_NE(std::string(e.what()).find(open.pty.SlavePath() + ": "), std::string::npos);
      EXPECT_NE(e.Reason().find(c.reason), std::string::npos) << e.Reason();
    }
    EXPECT_EQ(open.tty.Settings(), good);
    EXPECT_EQ(testsupport::OutputSpeed(open.pty.Slave()), 19200u);
  }
}

TEST(SerialTty, OpenFailuresNameTheDeviceAndTheReason) {
  struct TCase {
    std::string path;
    int code;
    const char* reason;
  };
  const TCase cases[] = {
      {"/dev/no-such-serial-port", ENOENT, "no such device"},
      {"/dev/null", ENOTTY, "not a serial port"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.path);
    TSerialTty tty;
    try {
      tty.Open(c.path, {}, true, true);
      ADD_FAILURE() << "opened";
    } catch (const ETtyError& e) {
      EXPECT_EQ(e.Kind(), TFailure::Open);
      EXPECT_EQ(e.Code(), c.code);
      EXPECT_EQ(std::string(e.what()), c.path + ": " + c.reason);
    }
    EXPECT_FALSE(tty.IsOpen());
  }
}

TEST(SerialTty, ASecondOpenOfTheSamePortSaysWhoHoldsIt) {
  TOpenPty first;
  TSerialTty second;
  try {
    second.Open(first.pty.SlavePath(), {}, true, true);
    ADD_FAILURE() << "opened twice";
  } catch (const ETtyError& e) {
    EXPECT_EQ(e.Code(), EBUSY);
    EXPECT_EQ(e.Reason(), "in use by this program");
  }
  first.tty.Close();
  EXPECT_NO_THROW(second.Open(first.pty.SlavePath(), {}, true, true));  // free again
}

TEST(SerialTty, PortHoldersNameAnotherProcessAndItsProgram) {
  testsupport::TPtyPair pty;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 3, pty.SlavePath().c_str(), O_RDWR | O_NOCTTY, 0);
  pid_t child = 0;
  char sleepName[] = "sleep";
  char seconds[] = "30";
  char* argv[] = {sleepName, seconds, nullptr};
  ASSERT_EQ(posix_spawnp(&child, "sleep", &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  std::string holders;
  // The child holds the port once it runs; "this program" too, through the pair's own end.
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    holders = uSerialTty::PortHolders(pty.SlavePath());
    return holders.find("(sleep)") != std::string::npos;
  }));
  EXPECT_NE(holders.find("process " + std::to_string(child) + " (sleep)"), std::string::npos)
      << holders;
  EXPECT_NE(holders.find("this program"), std::string::npos) << holders;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

TEST(SerialTty, PermissionDeniedNamesTheGroupAndTheFix) {
  testsupport::TTempFolder folder;
  const std::string file = (folder.Path() / "ttyFAKE").string();
  std::ofstream(file).put('x');
  struct TCase {
    gid_t group;
    const char* expected;
  };
  // dialout is gid 20 on Debian; the tests run as root, who is not in it.
  const TCase cases[] = {
      {20,
       "permission denied: the user root is not in the 'dialout' group; fix it with: "
       "sudo usermod -aG dialout $USER, then log out and in again"},
      {0, "permission denied: only root may open it"},
  };
  for (const TCase& c : cases) {
    ASSERT_EQ(::chown(file.c_str(), 0, c.group), 0);
    EXPECT_EQ(uSerialTty::OpenFailureText(file, EACCES), c.expected);
  }
  EXPECT_EQ(uSerialTty::OpenFailureText(file, EIO),
            "no serial port behind it (Input/output error)");
}

TEST(SerialTty, ModemLinesGoThroughTheSeam) {
  testsupport::TPtyPair pty;
  auto lines = std::make_shared<testsupport::TFakeModemLines>();
  TSerialTty tty(lines);
  tty.Open(pty.SlavePath(), {}, true, false);
  EXPECT_EQ(lines->Sets(), (std::vector<std::pair<int, bool>>{{uSerialTty::kLineDtr, true},
                                                              {uSerialTty::kLineRts, false}}));
  lines->Change(uSerialTty::kLineCts | uSerialTty::kLineDcd, uSerialTty::kLineCts);
  EXPECT_EQ(tty.Lines(), uSerialTty::kLineDtr | uSerialTty::kLineCts);
  tty.SetLine(uSerialTty::kLineDtr, false);
  EXPECT_EQ(tty.Lines(), uSerialTty::kLineCts);
  EXPECT_TRUE(tty.HasModemLines());
}

TEST(SerialTty, APseudoTerminalHasNoModemLinesAndThatIsNoError) {
  TOpenPty open;  // the kernel's ioctls: ENOTTY on a pty
  EXPECT_FALSE(open.tty.HasModemLines());
  EXPECT_EQ(open.tty.Lines(), 0);
  EXPECT_NO_THROW(open.tty.SetLine(uSerialTty::kLineRts, false));
  uSerialTty::TLineCounters counters;
  EXPECT_FALSE(open.tty.Counters(counters));
}

TEST(ModemLineWatcher, ReportsEachChangeAndStopEndsABlockedWait) {
  testsupport::TPtyPair pty;
  testsupport::TFakeModemLines lines;
  std::atomic<int> changes{0};
  {
    uSerialTty::TModemLineWatcher watcher(lines, pty.Slave(), [&] { ++changes; });
    ASSERT_NE(uSerialTty::TSignalledThread::WakeSignal(), 0);
    lines.Change(uSerialTty::kLineCts, uSerialTty::kLineCts);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return changes == 1; }));
    lines.Change(uSerialTty::kLineCts, 0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return changes == 2; }));
    // Blocked in read(2) again; only the wake-up signal can end that.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return lines.waits == 3; }));
    const auto start = std::chrono::steady_clock::now();
    watcher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(watcher.Failed(), 0);
  }
  EXPECT_EQ(changes, 2);
}

TEST(ModemLineWatcher, ATtyThatCannotWaitSaysSoOnceAndTheThreadEnds) {
  testsupport::TPtyPair pty;
  testsupport::TFakeModemLines lines;
  lines.canWait = false;
  std::atomic<int> changes{0};
  uSerialTty::TModemLineWatcher watcher(lines, pty.Slave(), [&] { ++changes; });
  EXPECT_TRUE(testsupport::WaitUntil([&] { return watcher.Failed() == ENOTTY; }));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return changes == 1; }));
  watcher.Stop();
  EXPECT_EQ(changes, 1);
}
