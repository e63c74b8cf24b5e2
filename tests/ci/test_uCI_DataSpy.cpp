#include "ci/uCI_DataSpy.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <latch>
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

TEST(DataSpyHook, AHookMayReplaceItselfFromInsideItsCall) {
  struct TSelfRemover {
    std::atomic<int> calls{0};
    void Spy(uci_ICommunicationInterface::ICommunicationInterface*, const std::string&,
             std::uint8_t) {
      ++calls;
      SetOnDataSpy({});
    }
  } spy;
  SetOnDataSpy({&spy, &TSelfRemover::Spy});
  auto call = std::async(std::launch::async, [] { CallDataSpy(nullptr, "x", kDirectionRead); });
  if (call.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    std::fprintf(stderr, "a hook setting the hook deadlocked\n");
    std::abort();
  }
  EXPECT_FALSE(GetOnDataSpy().IsAssigned());
  CallDataSpy(nullptr, "y", kDirectionRead);
  EXPECT_EQ(spy.calls, 1);
}

TEST(DataSpyHook, CallsOnTwoThreadsReplacingTheHookAtOnceDoNotWaitForEachOther) {
  struct TMeetingSpy {
    std::latch bothInside{2};
    void Spy(uci_ICommunicationInterface::ICommunicationInterface*, const std::string&,
             std::uint8_t) {
      bothInside.arrive_and_wait();
      SetOnDataSpy({});
    }
  } spy;
  SetOnDataSpy({&spy, &TMeetingSpy::Spy});
  auto call = [] { CallDataSpy(nullptr, "x", kDirectionRead); };
  auto first = std::async(std::launch::async, call);
  auto second = std::async(std::launch::async, call);
  for (auto* f : {&first, &second}) {
    if (f->wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      std::fprintf(stderr, "two hooks setting the hook deadlocked\n");
      std::abort();
    }
  }
  EXPECT_FALSE(GetOnDataSpy().IsAssigned());
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
// A private directory of the test's own, as a session's runtime directory is.
std::filesystem::path PrivateDirectory() {
  std::string name = (std::filesystem::temp_directory_path() / "dovela-spy-XXXXXX").string();
  EXPECT_NE(::mkdtemp(name.data()), nullptr);  // mode 0700
  return name;
}

// Points XDG_RUNTIME_DIR at a directory for the length of a test, or leaves it unset.
class TRuntimeDir {
 public:
  explicit TRuntimeDir(const std::optional<std::filesystem::path>& dir) {
    if (dir)
      ::setenv("XDG_RUNTIME_DIR", dir->c_str(), 1);
    else
      ::unsetenv("XDG_RUNTIME_DIR");
  }
  ~TRuntimeDir() { ::unsetenv("XDG_RUNTIME_DIR"); }
  TRuntimeDir(const TRuntimeDir&) = delete;
  TRuntimeDir& operator=(const TRuntimeDir&) = delete;
};

// A stand-in for the terminal program: listens where the forwarder looks and records what
// arrives.
class TTerminal {
 public:
  explicit TTerminal(bool acknowledge = true, int backlog = 4)
      : acknowledge_(acknowledge), dir_(PrivateDirectory()) {
    runtimeDir_.emplace(dir_);
    Listen(backlog);
  }
  // Listens in dir, the directory the forwarder looks in (made by the caller).
  TTerminal(const std::filesystem::path& dir, bool ownsDir)
      : acknowledge_(true), dir_(dir), ownsDir_(ownsDir) {
    Listen(4);
  }
  ~TTerminal() {
    Close();
    if (ownsDir_) std::filesystem::remove_all(dir_);
  }
  TTerminal(const TTerminal&) = delete;
  TTerminal& operator=(const TTerminal&) = delete;

  const std::filesystem::path& Dir() const { return dir_; }

  void Close() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
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
    else  // hold the connection until the program gives up on it and closes its end
      for (pollfd q{fd, POLLIN, 0};
           ::poll(&q, 1, kTerminalAckTimeoutMs + 2000) > 0 && ::recv(fd, buf, sizeof buf, 0) > 0;) {
      }
    ::close(fd);
    return received;
  }

 private:
  void Listen(int backlog) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (dir_ / kTerminalWindowClass).string();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, backlog), 0);
  }

  bool acknowledge_;
  std::filesystem::path dir_;
  bool ownsDir_ = true;
  std::optional<TRuntimeDir> runtimeDir_;  // set when the terminal made its own directory
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
  const auto dir = PrivateDirectory();
  TRuntimeDir runtimeDir(dir);
  const auto start = Clock::now();
  ForwardToTerminal(nullptr, "AB", kDirectionRead);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  std::filesystem::remove_all(dir);
}

