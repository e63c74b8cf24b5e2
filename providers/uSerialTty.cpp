// termios2 (asm/termbits.h) cannot be combined with glibc's <termios.h>, whose struct
// termios has the same name and lacks the free baud rate; this file uses the kernel's
// interface only, through ioctl.
#include "providers/uSerialTty.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace uSerialTty {

namespace fs = std::filesystem;

static_assert(kLineDtr == TIOCM_DTR && kLineRts == TIOCM_RTS && kLineCts == TIOCM_CTS &&
              kLineDcd == TIOCM_CAR && kLineRing == TIOCM_RNG && kLineDsr == TIOCM_DSR);

bool DeviceGone(int err) noexcept {
  return err == EIO || err == ENXIO || err == ENODEV;
}

bool NotSupported(int err) noexcept {
  return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP;
}

std::string ErrnoText(int err) {
  return uFileUtils::ErrnoText(err);
}

// ---- TWakeFd

TWakeFd::TWakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void TWakeFd::Signal() noexcept {
  const std::uint64_t one = 1;
  while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TWakeFd::Drain() noexcept {
  std::uint64_t count = 0;
  while (::read(fd_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

// ---- why an open failed

namespace {

constexpr int kMaxProcesses = 8192;      // /proc entries looked at for holders
constexpr int kMaxFdsPerProcess = 4096;  // descriptors looked at per process
constexpr int kMaxHolders = 3;

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    return found->gr_name;
  return std::to_string(gid);
}

std::string UserName(uid_t uid, gid_t& primaryGroup) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    primaryGroup = found->pw_gid;
    return found->pw_name;
  }
  primaryGroup = ::getgid();
  return std::to_string(uid);
}

bool ProcessHasGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

bool UserHasGroup(const std::string& user, gid_t primary, gid_t gid) {
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) {
    if (count <= 0 || count > 65536) return false;
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) return false;
  }
  return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

std::string PermissionText(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "permission denied";
  if (st.st_gid == 0) return "permission denied: only root may open it";
  const std::string group = GroupName(st.st_gid);
  gid_t primary = 0;
  const std::string user = UserName(::geteuid(), primary);
  if (ProcessHasGroup(st.st_gid))
    return "permission denied, although the program runs in the '" + group +
           "' group that owns it; check its permissions with: ls -l " + path;
  if (UserHasGroup(user, primary, st.st_gid))
    return "permission denied: the user " + user + " was added to the '" + group +
           "' group after this session began; log out and in again";
  return "permission denied: the user " + user + " is not in the '" + group +
         "' group; fix it with: sudo usermod -aG " + group + " $USER, then log out and in again";
}

std::string ProcessName(const fs::path& processDir) {
  std::string name;
  std::string ignored;  // a process that is gone has no name; a longer one is cut
  uFileUtils::ReadWholeFile(processDir / "comm", name, ignored, {.MaxBytes = 64});
  while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
  return name;
}

bool IsNumber(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string PortHolders(const std::string& path) {
  std::error_code ec;
  const fs::path target = fs::canonical(path, ec);
  if (ec) return {};
  const std::string self = std::to_string(::getpid());
  std::string holders;
  int holderCount = 0;
  int processes = 0;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string pid = it->path().filename().string();
    if (!IsNumber(pid)) continue;
    if (++processes > kMaxProcesses || holderCount == kMaxHolders) break;
    std::error_code fdError;
    int fds = 0;
    for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd;
         !fdError && fd != fdEnd && fds < kMaxFdsPerProcess; fd.increment(fdError), ++fds) {
      std::error_code linkError;
      if (fs::read_symlink(fd->path(), linkError) != target || linkError) continue;
      if (!holders.empty()) holders += ", ";
      holders +=
          pid == self ? "this program" : "process " + pid + " (" + ProcessName(it->path()) + ")";
      ++holderCount;
      break;
    }
  }
  return holders;
}

std::string OpenFailureText(const std::string& path, int err) {
  if (err == EACCES || err == EPERM) return PermissionText(path);
  if (err == EBUSY) {
    const std::string holders = PortHolders(path);
    return holders.empty() ? "in use by another program" : "in use by " + holders;
  }
  if (err == ENOENT) return "no such device";
  if (DeviceGone(err)) return "no serial port behind it (" + ErrnoText(err) + ")";
  if (err == ENOTTY) return "not a serial port";
  return ErrnoText(err);
}

// ---- settings

