#pragma once
// Test access to the settings dialog, for tests only.

#include <functional>

#include "gui/uSettings.h"

namespace uSettings {

struct TSettingsSeam {
  // With a hook set, Execute loads the port, then calls the hook instead of running the
  // dialog and takes its result as "closed with Ok". An empty function removes the hook.
  static void SetExecuteHook(std::function<bool(TfrmSettings&)> hook);
};

}  // namespace uSettings
