// Benchmark of parallel page requests: several clients ask the HTTP bridge for the status of
// the demo device at once, as several browser tabs would. Each exchange holds the channel
// for the device's answer plus the bridge's second of silence, so the requests queue up.
//   wait: from sending a request to its answer, median and maximum over all requests;
//         with the channel served in arrival order the longest wait is about one exchange
//         per client (target: maximum at most 1.2 x clients x one exchange).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/uConfiguratorCore.h"
#include "bridge/uDeviceTypes.h"
#include "ci/uCI_Library.h"
#include "providers/uCI_Providers.h"
#include "providers/uHidSimulated.h"
#include "sim/uSimulatedDovelaGsm.h"
#include "support/RawHttpClient.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kClients = 5;
constexpr int kRequestsPerClient = 10;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One POST of /status.json; the time until the whole answer came, in seconds, or a negative
// value when the answer was not a 200 with a body.
double StatusRequest(std::uint16_t port) {
  const auto start = Clock::now();
  testsupport::TRawHttpClient client("127.0.0.1", port);
  if (!client.Connected()) return -1;
  client.Send("POST /status.json HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
              "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
  const auto reply = client.ReadAll(std::chrono::seconds(120));
  if (reply.StatusLine().find(" 200 ") == std::string::npos || reply.Body().empty()) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}
}  // namespace

int main() {
  uCI_Library::TCILibraryScope library;
  uCI_Providers::THidBackends backends;
  backends.Simulated = std::make_shared<uHidSimulated::TSimulatedHidBackend>();
  uCI_Providers::TProvidersScope providers(backends);
  auto unit = uSimulatedDovelaGsm::TSimulatedDovelaGsm::Add(*backends.Simulated);

  const auto dir = std::filesystem::temp_directory_path() / "dovela-bridge-bench";
  std::filesystem::create_directories(dir / "Web" / "DovelaGSM");  // the page folder names the type
  uConfiguratorCore::TConfiguratorCore core(dir);
  int count = 0;
  const auto devices = uDeviceTypes::ListSupportedDevices(dir, count);
  if (devices.empty()) {
    std::fprintf(stderr, "the demo device is not listed\n");
    return 1;
  }
  std::string error;
  if (core.Connect(devices.front().DeviceType, devices.front().SerialNumber, error) !=
      uConfiguratorCore::TConfiguratorCore::TConnectResult::Connected) {
    std::fprintf(stderr, "cannot connect to the demo device: %s\n", error.c_str());
    return 1;
  }
  const std::string url = core.Url();
  const auto port = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));

  // One exchange alone, as the unit of the target.
  std::vector<double> alone;
  for (int i = 0; i < 3; ++i) alone.push_back(StatusRequest(port));
  const double exchange = Median(alone);
  if (exchange <= 0) {
    std::fprintf(stderr, "the status request failed\n");
    return 1;
  }

  std::vector<std::future<std::vector<double>>> clients;
  for (int c = 0; c < kClients; ++c)
    clients.push_back(std::async(std::launch::async, [port] {
      std::vector<double> waits;
      for (int r = 0; r < kRequestsPerClient; ++r) waits.push_back(StatusRequest(port));
      return waits;
    }));
  std::vector<double> waits;
  for (auto& client : clients)
    for (double wait : client.get()) waits.push_back(wait);
  core.Shutdown();
  std::filesystem::remove_all(dir);

  const auto failed = std::count_if(waits.begin(), waits.end(), [](double w) { return w < 0; });
  const double longest = *std::max_element(waits.begin(), waits.end());
  const double target = 1.2 * kClients * exchange;
  std::printf("one exchange alone: %.3f s\n", exchange);
  std::printf(
      "%d clients x %d status requests: wait median %.3f s, maximum %.3f s "
      "(target: at most %.3f s) %s\n",
      kClients, kRequestsPerClient, Median(waits), longest, target,
      longest <= target ? "ok" : "OVER");
  if (failed > 0) std::printf("%ld requests failed\n", static_cast<long>(failed));
  return failed > 0 ? 1 : 0;
}
