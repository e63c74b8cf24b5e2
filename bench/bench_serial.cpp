// Benchmarks of the serial port engine over pseudo-terminal pairs:
//   throughput: bytes per second through the engine (its event thread and ReadPending to
//               receive, its output queue and write thread to send), as a share of plain
//               read(2)/write(2) on the same kind of pair in the same run (target: >= 0.8);
//   latency:    from the peer's write(2) to the SERIAL_PORT provider's data event
//               (OnReadString on the event thread), median and 99th percentile.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_Library.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/AfComPort.h"
#include "providers/uCI_Providers.h"
#include "providers/uCI_SerialPortInterface.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBytes = 64u << 20;  // per throughput run
constexpr std::size_t kChunk = 64u << 10;
constexpr int kRuns = 5;
constexpr int kLatencySamples = 2000;

[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

struct TPty {
  int master = -1;
  int slave = -1;  // opened by the pair; the engine opens its own
  std::string path;
  TPty() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("openpty");
    path = name;
    for (const int fd : {master, slave}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~TPty() {
    ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

// Writes count bytes to fd (blocking), in chunks.
void WriteAll(int fd, std::size_t count) {
  const std::string chunk(kChunk, 'x');
  std::size_t sent = 0;
  while (sent < count) {
    const ssize_t n = ::write(fd, chunk.data(), std::min(kChunk, count - sent));
    if (n > 0)
      sent += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN)
      Fail("write");
  }
}

// Reads count bytes from fd (blocking).
void ReadAll(int fd, std::size_t count) {
  std::vector<char> buffer(kChunk);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0)
      got += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN)
      Fail("read");
  }
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Plain read/write between the two ends; toSlave: master writes, slave reads.
double PlainRate(bool toSlave) {
  TPty pty;
  const int writer = toSlave ? pty.master : pty.slave;
  const int reader = toSlave ? pty.slave : pty.master;
  const auto start = Clock::now();
  std::thread write([&] { WriteAll(writer, kBytes); });
  ReadAll(reader, kBytes);
  write.join();
  return static_cast<double>(kBytes) / Seconds(Clock::now() - start);
}

// Counts what the engine's events bring in and wakes the sender when the queue went out.
struct TSink {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t received = 0;
  int sent = 0;
  void OnEvent(AfComPort::TAfComPort* port, int kind, std::uint32_t) {
    const std::size_t n = port->ReadPending().size();
    {
      std::lock_guard lock(mutex);
      received += n;
      if (kind == AfComPort::kKindOutputSent) ++sent;
    }
    changed.notify_all();
  }
};

double EngineReceiveRate() {
  TPty pty;
  TSink sink;
  AfComPort::TAfComPort port;
  port.SetPortName(pty.path);
  port.SetOnNonSyncEvent({&sink, &TSink::OnEvent});
  port.OpenPort();
  const auto start = Clock::now();
  std::thread write([&] { WriteAll(pty.master, kBytes); });
  {
    std::unique_lock lock(sink.mutex);
    sink.changed.wait(lock, [&] { return sink.received >= kBytes; });
  }
  const double rate = static_cast<double>(kBytes) / Seconds(Clock::now() - start);
  write.join();
  port.ClosePort();
  return rate;
}

// The queue holds the whole run, so what is measured is the engine's path from the queue to
// the tty, not how soon a sender wakes up to refill it.
double EngineSendRate() {
  constexpr int kQueue = static_cast<int>(kBytes);
  TPty pty;
  TSink sink;
  AfComPort::TAfComPort port;
  port.SetPortName(pty.path);
  port.SetOutBufSize(kQueue);
  port.SetOnNonSyncEvent({&sink, &TSink::OnEvent});
  port.OpenPort();
  const std::string chunk(kChunk, 'y');
  const auto start = Clock::now();
  std::thread read([&] { ReadAll(pty.master, kBytes); });
  std::size_t queued = 0;
  while (queued < kBytes) {
    if (port.OutputFree() >= static_cast<int>(kChunk)) {
      port.QueueWrite(chunk.substr(0, std::min(kChunk, kBytes - queued)));
      queued += std::min(kChunk, kBytes - queued);
      continue;
    }
    // Full (not with the queue this size, but kept correct): wait for the queue to go out.
    std::unique_lock lock(sink.mutex);
    const int before = sink.sent;
    sink.changed.wait_for(lock, std::chrono::milliseconds(1), [&] { return sink.sent != before; });
  }
  read.join();
  const double rate = static_cast<double>(kBytes) / Seconds(Clock::now() - start);
  port.ClosePort();
  return rate;
}

// The best of kRuns runs of each, taken in turns, so that both see the same load.
std::pair<double, double> BestOfPair(double (*plain)(), double (*engine)()) {
  double bestPlain = 0;
  double bestEngine = 0;
  for (int i = 0; i < kRuns; ++i) {
    bestPlain = std::max(bestPlain, plain());
    bestEngine = std::max(bestEngine, engine());
  }
  return {bestPlain, bestEngine};
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)))];
}

