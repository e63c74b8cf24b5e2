#pragma once
// Which attached HID devices the configurator supports: vendor 0x2047, product 0x0301, a
// product name that names the device type, and a page folder of that type under "Web".

#include <filesystem>
#include <string>
#include <vector>

namespace uDeviceTypes {

inline constexpr int kSupportedVendor = 0x2047;
inline constexpr int kSupportedProduct = 0x0301;
inline constexpr const char* kConfigurationPrefix =
    "provider=HID;vid=$2047;pid=$0301;serial_number=";

// "DovelaGSM" when product contains "Dovela" and also "GPRS" or "GSM" (case-sensitive);
// otherwise empty, meaning the device is not supported.
std::string DetectDeviceType(const std::string& product);

struct TSupportedDevice {
  std::string DeviceType;
  std::string SerialNumber;
  std::string ProductName;
};

// Refreshes the HID device list and returns the supported devices whose page folder exists
// under applicationDir / "Web", in enumeration order. count gets the number of HID devices
// listed at all.
std::vector<TSupportedDevice> ListSupportedDevices(const std::filesystem::path& applicationDir,
                                                   int& count);

}  // namespace uDeviceTypes
