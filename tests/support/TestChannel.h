#pragma once
// A channel for tests: its transport is an in-memory input buffer that a test (or a device
// thread of the test) fills, and every transport call is counted.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ci/uCI_DataSpy.h"

namespace testsupport {

class TTestChannel : public uCI_DataSpy::TCommunicationInterfaceDataSpy {
 public:
  using TCommunicationInterfaceDataSpy::TCommunicationInterfaceDataSpy;
  std::string ClassName() const override { return "TTestChannel"; }

  // What the transport answers.
  std::atomic<bool> open{false};
  std::atomic<bool> openResult{true};
  std::atomic<bool> closeResult{true};
  std::atomic<bool> configResult{true};
  std::atomic<std::int32_t> writeResult{-1};  // -1: the length of the text

  // What the transport was asked.
  std::atomic<int> openCalls{0};
  std::atomic<int> closeCalls{0};
  std::atomic<int> clearInputCalls{0};
  std::atomic<int> clearOutputCalls{0};
  std::atomic<bool> lastCloseForce{false};

  bool IsOpen() override { return open; }
  std::string GetAddress() override { return "test:" + Config(); }
  std::string GetConfiguration() override { return Config(); }

  // Input as a device delivers it.
  void Deliver(const std::string& piece) {
    std::lock_guard lock(mutex_);
    input_ += piece;
  }
  std::vector<std::string> Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  std::vector<std::string> Configs() {
    std::lock_guard lock(mutex_);
    return configs_;
  }
  std::string Config() {
    std::lock_guard lock(mutex_);
    return configs_.empty() ? std::string() : configs_.back();
  }
  std::int32_t GetInputCount() override {
    std::lock_guard lock(mutex_);
    return static_cast<std::int32_t>(input_.size());
  }
  void ClearInput() override {
    ++clearInputCalls;
    std::lock_guard lock(mutex_);
    input_.clear();
  }
  void ClearOutput() override { ++clearOutputCalls; }

  // Called after every write, outside any lock of the test channel: lets a test play a
  // device that answers requests.
  virtual void OnWritten(const std::string& /*data*/) {}

 protected:
  bool InternalOpen() override {
    ++openCalls;
    if (openResult) open = true;
    return openResult;
  }
  bool InternalClose(bool force) override {
    ++closeCalls;
    lastCloseForce = force;
    if (closeResult) open = false;
    return closeResult;
  }
  std::int32_t InternalWriteString(const std::string& data) override {
    {
      std::lock_guard lock(mutex_);
      written_.push_back(data);
    }
    OnWritten(data);
    return writeResult < 0 ? static_cast<std::int32_t>(data.size()) : writeResult.load();
  }
  std::string InternalReadString() override {
    std::lock_guard lock(mutex_);
    std::string data;
    data.swap(input_);
    return data;
  }
  bool InternalSetConfiguration(const std::string& config) override {
    std::lock_guard lock(mutex_);
    configs_.push_back(config);
    return configResult;
  }

 private:
  std::mutex mutex_;
  std::string input_;
  std::vector<std::string> written_;
  std::vector<std::string> configs_;
};

}  // namespace testsupport
