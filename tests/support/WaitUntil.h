#pragma once
// The one wait of the tests: until a condition holds, with a deadline, never a fixed pause.

#include <chrono>
#include <thread>

namespace testsupport {

// Asks pred every millisecond until it holds or ms have passed; the last answer of pred.
template <class Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testsupport
