#pragma once
// Simulated HID devices: in-process stand-ins for USB HID devices, for tests, benchmarks and
// the demo mode. The device side receives every output report the host writes and queues
// input reports for the host, at once or after a delay; plugging and unplugging are calls.
//
// Like a hidraw file, an open device keeps a ring of 64 input reports of which at most 63
// wait; a report that arrives while the ring is full, or while the host has no handle open,
// is dropped.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "providers/uHidPlatform.h"

namespace uHidSimulated {

inline constexpr int kInputRing = 64;

class TSimulatedHidDevice final : public uHidPlatform::IHidPlatformDevice {
 public:
  explicit TSimulatedHidDevice(uHidPlatform::THidDeviceInfo info);

  // ---- device side
  // Called with each output report, on the writing thread, with no lock held.
  using TOutputHandler = std::function<void(const std::string& report)>;
  void SetOnOutputReport(TOutputHandler handler);
  // Queues an input report (report-id byte first) that arrives delayMs from now.
  void QueueInputReport(std::string report, std::uint32_t delayMs = 0);
  void Plug();
  void Unplug();
  // Makes the next writes fail, as a device that stops answering does.
  void SetWritesFail(bool fail);
  // Makes the next opens fail with this system error number (0: they succeed again).
  void SetOpenFails(int code);
  // Input reports lost to a full ring or a closed handle.
  int DroppedReports() const;
  // The last output reports the host wrote (at most kWrittenHistory), oldest first.
  static constexpr std::size_t kWrittenHistory = 256;
  std::vector<std::string> WrittenReports() const;
  // How many output reports the host has written in all.
  std::uint64_t WrittenCount() const;

  // ---- host side
  const uHidPlatform::THidDeviceInfo& Info() const override { return info_; }
  bool Plugged() const override;
  int WriteReport(const std::string& report) override;
  std::string ReadReport(int maxLength) override;
  uHidPlatform::THidOpenResult Open() override;
  void Close() override;
  void CloseHandles() override;
  int GetNumInputBuffers() override { return kInputRing; }
  bool SetNumInputBuffers(int) override { return true; }
  std::string LastError() const override;
  // Waits on a condition variable for a queued report to become due, or for Wake().
  bool WaitReadable(std::uint32_t timeoutMs) override;
  void Wake() override;

 private:
  using TClock = std::chrono::steady_clock;
  struct TPending {
    TClock::time_point due;
    std::string report;
  };
  void DeliverDue(TClock::time_point now);  // with mutex_ held

  const uHidPlatform::THidDeviceInfo info_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a report queued, a plug, an unplug or a wake-up
  bool woken_ = false;
  TOutputHandler onOutput_;
  bool plugged_ = true;
  bool open_ = false;
  int holders_ = 0;
  int openFails_ = 0;
  bool writesFail_ = false;
  int dropped_ = 0;
  std::string lastError_;
  std::deque<TPending> pending_;  // ordered by due time
  std::deque<std::string> ring_;
  std::deque<std::string> written_;  // the last kWrittenHistory
  std::uint64_t writtenCount_ = 0;
};

class TSimulatedHidBackend final : public uHidPlatform::IHidBackend {
 public:
  // Adds a plugged-in device; an empty path becomes "sim:N".
  std::shared_ptr<TSimulatedHidDevice> AddDevice(uHidPlatform::THidDeviceInfo info);
  // Unplugs the device and takes it off the list.
  void RemoveDevice(const std::shared_ptr<TSimulatedHidDevice>& device);
  std::vector<uHidPlatform::THidPlatformDevicePtr> PresentDevices() override;

 private:
  std::mutex mutex_;
  int next_ = 1;
  std::vector<std::shared_ptr<TSimulatedHidDevice>> devices_;
};

}  // namespace uHidSimulated