namespace {

std::string Describe(const TLineSettings& s) {
  static constexpr const char* kParity[] = {"no", "odd", "even", "mark", "space"};
  static constexpr const char* kStop[] = {"1", "1.5", "2"};
  return std::to_string(s.BaudRate) + " baud, " + std::to_string(s.DataBits) + " data bits, " +
         kParity[static_cast<int>(s.Parity)] + " parity, " + kStop[static_cast<int>(s.StopBits)] +
         " stop bits";
}

// Why termios cannot express s; empty when it can.
std::string Unrepresentable(const TLineSettings& s) {
  if (s.BaudRate == 0) return "a baud rate of 0 is not possible";
  if (s.DataBits < 5 || s.DataBits > 8)
    return std::to_string(s.DataBits) + " data bits are not possible (5 to 8)";
  if (s.StopBits == TStopBits::OneAndHalf && s.DataBits != 5)
    return "1.5 stop bits are possible only with 5 data bits";
  if (s.StopBits == TStopBits::Two && s.DataBits == 5)
    return "2 stop bits are not possible with 5 data bits";
  if (s.FlowControl == TFlowControl::DtrDsr) return "DTR/DSR flow control is not available";
  return {};
}

constexpr tcflag_t kSizeBits[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kHardwareBits = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;

void Fill(termios2& t, const TLineSettings& s) {
  // Raw: no translation of bytes, no echo, no signals; breaks are counted but not read as
  // NUL bytes, and bytes with parity errors pass unchanged (their count shows the error).
  t.c_iflag = IGNBRK;
  if (s.FlowControl == TFlowControl::XOnXOff) t.c_iflag |= IXON | IXOFF;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | kHardwareBits);
  t.c_cflag |= BOTHER | CLOCAL | CREAD | kSizeBits[s.DataBits - 5];
  if (s.StopBits != TStopBits::One) t.c_cflag |= CSTOPB;  // with CS5 the UART sends 1.5
  switch (s.Parity) {
    case TParity::None:
      break;
    case TParity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case TParity::Even:
      t.c_cflag |= PARENB;
      break;
    case TParity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case TParity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (s.FlowControl == TFlowControl::RtsCts) t.c_cflag |= CRTSCTS;
  t.c_ospeed = t.c_ispeed = s.BaudRate;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cc[VSTART] = s.XOnChar;
  t.c_cc[VSTOP] = s.XOffChar;
}

// UNIX98_PTY_SLAVE_MAJOR and its count, and the old BSD pty slaves (include/uapi/linux/major.h).
bool IsPtySlave(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned int m = major(st.st_rdev);
  return (m >= 136 && m < 144) || m == 3;
}

// What the driver changed of what was asked; empty when it took everything.
std::string Difference(const termios2& asked, const termios2& got, const TLineSettings& s,
                       bool pseudo) {
  const std::uint32_t rate = got.c_ospeed;
  const std::uint64_t off = rate > s.BaudRate ? rate - s.BaudRate : s.BaudRate - rate;
  if (off * 100 > std::uint64_t{s.BaudRate} * kBaudTolerancePercent)
    return "the driver set " + std::to_string(rate) + " baud instead of " +
           std::to_string(s.BaudRate);
  const tcflag_t lost =
      (asked.c_cflag ^ got.c_cflag) & kHardwareBits & (pseudo ? ~(CSIZE | PARENB) : ~tcflag_t{0});
  if (lost & CSIZE) return "the driver does not take " + std::to_string(s.DataBits) + " data bits";
  if (lost & CMSPAR) return "the driver does not take mark or space parity";
  if (lost & (PARENB | PARODD)) return "the driver does not take that parity";
  if (lost & CSTOPB) return "the driver does not take that number of stop bits";
  if (lost & CRTSCTS) return "the driver does not take RTS/CTS flow control";
  if ((asked.c_iflag ^ got.c_iflag) & (IXON | IXOFF))
    return "the driver does not take XON/XOFF flow control";
  return {};
}

}  // namespace

std::uint32_t ControlFlags(const TLineSettings& settings) {
  if (!Unrepresentable(settings).empty()) return 0;
  termios2 t{};
  Fill(t, settings);
  return t.c_cflag & kHardwareBits;
}

TSerialTty::TSerialTty(std::shared_ptr<IModemLines> lines) : lines_(std::move(lines)) {
  if (!lines_) throw std::invalid_argument("TSerialTty needs its modem lines");
}

void TSerialTty::Fail(TFailure kind, const std::string& what, int err) const {
  throw ETtyError(kind, path_, what + (err != 0 ? ": " + ErrnoText(err) : ""), err);
}

void TSerialTty::Open(const std::string& path, const TLineSettings& settings, bool dtr, bool rts) {
  Close();
  path_ = path;
  hasLines_ = true;
  hasCounters_ = true;
  uFileUtils::TFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    throw ETtyError(TFailure::Open, path, OpenFailureText(path, err), err);
  }
  termios2 probe{};
  if (::ioctl(fd.Get(), TCGETS2, &probe) != 0) {
    const int err = errno;
    throw ETtyError(TFailure::Open, path, OpenFailureText(path, err), err);
  }
  // The advisory lock keeps out cooperating programs, root ones too; TIOCEXCL keeps out any
  // program that is not root.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    fd.Reset();  // not to be found among the holders
    throw ETtyError(TFailure::Open, path, OpenFailureText(path, err), err);
  }
  // The writer's own description, opened before TIOCEXCL shuts others out; opened
  // non-blocking (no wait for a carrier) and switched to blocking after.
  uFileUtils::TFd writeFd(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!writeFd || ::fcntl(writeFd.Get(), F_SETFL, 0) != 0) {
    const int err = errno;
    throw ETtyError(TFailure::Open, path, OpenFailureText(path, err), err);
  }
  ::ioctl(fd.Get(), TIOCEXCL);
  pseudo_ = IsPtySlave(fd.Get());
  fd_ = std::move(fd);
  writeFd_ = std::move(writeFd);
  try {
    Purge(true, true);
    Apply(settings);
    SetLine(kLineDtr, dtr);
    SetLine(kLineRts, rts);
  } catch (...) {
    Close();
    throw;
  }
}

