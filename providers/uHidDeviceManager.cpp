#include "providers/uHidDeviceManager.h"

#include <mutex>

#include "ci/uCI_Library.h"

namespace uHidDeviceManager {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

THidDeviceManager::THidDeviceManager()
    : lock_("THidDeviceManager"),
      controller_(std::make_unique<uHidPlatform::THidPlatformController>()) {}

THidDeviceManager::~THidDeviceManager() {
  Clear();
}

void THidDeviceManager::Refresh() {
  TWriteLock hold(lock_);
  Clear();
  controller_->Enumerate([this](const uHidPlatform::THidPlatformDevicePtr& device, int index) {
    // A no-op on hidraw, whose ring is fixed; kept for backends that can change it.
    if (device->GetNumInputBuffers() != kInputBuffers) device->SetNumInputBuffers(kInputBuffers);
    auto entry = std::make_shared<uHidDevice::THidDevice>();
    entry->SetDevice(controller_->CheckOut(index));
    entries_.push_back(std::move(entry));
    return true;
  });
}

void THidDeviceManager::Clear() {
  TWriteLock hold(lock_);
  for (const auto& entry : entries_) {
    controller_->CheckIn(entry->GetDevice());
    entry->SetDevice(nullptr);
  }
  entries_.clear();
}

int THidDeviceManager::GetCount() {
  TReadLock hold(lock_);
  return static_cast<int>(entries_.size());
}

THidDevicePtr THidDeviceManager::GetItem(int index) {
  TReadLock hold(lock_);
  if (index < 0 || index >= static_cast<int>(entries_.size())) return nullptr;
  return entries_[static_cast<std::size_t>(index)];
}

int THidDeviceManager::IndexOfLocked(int vendorID, int productID, const std::string& serialNumber) {
  for (int i = static_cast<int>(entries_.size()) - 1; i >= 0; --i) {
    const auto device = entries_[static_cast<std::size_t>(i)]->GetDevice();
    if (!device) continue;
    const auto& info = device->Info();
    if (info.VendorID != vendorID || info.ProductID != productID) continue;
    if (!serialNumber.empty() && info.SerialNumber != serialNumber) continue;
    return i;
  }
  return -1;
}

int THidDeviceManager::IndexOf(int vendorID, int productID, const std::string& serialNumber) {
  TReadLock hold(lock_);
  return IndexOfLocked(vendorID, productID, serialNumber);
}

THidDevicePtr THidDeviceManager::Find(int vendorID, int productID,
                                      const std::string& serialNumber) {
  TReadLock hold(lock_);
  const int index = IndexOfLocked(vendorID, productID, serialNumber);
  return index < 0 ? nullptr : entries_[static_cast<std::size_t>(index)];
}

uHidPlatform::THidPlatformDevicePtr THidDeviceManager::FindDevice(int vendorID, int productID,
                                                                  const std::string& serialNumber) {
  TReadLock hold(lock_);
  const int index = IndexOfLocked(vendorID, productID, serialNumber);
  return index < 0 ? nullptr : entries_[static_cast<std::size_t>(index)]->GetDevice();
}

namespace {
std::mutex gManagerMutex;
std::unique_ptr<THidDeviceManager> gManager;
}  // namespace

THidDeviceManager& GetHidDeviceManager() {
  std::lock_guard lock(gManagerMutex);
  if (!gManager) {
    gManager = std::make_unique<THidDeviceManager>();
    uCI_Library::TCILibraryScope::AtEnd([] {
      std::lock_guard release(gManagerMutex);
      gManager.reset();
    });
  }
  return *gManager;
}

}  // namespace uHidDeviceManager
