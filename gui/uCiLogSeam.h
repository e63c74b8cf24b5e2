#pragma once
// Test access to the log window, for tests and benchmarks only: a timer pass run at once, the
// timer's interval, the budget of a pass, the clock of the time stamps and the queue.

#include <QDateTime>
#include <chrono>
#include <cstddef>
#include <functional>

#include "gui/uCiLog.h"

namespace uCiLog {

struct TCiLogSeam {
  // Runs one timer pass now, on the calling (user-interface) thread.
  static void Tick(TfCiLog& log);
  static void SetTickInterval(TfCiLog& log, int milliseconds);
  // How long one pass may format before it leaves the rest for the next one; it always
  // handles at least 64 reports.
  static void SetTickBudget(TfCiLog& log, std::chrono::milliseconds budget);
  // The time stamp of queued reports; the local clock when empty.
  static void SetClock(TfCiLog& log, std::function<QDateTime()> clock);
  // How many reports wait for the next tick.
  static std::size_t Queued(TfCiLog& log);
  static void SetQueueLimits(TfCiLog& log, std::size_t maxEntries, std::size_t maxBytes);
};

}  // namespace uCiLog
