#include "ci/uCI_DataSpy.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "ci/uMyInterfacedObject.h"
#include "support/TestChannel.h"

using namespace uCI_DataSpy;
using Clock = std::chrono::steady_clock;

TEST(DataSpySwitch, RecognisesDstHoweverItIsWritten) {
  struct Case {
    const char* argument;
    bool expected;
  };
  const Case cases[] = {
      {"DST", true},
      {"dst", true},
      {"/dst", true},
      {"-DST", true},
      {" \t-Dst\r\n", true},
      {"--dst", false},
      {"/-dst", false},
      {"DSTX", false},
      {"DS", false},
      {"", false},
      {"/", false},
      {"d st", false},
      {"/usr/bin/dovela-gsm-configurator", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsDataSpySwitch(c.argument), c.expected) << c.argument;
}

TEST(DataSpySwitch, InstallsTheForwarderOnlyWhenGiven) {
  detail::StartDataSpy({"/usr/bin/program", "--demo"});
  EXPECT_FALSE(GetOnDataSpy().IsAssigned());
  detail::StartDataSpy({"/usr/bin/program", "-dst"});
  EXPECT_EQ(GetOnDataSpy(), DefaultForwarder());
  EXPECT_FALSE(GetOnDataSpy().IsComplete());  // a plain function, no object
  detail::StartDataSpy({});
  EXPECT_FALSE(GetOnDataSpy().IsAssigned());
}

TEST(DataSpySwitch, ReadsTheProcessCommandLine) {
  const auto arguments = ProcessArguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_NE(arguments.front().find("tests"), std::string::npos);
}

TEST(DataSpyHook, ReplacingTheHookWaitsForCallsInFlight) {
  struct TSlowSpy {
    std::promise<void> entered;
    std::shared_future<void> release;
    std::atomic<bool> finished{false};
    void Spy(uci_ICommunicationInterface::ICommunicationInterface*, const std::string&,
             std::uint8_t) {
      entered.set_value();
      release.wait();
      finished = true;
    }
  } spy;
  std::promise<void> release;
  spy.release = release.get_future().share();
  SetOnDataSpy({&spy, &TSlowSpy::Spy});
  auto call = std::async(std::launch::async, [] { CallDataSpy(nullptr, "x", kDirectionRead); });
  spy.entered.get_future().wait();
  auto replace = std::async(std::launch::async, [] { SetOnDataSpy({}); });
  EXPECT_EQ(replace.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
  release.set_value();
  replace.get();
  EXPECT_TRUE(spy.finished);  // once SetOnDataSpy returned, the old hook was done
  call.get();
}

namespace {
// A stand-in for the terminal program: listens where the forwarder looks and records what
// arrives.
class TTerminal {
 public:
  explicit TTerminal(bool acknowledge = true) : acknowledge_(acknowledge) {
    dir_ = std::filesystem::temp_directory_path() /
           ("dovela-spy-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = TerminalSocketPath();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
  }
  ~TTerminal() {
    ::close(listener_);
    ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(dir_);
  }

  // Serves one connection within timeoutMs; returns the bytes received, or nullopt when
  // nobody connected.
  std::optional<std::string> ServeOne(int timeoutMs) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    const int fd = ::accept(listener_, nullptr, nullptr);
    std::string received;
    char buf[256];
    for (;;) {
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 1000) <= 0) break;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<std::size_t>(n));
      if (received.size() >= 4) {
        std::uint32_t length = 0;
        for (int i = 0; i < 4; ++i)
          length |= std::uint32_t{static_cast<unsigned char>(received[i])} << (8 * i);
        if (received.size() >= 4 + length) break;
      }
    }
    if (acknowledge_)
      ::send(fd, "\x01", 1, MSG_NOSIGNAL);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(kTerminalAckTimeoutMs + 200));
    ::close(fd);
    return received;
  }

 private:
  static inline int counter_ = 0;
  bool acknowledge_;
  std::filesystem::path dir_;
  int listener_ = -1;
};
}  // namespace

TEST(DataSpyForwarder, SendsTheDirectionByteAndTheTextToTheTerminal) {
  TTerminal terminal;
  auto served = std::async(std::launch::async, [&] { return terminal.ServeOne(5000); });
  ForwardToTerminal(nullptr, std::string("A\0B", 3), kDirectionWritten);
  const auto received = served.get();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, std::string("\x04\x00\x00\x00\x01"
                                   "A\0B",
                                   8));
}

TEST(DataSpyForwarder, ThroughTheChannelAWriteOfABSendsThreeBytesAndAnEmptyReadNothing) {
  TTerminal terminal;
  SetOnDataSpy(DefaultForwarder());
  auto channel = uMyInterfacedObject::Create<testsupport::TTestChannel>();
  auto served = std::async(std::launch::async, [&] { return terminal.ServeOne(5000); });
  channel->WriteString("AB");
  auto received = served.get();
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, std::string("\x03\x00\x00\x00\x01"
                                   "AB",
                                   7));

  served = std::async(std::launch::async, [&] { return terminal.ServeOne(100); });
  EXPECT_EQ(channel->ReadString(), "");
  EXPECT_FALSE(served.get().has_value());
  SetOnDataSpy({});
}

TEST(DataSpyForwarder, ReturnsAtOnceWithoutATerminal) {
  const auto dir = std::filesystem::temp_directory_path() / "dovela-spy-none";
  std::filesystem::create_directories(dir);
  ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  const auto start = Clock::now();
  ForwardToTerminal(nullptr, "AB", kDirectionRead);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  ::unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(TerminalSocketPath(), "/tmp/TfMainBrisanTerm");
}

TEST(DataSpyForwarder, GivesUpOnATerminalThatDoesNotAnswer) {
  TTerminal terminal(false);
  auto served = std::async(std::launch::async, [&] { return terminal.ServeOne(5000); });
  const auto start = Clock::now();
  ForwardToTerminal(nullptr, "AB", kDirectionRead);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(kTerminalAckTimeoutMs - 50));
  EXPECT_LT(elapsed, std::chrono::milliseconds(kTerminalAckTimeoutMs + 1000));
  served.get();
}
