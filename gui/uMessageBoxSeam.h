#pragma once
// Test access to the message boxes, for tests only: a hook gets each message's text and no
// box appears. An empty function removes the hook.

#include <QString>
#include <functional>

namespace uMessageBox {

void SetShowMessageHook(std::function<void(const QString&)> hook);

}  // namespace uMessageBox
