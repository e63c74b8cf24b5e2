#include "providers/uComPortNames.h"

#include <cstdlib>

#include "ci/uStrUtils.h"

namespace uComPortNames {

namespace fs = std::filesystem;

namespace {
constexpr const char* kConfigFolder = "dovela-gsm-configurator";

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The map entry of COM number n, when the folder has one (a dangling link counts).
fs::path MapEntry(std::uint16_t number, const fs::path& mapFolder) {
  if (number == 0 || mapFolder.empty()) return {};
  const fs::path entry = mapFolder / ("com" + std::to_string(number));
  std::error_code ec;
  return fs::exists(fs::symlink_status(entry, ec)) ? entry : fs::path();
}
}  // namespace

fs::path PortMapFolder() {
  if (const char* map = Environment(kPortMapVariable)) return map;
  if (const char* config = Environment("XDG_CONFIG_HOME"))
    return fs::path(config) / kConfigFolder / "ports";
  if (const char* home = Environment("HOME"))
    return fs::path(home) / ".config" / kConfigFolder / "ports";
  return {};
}

std::uint16_t ComNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 8) return 0;
  if (!uStrUtils::EqualsIgnoreAsciiCase(name.substr(0, 3), "COM")) return 0;
  std::uint32_t number = 0;
  for (const char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return number <= 0xFFFF ? static_cast<std::uint16_t>(number) : 0;
}

std::string ComName(std::uint16_t number) {
  return number == 0 ? std::string() : "COM" + std::to_string(number);
}

bool IsDevicePath(std::string_view name) {
  return name.size() > 5 && name.substr(0, 5) == "/dev/";
}

std::string DevicePath(std::string_view name, const fs::path& mapFolder) {
  if (IsDevicePath(name)) return std::string(name);
  const std::uint16_t number = ComNumber(name);
  if (number == 0) return {};
  const fs::path entry = MapEntry(number, mapFolder);
  if (!entry.empty()) return entry.string();
  return "/dev/ttyS" + std::to_string(number - 1);
}

std::string DevicePath(std::string_view name) {
  return DevicePath(name, PortMapFolder());
}

std::string Describe(std::string_view name, const fs::path& mapFolder) {
  const fs::path entry = IsDevicePath(name) ? fs::path() : MapEntry(ComNumber(name), mapFolder);
  if (entry.empty()) return DevicePath(name, mapFolder);
  std::error_code ec;
  const fs::path target = fs::read_symlink(entry, ec);
  return entry.string() + (ec ? "" : " -> " + target.string());
}

std::string Describe(std::string_view name) {
  return Describe(name, PortMapFolder());
}

}  // namespace uComPortNames
