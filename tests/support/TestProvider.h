#pragma once
// A provider over an in-memory transport, for tests; a test plays its receive thread with
// Receive.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "providers/uCI_InternalBufferCommunicationInterface.h"

namespace testsupport {

class TTestProvider final
    : public uCI_InternalBufferCommunicationInterface::TCommunicationInternalBufferInterface {
 public:
  TTestProvider() : TCommunicationInternalBufferInterface("TTestProvider") {}

  std::string name = "TEST";
  std::atomic<bool> open{false};
  std::atomic<bool> openResult{true};
  std::atomic<bool> configResult{true};
  std::atomic<std::int32_t> writeResult{-1};
  std::atomic<int> openCalls{0};
  std::atomic<int> closeCalls{0};
  std::atomic<bool> lastForce{false};
  std::mutex mutex;
  std::vector<std::string> written;

  bool IsOpen() override { return open; }
  std::string GetProviderName() override { return name; }
  void ClearOutput() override {}
  void Receive(const std::string& text) { DoReadString(text); }

 protected:
  bool InternalOpen() override {
    ++openCalls;
    open = openResult.load();
    return openResult;
  }
  bool InternalClose(bool force) override {
    ++closeCalls;
    lastForce = force;
    open = false;
    return true;
  }
  std::int32_t InternalWriteString(const std::string& text) override {
    std::lock_guard lock(mutex);
    written.push_back(text);
    return writeResult < 0 ? static_cast<std::int32_t>(text.size()) : writeResult.load();
  }
  bool InternalSetConfiguration(const std::string&) override { return configResult; }
};

}  // namespace testsupport
