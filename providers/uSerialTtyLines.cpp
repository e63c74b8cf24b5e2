// The modem lines through the kernel's ioctls, and the thread that waits for their changes.
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>

#include "providers/uSerialTty.h"

namespace uSerialTty {

namespace {

class TKernelModemLines final : public IModemLines {
 public:
  int Get(int fd, int& lines) override { return Result(::ioctl(fd, TIOCMGET, &lines)); }
  int Set(int fd, int lines, bool on) override {
    return Result(::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines));
  }
  // The mask goes by value (drivers/tty/tty_io.c passes arg on to the driver's tiocmiwait).
  int Wait(int fd, int mask) override {
    return Result(::ioctl(fd, TIOCMIWAIT, static_cast<unsigned long>(mask)));
  }
  int Counters(int fd, TLineCounters& counters) override {
    serial_icounter_struct c{};
    const int err = Result(::ioctl(fd, TIOCGICOUNT, &c));
    if (err != 0) return err;
    counters.Cts = static_cast<std::uint32_t>(c.cts);
    counters.Dsr = static_cast<std::uint32_t>(c.dsr);
    counters.Ring = static_cast<std::uint32_t>(c.rng);
    counters.Dcd = static_cast<std::uint32_t>(c.dcd);
    counters.Frame = static_cast<std::uint32_t>(c.frame);
    counters.Overrun = static_cast<std::uint32_t>(c.overrun);
    counters.Parity = static_cast<std::uint32_t>(c.parity);
    counters.Break = static_cast<std::uint32_t>(c.brk);
    counters.BufferOverrun = static_cast<std::uint32_t>(c.buf_overrun);
    return 0;
  }

 private:
  static int Result(int rc) { return rc == 0 ? 0 : errno; }
};

void IgnoreSignal(int) {}

// How long Stop waits for the thread to leave its wait before it signals again.
constexpr auto kResignalInterval = std::chrono::milliseconds(2);

}  // namespace

std::shared_ptr<IModemLines> KernelModemLines() {
  static const auto lines = std::make_shared<TKernelModemLines>();
  return lines;
}

int TSignalledThread::WakeSignal() {
  static const int signal = [] {
    for (int candidate = SIGRTMAX - 1; candidate > SIGRTMAX - 5; --candidate) {
      struct sigaction old {};
      if (::sigaction(candidate, nullptr, &old) != 0) continue;
      if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_handler = &IgnoreSignal;
      sigemptyset(&action.sa_mask);
      if (::sigaction(candidate, &action, nullptr) == 0) return candidate;
    }
    return 0;
  }();
  return signal;
}

TSignalledThread::TSignalledThread(std::string name, TBody body) : body_(std::move(body)) {
  runner_ = std::make_unique<uThreadUtils::TThreadRunner>(
      std::move(name), uThreadUtils::TRunnerMethod(this, &TSignalledThread::Run));
}

void TSignalledThread::Run(uThreadUtils::TThreadRunner&) {
  struct TLeave {  // on every way out, an exception from the body included
    TSignalledThread& self;
    ~TLeave() {
      {
        std::lock_guard lock(self.mutex_);
        self.done_ = true;
      }
      self.left_.notify_all();
    }
  } leave{*this};
  {
    std::lock_guard lock(mutex_);
    thread_ = ::pthread_self();
    started_ = true;
  }
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, WakeSignal());
  ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);  // a creator may have blocked it
  if (!stopping_) body_(*this);
}

void TSignalledThread::Wake() {
  std::lock_guard lock(mutex_);
  if (started_ && !done_) ::pthread_kill(thread_, WakeSignal());
}

void TSignalledThread::Stop() {
  if (!runner_) return;
  stopping_ = true;
  runner_->Terminate();
  {
    std::unique_lock lock(mutex_);
    while (!done_) {
      if (started_) ::pthread_kill(thread_, WakeSignal());
      left_.wait_for(lock, kResignalInterval, [this] { return done_; });
    }
  }
  runner_.reset();  // joins
}

TModemLineWatcher::TModemLineWatcher(IModemLines& lines, int fd, std::function<void()> onChange)
    : lines_(lines), fd_(fd), onChange_(std::move(onChange)) {
  if (TSignalledThread::WakeSignal() == 0) {
    failed_ = ENOTSUP;
    return;
  }
  thread_ = std::make_unique<TSignalledThread>("Serial lines thread",
                                               [this](TSignalledThread& thread) { Run(thread); });
}

void TModemLineWatcher::Run(TSignalledThread& thread) {
  while (!thread.Stopping()) {
    const int err = lines_.Wait(fd_, kInputLines);
    if (thread.Stopping()) break;
    if (err == EINTR) continue;
    if (err != 0) failed_ = err;
    if (onChange_) onChange_();
    if (err != 0) break;
  }
}

}  // namespace uSerialTty
