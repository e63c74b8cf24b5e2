#include "providers/uHidSimulated.h"

#include <algorithm>
#include <cerrno>

namespace uHidSimulated {

TSimulatedHidDevice::TSimulatedHidDevice(uHidPlatform::THidDeviceInfo info)
    : info_(std::move(info)) {}

void TSimulatedHidDevice::SetOnOutputReport(TOutputHandler handler) {
  std::lock_guard lock(mutex_);
  onOutput_ = std::move(handler);
}

void TSimulatedHidDevice::QueueInputReport(std::string report, std::uint32_t delayMs) {
  std::lock_guard lock(mutex_);
  const TPending pending{TClock::now() + std::chrono::milliseconds(delayMs), std::move(report)};
  // Kept in arrival order; equal times keep the order they were queued in.
  auto at = std::upper_bound(pending_.begin(), pending_.end(), pending.due,
                             [](TClock::time_point due, const TPending& p) { return due < p.due; });
  pending_.insert(at, pending);
  changed_.notify_all();
}

void TSimulatedHidDevice::Plug() {
  std::lock_guard lock(mutex_);
  plugged_ = true;
  changed_.notify_all();
}

void TSimulatedHidDevice::Unplug() {
  std::lock_guard lock(mutex_);
  plugged_ = false;
  pending_.clear();
  ring_.clear();
  open_ = false;
  changed_.notify_all();
}

void TSimulatedHidDevice::SetWritesFail(bool fail) {
  std::lock_guard lock(mutex_);
  writesFail_ = fail;
}

void TSimulatedHidDevice::SetOpenFails(int code) {
  std::lock_guard lock(mutex_);
  openFails_ = code;
}

int TSimulatedHidDevice::DroppedReports() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::vector<std::string> TSimulatedHidDevice::WrittenReports() const {
  std::lock_guard lock(mutex_);
  return {written_.begin(), written_.end()};
}

std::uint64_t TSimulatedHidDevice::WrittenCount() const {
  std::lock_guard lock(mutex_);
  return writtenCount_;
}

bool TSimulatedHidDevice::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

std::string TSimulatedHidDevice::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void TSimulatedHidDevice::DeliverDue(TClock::time_point now) {
  while (!pending_.empty() && pending_.front().due <= now) {
    if (open_ && static_cast<int>(ring_.size()) < kInputRing - 1)
      ring_.push_back(std::move(pending_.front().report));
    else
      ++dropped_;
    pending_.pop_front();
  }
}

int TSimulatedHidDevice::WriteReport(const std::string& report) {
  TOutputHandler handler;
  {
    std::lock_guard lock(mutex_);
    if (!plugged_) {
      lastError_ = info_.Path + ": device removed";
      return -1;
    }
    if (writesFail_) {
      lastError_ = info_.Path + ": write failed";
      return -1;
    }
    DeliverDue(TClock::now());  // what arrived before the handle opens is lost
    open_ = true;
    written_.push_back(report);
    if (written_.size() > kWrittenHistory) written_.pop_front();
    ++writtenCount_;
    handler = onOutput_;
  }
  if (handler) handler(report);
  return static_cast<int>(report.size());
}

std::string TSimulatedHidDevice::ReadReport(int maxLength) {
  std::lock_guard lock(mutex_);
  if (!plugged_ || maxLength <= 0) return {};
  if (!open_) {
    DeliverDue(TClock::now());
    open_ = true;
    return {};
  }
  DeliverDue(TClock::now());
  if (ring_.empty()) return {};
  std::string report = std::move(ring_.front());
  ring_.pop_front();
  if (static_cast<int>(report.size()) > maxLength)
    report.resize(static_cast<std::size_t>(maxLength));
  return report;
}

bool TSimulatedHidDevice::WaitReadable(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const TClock::time_point now = TClock::now();
    if (plugged_ && !open_) return true;  // the next read opens the handle
    if (plugged_) {
      DeliverDue(now);
      if (!ring_.empty()) return true;
    }
    if (woken_) {
      woken_ = false;
      return false;
    }
    if (now >= deadline) return false;
    TClock::time_point until = deadline;
    if (plugged_ && !pending_.empty()) until = std::min(until, pending_.front().due);
    changed_.wait_until(lock, until);
  }
}

void TSimulatedHidDevice::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

uHidPlatform::THidOpenResult TSimulatedHidDevice::Open() {
  std::lock_guard lock(mutex_);
  if (!plugged_) {
    lastError_ = info_.Path + ": device removed";
    return {ENODEV, lastError_};
  }
  if (openFails_ != 0) {
    lastError_ = info_.Path + ": open failed";
    return {openFails_, lastError_};
  }
  if (!open_) {
    DeliverDue(TClock::now());  // what arrived before the handle opens is lost
    open_ = true;
  }
  ++holders_;
  return {};
}

void TSimulatedHidDevice::Close() {
  {
    std::lock_guard lock(mutex_);
    if (holders_ == 0 || --holders_ > 0) return;
  }
  CloseHandles();
}

void TSimulatedHidDevice::CloseHandles() {
  std::lock_guard lock(mutex_);
  if (holders_ > 0) return;
  DeliverDue(TClock::now());
  open_ = false;
  ring_.clear();
}

std::shared_ptr<TSimulatedHidDevice> TSimulatedHidBackend::AddDevice(
    uHidPlatform::THidDeviceInfo info) {
  std::lock_guard lock(mutex_);
  if (info.Path.empty()) info.Path = "sim:" + std::to_string(next_);
  ++next_;
  auto device = std::make_shared<TSimulatedHidDevice>(std::move(info));
  devices_.push_back(device);
  return device;
}

void TSimulatedHidBackend::RemoveDevice(const std::shared_ptr<TSimulatedHidDevice>& device) {
  if (!device) return;
  device->Unplug();
  std::lock_guard lock(mutex_);
  devices_.erase(std::remove(devices_.begin(), devices_.end(), device), devices_.end());
}

std::vector<uHidPlatform::THidPlatformDevicePtr> TSimulatedHidBackend::PresentDevices() {
  std::lock_guard lock(mutex_);
  std::vector<uHidPlatform::THidPlatformDevicePtr> present;
  for (const auto& device : devices_)
    if (device->Plugged()) present.push_back(device);
  return present;
}

}  // namespace uHidSimulated
