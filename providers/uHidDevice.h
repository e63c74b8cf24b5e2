#pragma once
// A HID device entry: one platform device (or none), its identity and the report I/O the
// HID provider uses. Text travels in reports of the device's own lengths:
//   output: [OutLen - 1][payload length P][P bytes, zero padded to OutLen - 2]
//   input:  [report id][payload length L][L bytes used of InLen - 2]

#include <cstdint>
#include <string>

#include "ci/uSynchronizer.h"
#include "ci/uThreadUtils.h"
#include "providers/uHidPlatform.h"

namespace uHidDevice {

// The shortest output report that carries text: report id, length byte, one byte of text.
inline constexpr int kMinOutputReportLength = 3;

class THidDevice {
 public:
  THidDevice();
  ~THidDevice();
  THidDevice(const THidDevice&) = delete;
  THidDevice& operator=(const THidDevice&) = delete;

  void SetDevice(uHidPlatform::THidPlatformDevicePtr device);
  uHidPlatform::THidPlatformDevicePtr GetDevice();

  // 0 and empty strings when no device is attached.
  int GetVendorID();
  int GetProductID();
  std::string GetSerialNumber();
  std::string GetProductName();
  std::string GetManufacturerName();

  void BeginWrite() { lock_.BeginWrite(); }
  void EndWrite() { lock_.EndWrite(); }
  void BeginRead() { lock_.BeginRead(); }
  void EndRead() { lock_.EndRead(); }

  // All of text in output reports; an empty text is one report with payload length 0.
  // False when no device is attached, its output reports are shorter than
  // kMinOutputReportLength (nothing is written), or a report could not be written (the
  // reports before it have gone out).
  bool WriteString(const std::string& text);
  // The payload of every input report waiting, up to the first empty or malformed one.
  std::string ReadString();
  // Waits at most timeoutMs for the attached device to have an input report, or until
  // Wake() or a change of device; without a device it just waits.
  void WaitReadable(std::uint32_t timeoutMs);
  // Ends a wait in progress (or the next one): any thread.
  void Wake();

  // One report each, on the attached device (the caller holds the entry lock).
  bool WriteReport(const std::string& chunk, int outLen);
  std::string ReadReport(int inLen);

 private:
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  uHidPlatform::THidPlatformDevicePtr device_;
  uThreadUtils::TEvent idle_;  // the wait without a device
};

}  // namespace uHidDevice