void TSerialTty::Close() noexcept {
  if (!fd_) return;
  // Flushed first: closing a tty waits until its output has drained (up to 30 s).
  Purge(true, true);
  ::ioctl(fd_.Get(), TIOCNXCL);
  writeFd_.Reset();
  fd_.Reset();
}

void TSerialTty::Apply(const TLineSettings& settings) {
  const std::string impossible = Unrepresentable(settings);
  if (!impossible.empty()) Fail(TFailure::Settings, impossible, 0);
  termios2 previous{};
  if (::ioctl(fd_.Get(), TCGETS2, &previous) != 0)
    Fail(TFailure::Settings, "cannot read the line settings", errno);
  termios2 asked = previous;
  Fill(asked, settings);
  if (::ioctl(fd_.Get(), TCSETS2, &asked) != 0)
    Fail(TFailure::Settings, "the driver refused " + Describe(settings), errno);
  termios2 got{};
  if (::ioctl(fd_.Get(), TCGETS2, &got) != 0)
    Fail(TFailure::Settings, "cannot read the line settings", errno);
  const std::string difference = Difference(asked, got, settings, pseudo_);
  if (!difference.empty()) {
    ::ioctl(fd_.Get(), TCSETS2, &previous);
    Fail(TFailure::Settings, difference, 0);
  }
}

TLineSettings TSerialTty::Settings() const {
  termios2 t{};
  if (::ioctl(fd_.Get(), TCGETS2, &t) != 0)
    Fail(TFailure::Settings, "cannot read the line settings", errno);
  TLineSettings s;
  s.BaudRate = t.c_ospeed;
  const tcflag_t size = t.c_cflag & CSIZE;
  s.DataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  if (!(t.c_cflag & PARENB))
    s.Parity = TParity::None;
  else if (t.c_cflag & CMSPAR)
    s.Parity = (t.c_cflag & PARODD) ? TParity::Mark : TParity::Space;
  else
    s.Parity = (t.c_cflag & PARODD) ? TParity::Odd : TParity::Even;
  s.StopBits = !(t.c_cflag & CSTOPB) ? TStopBits::One
               : s.DataBits == 5     ? TStopBits::OneAndHalf
                                     : TStopBits::Two;
  if (t.c_cflag & CRTSCTS)
    s.FlowControl = TFlowControl::RtsCts;
  else if (t.c_iflag & (IXON | IXOFF))
    s.FlowControl = TFlowControl::XOnXOff;
  s.XOnChar = t.c_cc[VSTART];
  s.XOffChar = t.c_cc[VSTOP];
  return s;
}

// ---- I/O

ssize_t TSerialTty::ReadSome(char* buffer, std::size_t size) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd_.Get(), buffer, size);
    if (n > 0) return n;
    // With VMIN 1 a read finds data or EAGAIN; end of file means the line hung up.
    if (n == 0) return -EIO;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -errno;
  }
}

ssize_t TSerialTty::WriteSome(const char* data, std::size_t size) noexcept {
  for (;;) {
    const ssize_t n = ::write(fd_.Get(), data, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -errno;
  }
}

ssize_t TSerialTty::WriteWaiting(const char* data, std::size_t size) noexcept {
  const ssize_t n = ::write(writeFd_.Get(), data, size);
  return n >= 0 ? n : -errno;
}

int TSerialTty::InputCount() const noexcept {
  int count = 0;
  if (::ioctl(fd_.Get(), FIONREAD, &count) != 0) return -errno;
  return count;
}

void TSerialTty::Purge(bool input, bool output) noexcept {
  if (!fd_ || (!input && !output)) return;
  const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  ::ioctl(fd_.Get(), TCFLSH, which);
}

// ---- modem lines

void TSerialTty::SetLine(TLine line, bool on) {
  if (!hasLines_) return;
  const int err = lines_->Set(fd_.Get(), line, on);
  if (err == 0) return;
  if (NotSupported(err)) {
    hasLines_ = false;
    return;
  }
  Fail(TFailure::Lines,
       std::string("cannot switch ") + (line == kLineDtr ? "DTR" : "RTS") + (on ? " on" : " off"),
       err);
}

int TSerialTty::Lines() const {
  if (!hasLines_ || !fd_) return 0;
  int lines = 0;
  const int err = lines_->Get(fd_.Get(), lines);
  if (err == 0) return lines;
  if (NotSupported(err)) hasLines_.store(false);
  return 0;
}

bool TSerialTty::Counters(TLineCounters& counters) const {
  if (!hasCounters_ || !fd_) return false;
  const int err = lines_->Counters(fd_.Get(), counters);
  if (NotSupported(err)) hasCounters_.store(false);
  return err == 0;
}

}  // namespace uSerialTty
