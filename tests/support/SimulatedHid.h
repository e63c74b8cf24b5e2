#pragma once
// The simulated HID backend for tests, added once to the HID device manager's controller,
// and a fixture that adds devices and takes them away again after each test.

#include <memory>
#include <string>
#include <vector>

#include "providers/uHidDeviceManager.h"
#include "providers/uHidSimulated.h"

namespace testsupport {

inline std::shared_ptr<uHidSimulated::TSimulatedHidBackend> SimulatedBackend() {
  static const auto backend = [] {
    auto b = std::make_shared<uHidSimulated::TSimulatedHidBackend>();
    uHidDeviceManager::GetHidDeviceManager().Controller().AddBackend(b);
    return b;
  }();
  return backend;
}

inline uHidPlatform::THidDeviceInfo DovelaInfo(std::string serial, int reportLength = 64) {
  uHidPlatform::THidDeviceInfo info;
  info.VendorID = 0x2047;
  info.ProductID = 0x0301;
  info.Manufacturer = "Dovela s.r.o.";
  info.Product = "Dovela GSM Modem";
  info.SerialNumber = std::move(serial);
  info.InputReportByteLength = reportLength;
  info.OutputReportByteLength = reportLength;
  return info;
}

// Input report as the device sends it: report id, payload length, payload, zero padding.
inline std::string InputReport(const std::string& payload, int length = 64) {
  std::string report(static_cast<std::size_t>(length), '\0');
  report[0] = static_cast<char>(length - 1);
  report[1] = static_cast<char>(payload.size());
  report.replace(2, payload.size(), payload);
  return report;
}

class TSimulatedDevices {
 public:
  ~TSimulatedDevices() {
    for (const auto& device : devices_) SimulatedBackend()->RemoveDevice(device);
    uHidDeviceManager::GetHidDeviceManager().Clear();
  }
  std::shared_ptr<uHidSimulated::TSimulatedHidDevice> Add(uHidPlatform::THidDeviceInfo info) {
    devices_.push_back(SimulatedBackend()->AddDevice(std::move(info)));
    return devices_.back();
  }

 private:
  std::vector<std::shared_ptr<uHidSimulated::TSimulatedHidDevice>> devices_;
};

}  // namespace testsupport
