// Benchmark of static page serving against nginx. The program runs headless with the demo
// device; nginx serves a copy of the same page folder; both on loopback, both closing each
// connection after its response. Clients ask for index.html and app.js in turns, each
// request on a new connection, at 1 and at 16 clients, runs of both servers taken in turns.
//   requests/s:        answered requests per second, best of the runs;
//   CPU per request:   the server process's CPU time (user + system, nginx's workers
//                      included) over the requests it answered, in microseconds;
//   ratios:            the program against nginx (targets at 16 clients: requests/s at
//                      least 0.8x, CPU per request at most 2x).
// Usage: static_bench PROGRAM [NGINX]  (bench/static_bench.sh installs nginx and runs it)
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/RawHttpClient.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

constexpr auto kRunTime = std::chrono::seconds(3);
constexpr int kRuns = 3;
const char* const kFiles[] = {"index.html", "app.js"};

pid_t Spawn(const std::vector<std::string>& arguments, int stdoutFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void End(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// User + system CPU seconds of pid and of its children (nginx's workers).
double CpuSeconds(pid_t pid) {
  const auto of = [](pid_t p) {
    std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
      if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  };
  double total = of(pid);
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
  for (pid_t child; children >> child;) total += of(child);
  return total;
}

std::uint16_t FreePort() {
  testsupport::TRawListener listener(AF_INET, 0);
  return listener.Port();
}

bool WaitServing(std::uint16_t port) {
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until) {
    if (testsupport::TRawHttpClient("127.0.0.1", port).Connected()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct TResult {
  double requestsPerSecond = 0;
  double cpuMicrosPerRequest = 0;
  long failed = 0;
};

// clients threads asking port for the files for kRunTime; sizes are the expected lengths.
TResult Run(pid_t server, std::uint16_t port, int clients, const std::vector<std::size_t>& sizes) {
  std::atomic<bool> stop{false};
  std::atomic<long> done{0}, failed{0};
  std::vector<std::thread> threads;
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const double cpuBefore = CpuSeconds(server);
  const auto begin = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (std::size_t i = static_cast<std::size_t>(c); !stop; ++i) {
        const std::size_t file = i % std::size(kFiles);
        const auto reply =
            testsupport::HttpExchange(port, std::string("GET /") + kFiles[file] + " HTTP/1.1\r\n" +
                                                host + "Connection: close\r\n\r\n");
        if (reply.StatusLine() == "HTTP/1.1 200 OK" && reply.Body().size() == sizes[file])
          ++done;
        else
          ++failed;
      }
    });
  }
  std::this_thread::sleep_for(kRunTime);
  stop = true;
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const double cpu = CpuSeconds(server) - cpuBefore;
  TResult result;
  result.requestsPerSecond = static_cast<double>(done) / seconds;
  result.cpuMicrosPerRequest = done > 0 ? cpu * 1e6 / static_cast<double>(done) : 0;
  result.failed = failed;
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: static_bench PROGRAM [NGINX]\n");
    return 2;
  }
  const fs::path program = fs::absolute(argv[1]);
  const std::string nginx = argc > 2 ? argv[2] : "/usr/sbin/nginx";
  const fs::path dir =
      fs::temp_directory_path() / ("dovela-static-bench-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(program, dir / program.filename());
  fs::copy(program.parent_path() / "Web", dir / "Web", fs::copy_options::recursive);
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  const fs::path pages = dir / "Web" / "DovelaGSM";
  std::vector<std::size_t> sizes;
  for (const char* file : kFiles) sizes.push_back(fs::file_size(pages / file));

  // The program, headless with the demo device, on a port of its own choosing.
  int out[2];
  if (::pipe(out) != 0) return 1;
  const pid_t ours = Spawn({(dir / program.filename()).string(), "--headless", "--demo"}, out[1]);
  ::close(out[1]);
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1) line += c;
  ::close(out[0]);
  const auto colon = line.rfind(':');
  const std::uint16_t ourPort = colon == std::string::npos
                                    ? 0
                                    : static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));

  // nginx on the same folder, closing every connection after its response.
  const std::uint16_t nginxPort = FreePort();
  std::ofstream(dir / "nginx.conf")
      << "daemon off;\nmaster_process on;\nworker_processes auto;\npid "
      << (dir / "nginx.pid").string() << ";\nerror_log " << (dir / "nginx-error.log").string()
      << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n  sendfile on;\n"
      << "  keepalive_timeout 0;\n  types { text/html html; text/javascript js; }\n"
      << "  client_body_temp_path " << dir.string() << ";\n  proxy_temp_path " << dir.string()
      << ";\n  fastcgi_temp_path " << dir.string() << ";\n  uwsgi_temp_path " << dir.string()
      << ";\n  scgi_temp_path " << dir.string()
      << ";\n  server {\n    listen 127.0.0.1:" << nginxPort << ";\n    root " << pages.string()
      << ";\n  }\n}\n";
  const pid_t theirs = Spawn({nginx, "-e", (dir / "nginx-error.log").string(), "-p", dir.string(),
                              "-c", (dir / "nginx.conf").string()});

  int status = 0;
  if (ourPort == 0 || !WaitServing(ourPort)) {
    std::fprintf(stderr, "the program did not start: %s\n", line.c_str());
    status = 1;
  } else if (theirs <= 0 || !WaitServing(nginxPort)) {
    std::fprintf(stderr, "nginx did not start (%s); see %s\n", nginx.c_str(),
                 (dir / "nginx-error.log").c_str());
    status = 1;
  } else {
    std::printf(
        "static files index.html (%zu bytes) and app.js (%zu bytes), a new connection "
        "per request, best of %d runs of %lld s\n",
        sizes[0], sizes[1], kRuns, static_cast<long long>(kRunTime.count()));
    for (const int clients : {1, 16}) {
      TResult best[2];
      for (int run = 0; run < kRuns; ++run) {
        const TResult results[2] = {Run(ours, ourPort, clients, sizes),
                                    Run(theirs, nginxPort, clients, sizes)};
        for (int s = 0; s < 2; ++s) {
          if (results[s].failed > 0) {
            std::printf("  %s: %ld requests failed\n", s == 0 ? "program" : "nginx",
                        results[s].failed);
            status = 1;
          }
          if (results[s].requestsPerSecond > best[s].requestsPerSecond) best[s] = results[s];
        }
      }
      const double rate = best[0].requestsPerSecond / best[1].requestsPerSecond;
      const double cpu = best[0].cpuMicrosPerRequest / best[1].cpuMicrosPerRequest;
      std::printf(
          "%2d client%s: program %7.0f req/s %6.1f us CPU/req; nginx %7.0f req/s %6.1f "
          "us CPU/req; ratio %.2fx req/s, %.2fx CPU/req",
          clients, clients == 1 ? " " : "s", best[0].requestsPerSecond, best[0].cpuMicrosPerRequest,
          best[1].requestsPerSecond, best[1].cpuMicrosPerRequest, rate, cpu);
      if (clients == 16)
        std::printf(" (targets: at least 0.80x, at most 2.00x) %s",
                    rate >= 0.8 && cpu <= 2.0 ? "ok" : "MISSED");
      std::printf("\n");
    }
  }
  End(theirs);
  End(ours);
  fs::remove_all(dir);
  return status;
}
