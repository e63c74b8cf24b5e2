#pragma once
// The program-wide list of present HID devices, one entry per device in the platform
// layer's order, rebuilt by Refresh. Entries are shared-owned: one handed out stays valid
// after the next Refresh (its device then checked back in).

#include <memory>
#include <string>
#include <vector>

#include "ci/uSynchronizer.h"
#include "providers/uHidDevice.h"
#include "providers/uHidPlatform.h"

namespace uHidDeviceManager {

using THidDevicePtr = std::shared_ptr<uHidDevice::THidDevice>;

class THidDeviceManager {
 public:
  THidDeviceManager();
  ~THidDeviceManager();
  THidDeviceManager(const THidDeviceManager&) = delete;
  THidDeviceManager& operator=(const THidDeviceManager&) = delete;

  // Gives the old entries' devices back and lists the present devices afresh.
  void Refresh();
  void Clear();
  int GetCount();
  // nullptr when index is out of range.
  THidDevicePtr GetItem(int index);
  // The highest index whose device has these ids (compared as integers) and, when
  // serialNumber is not empty, exactly this serial number; -1 when none.
  int IndexOf(int vendorID, int productID, const std::string& serialNumber);
  THidDevicePtr Find(int vendorID, int productID, const std::string& serialNumber);
  // The platform device of Find, taken under the manager's lock.
  uHidPlatform::THidPlatformDevicePtr FindDevice(int vendorID, int productID,
                                                 const std::string& serialNumber);

  uHidPlatform::THidPlatformController& Controller() noexcept { return *controller_; }

 private:
  int IndexOfLocked(int vendorID, int productID, const std::string& serialNumber);

  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  std::unique_ptr<uHidPlatform::THidPlatformController> controller_;
  std::vector<THidDevicePtr> entries_;
};

// The manager, created on first use and freed when the library scope ends.
THidDeviceManager& GetHidDeviceManager();

// Input-report buffers asked for at enumeration.
inline constexpr int kInputBuffers = 128;

}  // namespace uHidDeviceManager
