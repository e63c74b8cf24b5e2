// Benchmarks of the communication stack: the wrapper channel, the HID provider with its work
// thread, and a simulated device.
//   round trip: how much a Query takes beyond the device's own delay and the silence gap
//               that ends it (target: at most 3 ms median: the HID work thread wakes when a
//               report arrives, what is left is mostly the 1 ms poll of Query);
//   TCP round trip: a Query over the TCP_CLIENT provider to the simulated unit on a loopback
//               port: the time beyond its NextTimeout gap, and what is left of it after the
//               unit's own time (its 20 ms end-of-request silence and its answer time);
//   throughput: a device sending one 64-byte report (62 payload bytes) per millisecond, the
//               USB full-speed interrupt limit; the share of that rate reaching the channel
//               (target: at least 99%, nothing lost or reordered).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_Library.h"
#include "ci/uCI_Wrapper.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/uCI_Providers.h"
#include "providers/uHidSimulated.h"
#include "sim/uTcpDovelaGsm.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kReport = 64;
constexpr int kPayload = kReport - 2;

std::string InputReport(const std::string& payload) {
  std::string report(kReport, '\0');
  report[0] = static_cast<char>(kReport - 1);
  report[1] = static_cast<char>(payload.size());
  report.replace(2, payload.size(), payload);
  return report;
}

uHidPlatform::THidDeviceInfo Info(const std::string& serial) {
  uHidPlatform::THidDeviceInfo info;
  info.VendorID = 0x2047;
  info.ProductID = 0x0301;
  info.Product = "Dovela GSM (bench)";
  info.SerialNumber = serial;
  info.InputReportByteLength = kReport;
  info.OutputReportByteLength = kReport;
  return info;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t index =
      static_cast<std::size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  return values[index];
}

uCI_Wrapper::TWrapperPtr OpenChannel(const std::string& serial) {
  uCI_Wrapper::TWrapperPtr channel(
      uMyInterfacedObject::Create<uCI_Wrapper::TCommunicationWrapperInterface>().Get());
  channel->SetConfiguration("provider=HID;vid=$2047;pid=$0301;serial_number=" + serial);
  if (!channel->Open()) {
    std::fprintf(stderr, "cannot open the simulated device %s\n", serial.c_str());
    std::exit(1);
  }
  return channel;
}

void RoundTrip(uHidSimulated::TSimulatedHidBackend& backend) {
  constexpr int kExchanges = 60;
  constexpr std::uint32_t kDeviceDelayMs = 5;
  constexpr int kNextTimeoutMs = 20;
  auto device = backend.AddDevice(Info("RT"));
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
  device->SetOnOutputReport([weak](const std::string&) {
    if (auto d = weak.lock()) d->QueueInputReport(InputReport("answer"), kDeviceDelayMs);
  });
  auto channel = OpenChannel("RT");
  std::vector<double> overheads;
  for (int i = 0; i < kExchanges; ++i) {
    std::string answer;
    const auto start = Clock::now();
    channel->Query("request", 2000, kNextTimeoutMs, 5000, true, true, {}, "", answer);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (answer != "answer") {
      std::fprintf(stderr, "exchange %d answered \"%s\"\n", i, answer.c_str());
      std::exit(1);
    }
    overheads.push_back(ms - kDeviceDelayMs - kNextTimeoutMs);
  }
  channel->Close(false);
  backend.RemoveDevice(device);
  std::printf("round trip over %d exchanges (device delay %u ms, NextTimeout %d ms):\n", kExchanges,
              kDeviceDelayMs, kNextTimeoutMs);
  std::printf("  overhead median %.2f ms, 95th percentile %.2f ms (target: median <= 3 ms)\n",
              Percentile(overheads, 0.5), Percentile(overheads, 0.95));
}

