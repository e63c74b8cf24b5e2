#include "bridge/uDeviceTypes.h"

#include "providers/uHidDeviceManager.h"

namespace uDeviceTypes {

std::string DetectDeviceType(const std::string& product) {
  const bool dovela = product.find("Dovela") != std::string::npos;
  const bool gsm =
      product.find("GPRS") != std::string::npos || product.find("GSM") != std::string::npos;
  return dovela && gsm ? "DovelaGSM" : std::string();
}

std::vector<TSupportedDevice> ListSupportedDevices(const std::filesystem::path& applicationDir,
                                                   int& count) {
  auto& manager = uHidDeviceManager::GetHidDeviceManager();
  manager.Refresh();
  count = manager.GetCount();
  std::vector<TSupportedDevice> supported;
  for (int i = 0; i < count; ++i) {
    const auto entry = manager.GetItem(i);
    if (!entry || entry->GetVendorID() != kSupportedVendor ||
        entry->GetProductID() != kSupportedProduct)
      continue;
    const std::string product = entry->GetProductName();
    const std::string type = DetectDeviceType(product);
    if (type.empty()) continue;
    std::error_code ec;
    if (!std::filesystem::is_directory(applicationDir / "Web" / type, ec)) continue;
    supported.push_back({type, entry->GetSerialNumber(), product});
  }
  return supported;
}

}  // namespace uDeviceTypes
