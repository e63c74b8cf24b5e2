#pragma once
// Start and end of the transport providers: makes the providers built so far known to the
// wrapper channel under their names, and chooses the HID backends. Create it right after
// the library scope (uCI_Library::TCILibraryScope) and free it before.

#include <memory>

#include "providers/uHidSimulated.h"

namespace uCI_Providers {

struct THidBackends {
  bool Linux = true;  // the kernel's hidraw devices
  // Simulated devices beside (or instead of) them, for tests and the demo mode.
  std::shared_ptr<uHidSimulated::TSimulatedHidBackend> Simulated;
};

class TProvidersScope {
 public:
  explicit TProvidersScope(const THidBackends& backends = {});
  ~TProvidersScope();
  TProvidersScope(const TProvidersScope&) = delete;
  TProvidersScope& operator=(const TProvidersScope&) = delete;
};

}  // namespace uCI_Providers
