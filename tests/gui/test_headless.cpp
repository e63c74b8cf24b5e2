// The program itself in headless mode with the simulated device: started as a user would
// start it, spoken to over HTTP, ended with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/RawHttpClient.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {
// A copy of the program with its pages in a folder of the test's own, so that its
// config.xml lands there.
class TProgram {
 public:
  TProgram() {
    dir_ = fs::temp_directory_path() / ("dovela-headless-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const fs::path program = DOVELA_PROGRAM;
    fs::copy_file(program, dir_ / program.filename());
    fs::copy(program.parent_path() / "Web", dir_ / "Web", fs::copy_options::recursive);
    exe_ = dir_ / program.filename();
  }
  ~TProgram() {
    Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Starts it and returns the first line it prints (the address), or "" after 30 s.
  std::string Start(std::vector<std::string> arguments) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string errFile = (dir_ / "stderr.txt").string();
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv{const_cast<char*>(exe_.c_str())};
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, exe_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      pid_ = -1;
      return {};
    }
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    return line.substr(0, line.find('\n'));
  }

  // Sends signal and returns the exit status (-1 when it did not end within 30 s).
  int Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    for (int i = 0; i < 3000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }

  const fs::path& Dir() const { return dir_; }
  // What it has written to stderr so far.
  std::string Errors() const {
    std::ifstream file(dir_ / "stderr.txt", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }

 private:
  fs::path dir_;
  fs::path exe_;
  pid_t pid_ = -1;
};

std::uint16_t PortOf(const std::string& url, const std::string& host = "127.0.0.1") {
  const std::string prefix = "http://" + host + ":";
  if (url.rfind(prefix, 0) != 0) return 0;
  return static_cast<std::uint16_t>(std::stoi(url.substr(prefix.size())));
}

testsupport::THttpReply Post(std::uint16_t port, const std::string& path, const std::string& body) {
  return testsupport::HttpExchange(
      port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                "\r\nContent-Type: "
                "application/x-www-form-urlencoded\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
}
}  // namespace

TEST(Headless, ServesTheDemoDevicesPagesAndKeepsItsSettings) {
  TProgram program;
  const std::string url = program.Start({"--headless", "--demo"});
  const std::uint16_t port = PortOf(url);
  ASSERT_NE(port, 0) << "printed: " << url;

  struct Case {
    const char* path;
    const char* type;
  };
  for (const Case c : {Case{"/", "text/html"}, Case{"/index.html", "text/html"},
                       Case{"/app.css", "text/css"}, Case{"/app.js", "text/javascript"}}) {
    const auto reply = testsupport::HttpExchange(
        port, std::string("GET ") + c.path +
                  " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK") << c.path;
    EXPECT_EQ(reply.Header("Content-Type").value_or(""), c.type) << c.path;
    EXPECT_FALSE(reply.Body().empty()) << c.path;
  }

  const auto status = Post(port, "/status.json", "");
  EXPECT_EQ(status.Header("Content-Type").value_or(""), "application/json");
  EXPECT_NE(status.Body().find("\"imei\""), std::string::npos) << status.Body();

  const auto set = Post(port, "/set.json", "apn=internet.t-mobile.cz");
  EXPECT_NE(set.Body().find("\"ok\":true"), std::string::npos) << set.Body();
  const auto config = Post(port, "/config.json", "");
  EXPECT_NE(config.Body().find("internet.t-mobile.cz"), std::string::npos) << config.Body();

  const auto bad = Post(port, "/set.json", "simPin=12");
  EXPECT_NE(bad.Body().find("\"ok\":false"), std::string::npos) << bad.Body();
  EXPECT_NE(bad.Body().find("PIN"), std::string::npos) << bad.Body();

  EXPECT_EQ(program.Stop(), 0);
  std::ifstream saved(program.Dir() / "config.xml", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"windows-1250\"?>\r\n<root WebPort=\"", 0),
            0u)
      << text;
}

TEST(Headless, ListensElsewhereOnlyWhenToldAndWarnsOfIt) {
  TProgram program;
  const std::string url = program.Start({"--headless", "--demo", "--listen", "127.0.0.2"});
  const std::uint16_t port = PortOf(url, "127.0.0.2");
  ASSERT_NE(port, 0) << "printed: " << url;
  EXPECT_EQ(program.Errors(),
            "Warning: listening on 127.0.0.2: whoever reaches that address can configure the "
            "device.\n");
  const auto reply = testsupport::HttpExchange(
      port, "GET / HTTP/1.1\r\nHost: 127.0.0.2:" + std::to_string(port) + "\r\n\r\n", false,
      "127.0.0.2");
  EXPECT_EQ(reply.StatusLine(), "HTTP/1.1 200 OK");
  EXPECT_FALSE(testsupport::TRawHttpClient("127.0.0.1", port).Connected());
  EXPECT_EQ(program.Stop(), 0);
}

TEST(Headless, ASignalWithManyRequestsQueuedEndsWithinSecondsAndSavesTheSettings) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TProgram program;
    const std::uint16_t port = PortOf(program.Start({"--headless", "--demo"}));
    ASSERT_NE(port, 0);
    // Each exchange holds the device for a second of silence: 20 of them would take 20 s.
    std::vector<std::unique_ptr<testsupport::TRawHttpClient>> clients;
    for (int i = 0; i < 20; ++i) {
      clients.push_back(std::make_unique<testsupport::TRawHttpClient>("127.0.0.1", port));
      clients.back()->Send("POST /status.json HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nContent-Length: 0\r\n\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // read and queued
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(program.Stop(signal), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_TRUE(fs::exists(program.Dir() / "config.xml"));
    for (auto& client : clients) EXPECT_TRUE(client->ReadAll(std::chrono::seconds(1)).closed);
  }
}

TEST(Headless, WithoutASupportedDeviceItSaysSoAndEnds) {
  TProgram program;
  EXPECT_EQ(program.Start({"--headless"}), "");  // nothing attached here: nothing printed
  EXPECT_NE(program.Stop(), 0);
}

TEST(Headless, AnUnknownSwitchEndsWithStatusTwo) {
  TProgram program;
  program.Start({"--no-such-switch"});
  EXPECT_EQ(program.Stop(), 2);
}
