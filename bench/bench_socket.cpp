// Benchmark of the socket engine over loopback TCP connections:
//   throughput: bytes a peer sends that reach the DataReceived handler per second, as a share
//               of what a plain blocking recv loop takes on the same kind of connection in the
//               same run (target: at least 0.8);
//   latency:    from the peer's send to the DataReceived handler, median and 99th percentile,
//               while data flows and after the socket has been idle (target: median at most
//               0.2 ms);
//   idle:       wake-ups per second of the work thread of a connected, silent socket, counted
//               as the thread's voluntary context switches (target: at most 100, the pass rate
//               of its 10 ms pauses).
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_Library.h"
#include "socket/uInetSocket.h"
#include "support/Loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using uInetSocket::TInetSocket;
using uInetSocket::TInetSocketCustom;
using uInetSocket::TInetSocketPacket;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kBytes = 96u << 20;
// Pairs of runs, plain and engine one after the other, so that both see the same load.
constexpr int kRuns = 15;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)))];
}

double Median(std::vector<double> values) {
  return Percentile(std::move(values), 0.5);
}

void SendAll(testsupport::TTcpPeer& peer, std::size_t bytes) {
  const std::string chunk(kChunk, 'x');
  for (std::size_t sent = 0; sent < bytes; sent += kChunk) {
    if (!peer.Send(chunk)) {
      std::fprintf(stderr, "the peer's send failed\n");
      std::exit(1);
    }
  }
}

// Bytes per second of a plain blocking recv loop.
double PlainRate() {
  testsupport::TTcpListener listener;
  testsupport::TFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = testsupport::LoopbackAddress(listener.Port());
  if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "cannot connect over loopback\n");
    std::exit(1);
  }
  testsupport::TTcpPeer peer = listener.Accept();
  std::vector<char> buffer(uWinSock::kMaxStreamRead);  // what the engine reads at most at once
  const auto start = Clock::now();
  std::thread sender([&] { SendAll(peer, kBytes); });
  std::size_t received = 0;
  while (received < kBytes) {
    const ssize_t n = ::recv(client.Get(), buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    received += static_cast<std::size_t>(n);
  }
  const double seconds = Seconds(Clock::now() - start);
  sender.join();
  return static_cast<double>(received) / seconds;
}

// Counts what reaches the data handler and notes when the awaited total is complete.
class TCounter {
 public:
  void DataReceived(TInetSocketCustom*, const TInetSocketPacket& packet) {
    std::lock_guard lock(mutex_);
    received_ += packet.Data.size();
    lastArrival_ = Clock::now();
    if (!packet.Data.empty() && packet.Data[0] == 'T') {
      sendTimes_.push_back(std::stoll(packet.Data.substr(1)));
      arrivalTimes_.push_back(lastArrival_.time_since_epoch().count());
    }
    // Only the awaited total wakes the waiter, so that the handler costs what a real one does.
    if (received_ >= awaited_) changed_.notify_all();
  }
  bool WaitFor(std::size_t total, std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    awaited_ = total;
    return changed_.wait_for(lock, limit, [&] { return received_ >= total; });
  }
  std::size_t Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    received_ = 0;
    sendTimes_.clear();
    arrivalTimes_.clear();
  }
  // Send-to-handler times in ms of the timestamped messages.
  std::vector<double> Latencies() {
    std::lock_guard lock(mutex_);
    std::vector<double> ms;
    for (std::size_t i = 0; i < sendTimes_.size(); ++i)
      ms.push_back(static_cast<double>(arrivalTimes_[i] - sendTimes_[i]) / 1e6);
    return ms;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t received_ = 0;
  std::size_t awaited_ = SIZE_MAX;
  Clock::time_point lastArrival_;
  std::vector<long long> sendTimes_;
  std::vector<long long> arrivalTimes_;
};

// A socket object connected to a loopback peer, its data counted.
struct TConnection {
  testsupport::TTcpListener listener;
  TCounter counter;
  TInetSocket socket;
  testsupport::TTcpPeer peer;