void TcpRoundTrip() {
  constexpr int kExchanges = 50;
  constexpr int kNextTimeoutMs = 20;
  uTcpDovelaGsm::TTcpDovelaGsm unit;
  uCI_Wrapper::TWrapperPtr channel(
      uMyInterfacedObject::Create<uCI_Wrapper::TCommunicationWrapperInterface>().Get());
  channel->SetConfiguration("provider=TCP_CLIENT;host=127.0.0.1;port=" +
                            std::to_string(unit.Port()));
  if (!channel->Open()) {
    std::fprintf(stderr, "cannot connect to the simulated unit on port %u\n", unit.Port());
    std::exit(1);
  }
  std::vector<double> beyondGap;
  std::vector<double> overheads;
  for (int i = 0; i < kExchanges; ++i) {
    std::string answer;
    const auto start = Clock::now();
    channel->Query("/config.json\r\n", 2000, kNextTimeoutMs, 5000, true, true, {}, "", answer);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const auto times = unit.LastExchange();
    const double unitMs =
        std::chrono::duration<double, std::milli>(times.AnsweredAt - times.RequestAt).count();
    if (answer.rfind("{\"ok\":true", 0) != 0) {
      std::fprintf(stderr, "exchange %d answered \"%s\"\n", i, answer.c_str());
      std::exit(1);
    }
    beyondGap.push_back(ms - kNextTimeoutMs);
    overheads.push_back(ms - kNextTimeoutMs - unitMs);
  }
  channel->Close(false);
  std::printf("TCP round trip to the simulated unit over %d exchanges (NextTimeout %d ms):\n",
              kExchanges, kNextTimeoutMs);
  std::printf(
      "  beyond NextTimeout median %.2f ms (the unit's 20 ms silence and answer time "
      "included)\n",
      Percentile(beyondGap, 0.5));
  std::printf("  overhead median %.2f ms, 95th percentile %.2f ms (without the unit's own time)\n",
              Percentile(overheads, 0.5), Percentile(overheads, 0.95));
}

void Throughput(uHidSimulated::TSimulatedHidBackend& backend) {
  constexpr int kReports = 3000;  // 3 s at one report per millisecond
  auto device = backend.AddDevice(Info("TP"));
  auto channel = OpenChannel("TP");
  channel->WriteString("start");  // opens the device's input side
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  // Numbered payloads, so that a lost or reordered report shows.
  std::string expected;
  for (int i = 0; i < kReports; ++i) {
    char head[16];
    std::snprintf(head, sizeof head, "%08d", i);
    std::string payload(head);
    payload.resize(kPayload, static_cast<char>('a' + i % 26));
    expected += payload;
    device->QueueInputReport(InputReport(payload), static_cast<std::uint32_t>(i + 1));
  }
  const auto start = Clock::now();
  std::string received;
  auto lastArrival = start;
  while (received.size() < expected.size() && Clock::now() - start < std::chrono::seconds(10)) {
    const std::string piece = channel->ReadString();
    if (!piece.empty()) {
      received += piece;
      lastArrival = Clock::now();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  const double seconds = std::chrono::duration<double>(lastArrival - start).count();
  const double rate = static_cast<double>(received.size()) / seconds;
  const double limit = kPayload * 1000.0;
  channel->Close(false);
  std::printf("receive throughput over %d reports:\n", kReports);
  std::printf("  %.0f payload bytes/s = %.2f%% of the %.0f bytes/s limit (target: >= 99%%)\n", rate,
              100.0 * rate / limit, limit);
  std::printf("  %s; %d reports dropped by the device's ring\n",
              received == expected ? "every byte arrived in order" : "BYTES LOST OR REORDERED",
              device->DroppedReports());
  backend.RemoveDevice(device);
}
}  // namespace

int main() {
  uCI_Library::TCILibraryScope library;
  auto backend = std::make_shared<uHidSimulated::TSimulatedHidBackend>();
  uCI_Providers::TProvidersScope providers({.Linux = false, .Simulated = backend});
  RoundTrip(*backend);
  TcpRoundTrip();
  Throughput(*backend);
  return 0;
}
