#include "providers/uHidDevice.h"

#include <algorithm>
#include <utility>

namespace uHidDevice {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

namespace {
// Payload bytes per output report: OutLen - 2, and never more than the length byte can say
// (so a report longer than 257 bytes cannot garble the text).
std::size_t PayloadRoom(int outLen) {
  return std::min<std::size_t>(static_cast<std::size_t>(outLen - 2), 255);
}
}  // namespace

THidDevice::THidDevice() : lock_("THidDevice") {}

THidDevice::~THidDevice() {
  SetDevice(nullptr);
}

void THidDevice::SetDevice(uHidPlatform::THidPlatformDevicePtr device) {
  uHidPlatform::THidPlatformDevicePtr previous;
  {
    TWriteLock hold(lock_);
    previous = std::exchange(device_, std::move(device));
  }
  // A wait on the previous device, or on none, ends: the next one is on the new device.
  if (previous) previous->Wake();
  idle_.SetEvent();
}

void THidDevice::WaitReadable(std::uint32_t timeoutMs) {
  const auto device = GetDevice();  // waited on without the lock, so writes go on
  if (device)
    device->WaitReadable(timeoutMs);
  else
    idle_.WaitFor(timeoutMs);
}

void THidDevice::Wake() {
  idle_.SetEvent();
  if (const auto device = GetDevice()) device->Wake();
}

uHidPlatform::THidPlatformDevicePtr THidDevice::GetDevice() {
  TReadLock hold(lock_);
  return device_;
}

int THidDevice::GetVendorID() {
  TReadLock hold(lock_);
  return device_ ? device_->Info().VendorID : 0;
}

int THidDevice::GetProductID() {
  TReadLock hold(lock_);
  return device_ ? device_->Info().ProductID : 0;
}

std::string THidDevice::GetSerialNumber() {
  TReadLock hold(lock_);
  return device_ ? device_->Info().SerialNumber : std::string();
}

std::string THidDevice::GetProductName() {
  TReadLock hold(lock_);
  return device_ ? device_->Info().Product : std::string();
}

std::string THidDevice::GetManufacturerName() {
  TReadLock hold(lock_);
  return device_ ? device_->Info().Manufacturer : std::string();
}

bool THidDevice::WriteString(const std::string& text) {
  TWriteLock hold(lock_);
  if (!device_) return false;
  const int outLen = device_->Info().OutputReportByteLength;
  // Without room for one byte of text the text would be cut into empty reports forever.
  if (outLen < kMinOutputReportLength) return false;
  const std::size_t room = PayloadRoom(outLen);
  std::size_t offset = 0;
  while (text.size() - offset > room) {
    if (!WriteReport(text.substr(offset, room), outLen)) return false;
    offset += room;
  }
  return WriteReport(text.substr(offset), outLen);
}

bool THidDevice::WriteReport(const std::string& chunk, int outLen) {
  if (!device_ || outLen < 2) return false;
  const std::size_t used = std::min(chunk.size(), PayloadRoom(outLen));
  std::string report(static_cast<std::size_t>(outLen), '\0');
  report[0] = static_cast<char>(outLen - 1);
  report[1] = static_cast<char>(used);
  std::copy_n(chunk.begin(), used, report.begin() + 2);
  return device_->WriteReport(report) == outLen;
}

std::string THidDevice::ReadString() {
  TReadLock hold(lock_);
  std::string text;
  if (!device_) return text;
  const int inLen = device_->Info().InputReportByteLength;
  for (;;) {
    std::string payload = ReadReport(inLen);
    if (payload.empty()) break;
    text += payload;
  }
  return text;
}

std::string THidDevice::ReadReport(int inLen) {
  if (!device_ || inLen <= 0) return {};
  const std::string report = device_->ReadReport(inLen);
  const std::size_t received = report.size();
  if (received < 2) return {};
  const std::size_t length = static_cast<unsigned char>(report[1]);
  if (length == 0 || length >= received) return {};
  return report.substr(2, std::min(length, received - 2));
}

}  // namespace uHidDevice
