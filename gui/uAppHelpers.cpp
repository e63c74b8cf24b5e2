#include "gui/uAppHelpers.h"

#include <filesystem>

namespace uAppHelpers {

std::string ApplicationDir() {
  std::string dir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  while (!dir.empty() && dir.back() == '/') dir.pop_back();  // "/" itself comes back as "/"
  return dir + '/';
}

bool SetBrowserEmulation(const std::string&, std::int32_t) {
  return true;
}

bool IsUnlockGesture(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, bool doubleClick) {
  return button == Qt::LeftButton && modifiers.testFlag(Qt::ControlModifier) && doubleClick;
}

}  // namespace uAppHelpers
