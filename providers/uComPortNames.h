#pragma once
// COM port names on Linux. "COMn" (any letter case, n from 1 to 65535) names the device that
// an entry "comn" in the port-map folder points to, and /dev/ttyS{n-1} when the folder has
// no such entry; a name that starts with "/dev/" is a device path and is used as it is.
//
// The port-map folder is $DOVELA_PORT_MAP when that is set, else
// $XDG_CONFIG_HOME/dovela-gsm-configurator/ports, else ~/.config/dovela-gsm-configurator/ports.
// Its entries are symbolic links, e.g. com3 -> /dev/serial/by-id/usb-FTDI_...-if00-port0.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace uComPortNames {

inline constexpr const char* kPortMapVariable = "DOVELA_PORT_MAP";

std::filesystem::path PortMapFolder();

// n of "COMn"; 0 for any other name.
std::uint16_t ComNumber(std::string_view name);
// "COMn" for n; "" for 0.
std::string ComName(std::uint16_t number);
bool IsDevicePath(std::string_view name);

// The device path of name after the rule above; empty for a name that is neither a COM
// name nor a device path.
std::string DevicePath(std::string_view name, const std::filesystem::path& mapFolder);
std::string DevicePath(std::string_view name);

// Where name leads, for messages: "/dev/ttyS2",
// "/home/u/.config/dovela-gsm-configurator/ports/com3 -> /dev/ttyUSB0", "/dev/ttyUSB0".
std::string Describe(std::string_view name, const std::filesystem::path& mapFolder);
std::string Describe(std::string_view name);

}  // namespace uComPortNames
