#pragma once
// Serial tests over pseudo-terminals: a raw pty pair whose master end plays the device,
// fake modem lines (a pty has none) and a wait for a condition with a deadline.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "providers/uSerialTty.h"
#include "support/WaitUntil.h"

namespace testsupport {

// The output speed of a tty as termios2 holds it (see TtySpeed.cpp: asm/termbits.h and
// glibc's termios.h do not mix).
std::uint32_t OutputSpeed(int fd);

inline void MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0 || (::cfmakeraw(&t), ::tcsetattr(fd, TCSANOW, &t)) != 0)
    throw std::runtime_error("cannot make a pty raw");
}

// Master end non-blocking; the test keeps a descriptor of the slave too, to read its
// settings back, so the master never sees a hang-up until CloseMaster.
class TPtyPair {
 public:
  TPtyPair() {
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
      throw std::runtime_error("openpty failed");
    master_.Reset(master);
    slave_.Reset(slave);
    path_ = name;
    MakeRaw(master);
    MakeRaw(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  const std::string& SlavePath() const { return path_; }
  int Master() const { return master_.Get(); }
  int Slave() const { return slave_.Get(); }
  termios SlaveSettings() const {
    termios t{};
    ::tcgetattr(slave_.Get(), &t);
    return t;
  }
  // The peer hangs up: the slave side gets EIO from now on.
  void CloseMaster() { master_.Reset(); }

  // Writes all of data to the master end; false when that does not finish within ms.
  bool Write(const std::string& data, int ms = 5000) {
    std::size_t sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (sent < data.size()) {
      const ssize_t n = ::write(master_.Get(), data.data() + sent, data.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd p{master_.Get(), POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
    return true;
  }
  // Reads from the master end until count bytes came or ms passed.
  std::string Read(std::size_t count, int ms = 5000) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buffer[65536];
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const ssize_t n = ::read(master_.Get(), buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return got;
  }

 private:
  uFileUtils::TFd master_;
  uFileUtils::TFd slave_;
  std::string path_;
};

// Modem lines a test sets. Wait blocks in a read(2) of a pipe, as TIOCMIWAIT blocks in the
// kernel, so the watcher's wake-up signal is what ends it.
class TFakeModemLines final : public uSerialTty::IModemLines {
 public:
  TFakeModemLines() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    wakeRead_.Reset(fds[0]);
    wakeWrite_.Reset(fds[1]);
  }
  std::atomic<bool> canWait{true};
  std::atomic<bool> hasCounters{true};
  std::atomic<int> waits{0};

  int Get(int, int& lines) override {
    std::lock_guard lock(mutex_);
    lines = lines_;
    return 0;
  }
  int Set(int, int lines, bool on) override {
    std::lock_guard lock(mutex_);
    lines_ = on ? (lines_ | lines) : (lines_ & ~lines);
    sets_.emplace_back(lines, on);
    return 0;
  }
  int Wait(int, int) override {
    if (!canWait) return ENOTTY;
    ++waits;
    char byte = 0;
    const ssize_t n = ::read(wakeRead_.Get(), &byte, 1);
    return n == 1 ? 0 : errno;
  }
  int Counters(int, uSerialTty::TLineCounters& counters) override {
    if (!hasCounters) return ENOTTY;
    std::lock_guard lock(mutex_);
    counters = counters_;
    return 0;
  }

  // Sets the input lines in mask to the bits of state, lets change add to the counters,
  // then wakes a waiting watcher.
  template <class Counting>
  void Change(int mask, int state, Counting change) {
    {
      std::lock_guard lock(mutex_);
      lines_ = (lines_ & ~mask) | (state & mask);
      change(counters_);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_.Get(), &byte, 1);
  }
  void Change(int mask, int state) {
    Change(mask, state, [](uSerialTty::TLineCounters&) {});
  }
  int Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::pair<int, bool>> Sets() {
    std::lock_guard lock(mutex_);
    return sets_;
  }

 private:
  std::mutex mutex_;
  int lines_ = 0;
  uSerialTty::TLineCounters counters_;
  std::vector<std::pair<int, bool>> sets_;
  uFileUtils::TFd wakeRead_;
  uFileUtils::TFd wakeWrite_;
};

// Sets an environment variable for one scope (a port-map folder), restoring it after.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// A fresh folder under the temporary directory, removed with its content.
class TTempFolder {
 public:
  TTempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "dovela-serial-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
