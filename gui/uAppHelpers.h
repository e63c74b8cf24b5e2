#pragma once
// Small helpers of the program: its directory, the browser set-up and the gesture that
// reveals the hidden buttons.

#include <QtCore/qnamespace.h>
#include <cstdint>
#include <string>

namespace uAppHelpers {

// The directory of the running program, ending with exactly one '/'.
std::string ApplicationDir();

// Chooses the document mode of the embedded browser for the program. Qt WebEngine is a
// current Chromium and needs no choice, so this does nothing and returns true.
bool SetBrowserEmulation(const std::string& programFileName, std::int32_t value);

// The left button double-clicked with Ctrl held; other modifiers do not matter.
bool IsUnlockGesture(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, bool doubleClick);

}  // namespace uAppHelpers