// The provider's data event, timed from the peer's write.
struct TLatency {
  std::mutex mutex;
  std::condition_variable arrived;
  Clock::time_point at;
  bool got = false;
  void OnRead(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string&) {
    {
      std::lock_guard lock(mutex);
      at = Clock::now();
      got = true;
    }
    arrived.notify_all();
  }
};

void Latency() {
  TPty pty;
  TLatency latency;
  auto provider =
      uMyInterfacedObject::Create<uCI_SerialPortInterface::TCommunicationSerialPortInterface>();
  provider->GetOnReadString().Connect({&latency, &TLatency::OnRead}, nullptr, nullptr);
  provider->SetConfiguration("provider=SERIAL_PORT;baudrate=115200;comport=" + pty.path);
  if (!provider->Open()) Fail("open the provider");
  std::vector<double> samples;
  for (int i = 0; i < kLatencySamples; ++i) {
    {
      std::lock_guard lock(latency.mutex);
      latency.got = false;
    }
    const auto start = Clock::now();
    if (::write(pty.master, "?", 1) != 1) Fail("write");
    std::unique_lock lock(latency.mutex);
    if (!latency.arrived.wait_for(lock, std::chrono::seconds(2), [&] { return latency.got; }))
      Fail("no data event");
    samples.push_back(std::chrono::duration<double, std::micro>(latency.at - start).count());
    lock.unlock();
    provider->ReadString();  // keep the receive buffer empty
  }
  provider->Close(false);
  std::printf(
      "latency, peer write to the provider's data event (%d samples): median %.0f us, "
      "99th percentile %.0f us\n",
      kLatencySamples, Percentile(samples, 0.5), Percentile(samples, 0.99));
}

}  // namespace

int main() {
  uCI_Library::TCILibraryScope library;
  uCI_Providers::TProvidersScope providers({.Linux = false, .Simulated = nullptr});

  const auto [plainIn, engineIn] = BestOfPair([] { return PlainRate(true); }, EngineReceiveRate);
  const auto [plainOut, engineOut] = BestOfPair([] { return PlainRate(false); }, EngineSendRate);
  const auto mib = [](double rate) { return rate / (1 << 20); };
  std::printf("throughput over a pty pair, %zu MiB a run, best of %d (target: ratio >= 0.80)\n",
              kBytes >> 20, kRuns);
  std::printf("  receive: engine %.0f MiB/s, plain read/write %.0f MiB/s, ratio %.2f\n",
              mib(engineIn), mib(plainIn), engineIn / plainIn);
  std::printf("  send:    engine %.0f MiB/s, plain read/write %.0f MiB/s, ratio %.2f\n",
              mib(engineOut), mib(plainOut), engineOut / plainOut);
  Latency();
  return 0;
}