  TConnection() {
    socket.SetPacketQueueCapacity(0);  // as the providers use it
    socket.SetOnDataReceived(uInetSocket::TDataReceivedHandler(&counter, &TCounter::DataReceived));
    socket.SetRemoteHost(testsupport::kLoopback);
    socket.SetRemotePort(listener.Port());
    if (!socket.Connect(5000)) {
      std::fprintf(stderr, "the socket does not connect\n");
      std::exit(1);
    }
    peer = listener.Accept();
  }
};

double EngineRate() {
  TConnection c;
  const auto start = Clock::now();
  std::thread sender([&] { SendAll(c.peer, kBytes); });
  const bool complete = c.counter.WaitFor(kBytes, std::chrono::seconds(60));
  const double seconds = Seconds(Clock::now() - start);
  sender.join();
  if (!complete) {
    std::fprintf(stderr, "only %zu of %zu bytes arrived\n", c.counter.Received(), kBytes);
    std::exit(1);
  }
  return static_cast<double>(kBytes) / seconds;
}

void Throughput() {
  std::vector<double> plain, engine, ratios;
  for (int i = 0; i < kRuns; ++i) {
    plain.push_back(PlainRate());
    engine.push_back(EngineRate());
    ratios.push_back(engine.back() / plain.back());
  }
  std::printf("receive throughput over loopback TCP, %zu MiB a run, medians of %d pairs:\n",
              kBytes >> 20, kRuns);
  std::printf("  plain blocking recv loop %.0f MiB/s, engine to DataReceived %.0f MiB/s\n",
              Median(plain) / (1 << 20), Median(engine) / (1 << 20));
  std::printf(
      "  ratio of the medians %.2f (target: >= 0.8); median of the pairs' ratios %.2f, "
      "from %.2f to %.2f\n",
      Median(engine) / Median(plain), Median(ratios),
      *std::min_element(ratios.begin(), ratios.end()),
      *std::max_element(ratios.begin(), ratios.end()));
}

// Sends `count` timestamped messages `gapMs` apart and returns their latencies.
std::vector<double> Latencies(TConnection& c, int count, int gapMs) {
  c.counter.Reset();
  std::size_t expected = 0;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const std::string message = "T" + std::to_string(Clock::now().time_since_epoch().count());
    expected += message.size();
    c.peer.Send(message);
    // One message at a time, so that each arrives as a packet of its own.
    if (!c.counter.WaitFor(expected, std::chrono::seconds(5))) {
      std::fprintf(stderr, "message %d did not arrive\n", i);
      std::exit(1);
    }
  }
  return c.counter.Latencies();
}

// Voluntary context switches of the thread named `name` of this process.
long ContextSwitches(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string taskName;
    std::getline(comm, taskName);
    if (taskName != name) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
  }
  return -1;
}

void LatencyAndIdle() {
  TConnection c;
  const auto busy = Latencies(c, 1000, 2);
  std::printf("latency from the peer's send to DataReceived:\n");
  std::printf(
      "  while data flows (1000 messages 2 ms apart): median %.3f ms, 99th percentile "
      "%.3f ms (target: median <= 0.2 ms)\n",
      Median(busy), Percentile(busy, 0.99));

  // The short pauses end 1000 passes after the last data; then only the 10 ms limit wakes it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const std::string thread = uThreadUtils::CutThreadName(uInetSocketWorkThread::kWorkThreadName);
  constexpr int kIdleSeconds = 3;
  const long before = ContextSwitches(thread);
  std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
  const long after = ContextSwitches(thread);
  std::printf("idle connected socket: %.0f wake-ups/s of \"%s\" (target: <= 100)\n",
              static_cast<double>(after - before) / kIdleSeconds, thread.c_str());

  std::vector<double> idle;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const auto one = Latencies(c, 1, 0);
    idle.push_back(one.front());
  }
  std::printf("  after 1.1 s of silence (5 messages): median %.3f ms, worst %.3f ms\n",
              Median(idle), *std::max_element(idle.begin(), idle.end()));
}

}  // namespace

int main() {
  try {
    uCI_Library::TCILibraryScope library;
    Throughput();
    LatencyAndIdle();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "socket_bench: %s\n", e.what());
    return 1;
  }
}
