#pragma once
// Message boxes, with a seam through which tests receive the messages instead.

#include <QString>
#include <functional>

class QWidget;

namespace uMessageBox {

// An information box with the text and one OK button, titled with the application name;
// returns when it is closed. With a hook set, the hook gets the text and no box appears.
void ShowMessage(QWidget* parent, const QString& text);

// An empty function removes the hook.
void SetShowMessageHookForTesting(std::function<void(const QString&)> hook);

}  // namespace uMessageBox