TEST(DataSpyForwarder, TheSocketLivesOnlyInAPrivateDirectory) {
  const std::string fallback = "/tmp/TfMainBrisanTerm-" + std::to_string(::geteuid());
  {
    TRuntimeDir unset(std::nullopt);
    EXPECT_EQ(TerminalSocketDirectory(), fallback);
    EXPECT_EQ(TerminalSocketPath(), fallback + "/TfMainBrisanTerm");
  }
  {
    TRuntimeDir relative(std::filesystem::path("run/user"));
    EXPECT_EQ(TerminalSocketDirectory(), fallback);
  }

  // What a directory must be for the text to go there.
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path& dir)> prepare;
    bool sent;
    bool needsRoot;
  };
  namespace fs = std::filesystem;
  const Case cases[] = {
      {"mode 0700, the user's own", [](const fs::path&) {}, true, false},
      {"readable by the group and others", [](const fs::path& dir) { ::chmod(dir.c_str(), 0755); },
       false, false},
      {"writable by the group", [](const fs::path& dir) { ::chmod(dir.c_str(), 0730); }, false,
       false},
      {"another user's", [](const fs::path& dir) { EXPECT_EQ(::chown(dir.c_str(), 65534, -1), 0); },
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && ::geteuid() != 0) continue;  // only root can give a directory away
    TTerminal terminal(PrivateDirectory(), true);
    TRuntimeDir runtimeDir(terminal.Dir());
    c.prepare(terminal.Dir());
    EXPECT_EQ(IsPrivateDirectory(terminal.Dir()), c.sent);
    auto served =
        std::async(std::launch::async, [&] { return terminal.ServeOne(c.sent ? 5000 : 200); });
    ForwardToTerminal(nullptr, "PIN=1234", kDirectionWritten);
    EXPECT_EQ(served.get().has_value(), c.sent);
  }

  // A link to a private directory is not one.
  TTerminal terminal(PrivateDirectory(), true);
  const fs::path link = terminal.Dir().string() + "-link";
  fs::create_directory_symlink(terminal.Dir(), link);
  {
    TRuntimeDir runtimeDir(link);
    EXPECT_FALSE(IsPrivateDirectory(link));
    auto served = std::async(std::launch::async, [&] { return terminal.ServeOne(200); });
    ForwardToTerminal(nullptr, "PIN=1234", kDirectionWritten);
    EXPECT_FALSE(served.get().has_value());
  }
  fs::remove(link);

  // Without XDG_RUNTIME_DIR the user's own directory under /tmp serves.
  if (::mkdir(fallback.c_str(), 0700) != 0) {
    ASSERT_EQ(errno, EEXIST);
    GTEST_SKIP() << fallback << " exists already (a terminal, or this test elsewhere)";
  }
  {
    TTerminal own(fallback, true);
    TRuntimeDir unset(std::nullopt);
    auto served = std::async(std::launch::async, [&] { return own.ServeOne(5000); });
    ForwardToTerminal(nullptr, "AB", kDirectionRead);
    EXPECT_TRUE(served.get().has_value());
  }
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

TEST(DataSpyForwarder, GivesUpOnATerminalThatListensButNeverAccepts) {
  TTerminal terminal(true, 0);
  // The one connection the backlog holds; the forwarder's would have to wait behind it.
  const int first = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = TerminalSocketPath();
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const auto start = Clock::now();
  auto forward =
      std::async(std::launch::async, [] { ForwardToTerminal(nullptr, "AB", kDirectionRead); });
  const bool ended = forward.wait_for(std::chrono::milliseconds(kTerminalAckTimeoutMs + 2000)) ==
                     std::future_status::ready;
  EXPECT_TRUE(ended);
  if (ended) {
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kTerminalAckTimeoutMs - 50));
  }
  terminal.Close();  // lets a forwarder that is still waiting go
  forward.get();
  ::close(first);
}
