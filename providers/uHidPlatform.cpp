#include "providers/uHidPlatform.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace uHidPlatform {

namespace {
std::mutex gFactoryMutex;
TBackendFactory gFactory;
std::atomic<int> gControllers{0};
}  // namespace

void SetBackendFactory(TBackendFactory factory) {
  std::lock_guard lock(gFactoryMutex);
  gFactory = std::move(factory);
}

THidPlatformController::THidPlatformController() {
  if (gControllers.fetch_add(1) != 0) {
    gControllers.fetch_sub(1);
    throw std::logic_error("a HID platform controller already exists");
  }
  TBackendFactory factory;
  {
    std::lock_guard lock(gFactoryMutex);
    factory = gFactory;
  }
  if (factory) backends_ = factory();
}

THidPlatformController::~THidPlatformController() {
  for (const auto& device : checkedOut_) device->CloseHandles();
  gControllers.fetch_sub(1);
}

void THidPlatformController::AddBackend(std::shared_ptr<IHidBackend> backend) {
  std::lock_guard lock(mutex_);
  if (backend) backends_.push_back(std::move(backend));
}

void THidPlatformController::RemoveBackend(const std::shared_ptr<IHidBackend>& backend) {
  std::lock_guard lock(mutex_);
  backends_.erase(std::remove(backends_.begin(), backends_.end(), backend), backends_.end());
}

void THidPlatformController::Enumerate(
    const std::function<bool(const THidPlatformDevicePtr&, int index)>& handler) {
  std::vector<THidPlatformDevicePtr> listing;
  {
    std::lock_guard lock(mutex_);
    for (const auto& backend : backends_) {
      auto devices = backend->PresentDevices();
      listing.insert(listing.end(), devices.begin(), devices.end());
    }
    listing_ = listing;
  }
  // The handler runs without the controller's lock: it checks devices out.
  for (std::size_t i = 0; i < listing.size(); ++i) {
    if (!listing[i]->Plugged()) continue;
    if (!handler(listing[i], static_cast<int>(i))) break;
  }
}

THidPlatformDevicePtr THidPlatformController::CheckOut(int index) {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int>(listing_.size())) return nullptr;
  THidPlatformDevicePtr device = listing_[static_cast<std::size_t>(index)];
  if (std::find(checkedOut_.begin(), checkedOut_.end(), device) != checkedOut_.end())
    return nullptr;
  checkedOut_.push_back(device);
  return device;
}

void THidPlatformController::CheckIn(const THidPlatformDevicePtr& device) {
  if (!device) return;
  device->CloseHandles();
  std::lock_guard lock(mutex_);
  checkedOut_.erase(std::remove(checkedOut_.begin(), checkedOut_.end(), device), checkedOut_.end());
}

}  // namespace uHidPlatform
