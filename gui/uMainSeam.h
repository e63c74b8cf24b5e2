#pragma once
// Test access to the main window, for tests only.

#include "gui/uMain.h"

namespace uMain {

struct TMainSeam {
  // With a factory set, the window's start makes its core with it (a factory that throws
  // stands for a start that fails). An empty function restores the normal start.
  static void SetCoreFactory(TfMain::TCoreFactory factory);
};

}  // namespace uMain
