#pragma once
// Test access to the device dialog, for tests only.

#include <functional>

#include "gui/uStringListDialog.h"

namespace uStringListDialog {

struct TStringListDialogSeam {
  // While prepared by Execute: makes row the current, selected one (-1: none), as a click
  // would.
  static void SetCurrentRow(TfrmStringListDialog& dialog, int row);
  // With a hook set, Execute prepares the rows, then calls the hook instead of running the
  // dialog and takes its result as "closed with Ok". An empty function removes the hook.
  static void SetExecuteHook(std::function<bool(TfrmStringListDialog&)> hook);
};

}  // namespace uStringListDialog
