// Benchmark of the communication log window: four threads report 100000 Brisan 97 packets in
// all while the window is visible, and the 250 ms timer shows them.
//   per tick: time the user-interface thread spends in one timer pass, max and mean
//             (target: no pass longer than 250 ms);
//   backlog:  from the first report until every packet is a line (target: within 5 s);
//   memory:   peak resident size of the process (VmHWM).
// Run with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "ci/uCI_DataSpy.h"
#include "ci/uMyInterfacedObject.h"
#include "gui/uCiLog.h"
#include "gui/uCiLogSeam.h"
#include "support/TestChannel.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr int kPackets = 100000;
constexpr double kTickTargetMs = 250;
constexpr double kBacklogTargetMs = 5000;

std::string Packet(int n) {
  const std::string body = {static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                            static_cast<char>(n)};
  std::string p = "*a";
  p += static_cast<char>(0);
  p += static_cast<char>(5 + body.size());
  p += "\x01\x02";
  p += static_cast<char>(n % 2 ? 0x00 : 0x01);
  p += body;
  p += static_cast<char>(uCiLog::Checksum97(p));
  p += '\r';
  return p;
}

std::string PeakMemory() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return line.substr(6);
  return "?";
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  auto channel = uMyInterfacedObject::Create<testsupport::TTestChannel>();
  uCiLog::TfCiLog log;
  // The bench runs the passes itself at the window's interval, to time each one.
  uCiLog::TCiLogSeam::SetTickInterval(log, 24 * 60 * 60 * 1000);
  log.ShowLog(QString());
  auto* view = log.findChild<QPlainTextEdit*>("reLog");

  std::vector<double> ticks;
  const auto start = Clock::now();
  Clock::time_point shown{};
  std::vector<std::thread> reporters;
  for (int t = 0; t < kThreads; ++t) {
    reporters.emplace_back([&channel, t] {
      for (int i = t; i < kPackets; i += kThreads)
        uCI_DataSpy::CallDataSpy(
            channel.Get(), Packet(i),
            i % 2 ? uCI_DataSpy::kDirectionRead : uCI_DataSpy::kDirectionWritten);
    });
  }
  std::atomic<bool> reported{false};
  std::thread joiner([&] {
    for (auto& r : reporters) r.join();
    reported = true;
  });

  QTimer timer;
  timer.setInterval(uCiLog::kTimerInterval);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const auto before = Clock::now();
    uCiLog::TCiLogSeam::Tick(log);
    ticks.push_back(Ms(Clock::now() - before));
    if (reported && view->document()->blockCount() >= kPackets) {
      shown = Clock::now();
      application.quit();
    }
  });
  QTimer::singleShot(60000, &application, &QApplication::quit);  // gives up on a fault
  timer.start();
  application.exec();
  joiner.join();

  const int lines = view->document()->blockCount();
  const double total = std::accumulate(ticks.begin(), ticks.end(), 0.0);
  const double worst = ticks.empty() ? 0 : *std::max_element(ticks.begin(), ticks.end());
  const double backlog = shown == Clock::time_point{} ? -1 : Ms(shown - start);
  std::printf("cilog: %d packets from %d threads, %d lines shown\n", kPackets, kThreads, lines);
  std::printf("  ticks: %zu, per tick max %.1f ms, mean %.1f ms, total %.1f ms (target max %.0f)\n",
              ticks.size(), worst, ticks.empty() ? 0 : total / static_cast<double>(ticks.size()),
              total, kTickTargetMs);
  std::printf("  backlog shown after %.1f ms (target %.0f)\n", backlog, kBacklogTargetMs);
  std::printf("  peak memory (VmHWM):%s\n", PeakMemory().c_str());
  const bool ok =
      lines == kPackets && worst <= kTickTargetMs && backlog >= 0 && backlog <= kBacklogTargetMs;
  std::printf("  %s\n", ok ? "targets met" : "TARGETS MISSED");
  return ok ? 0 : 1;
}
