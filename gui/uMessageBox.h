#pragma once
// Message boxes; tests receive the messages instead through uMessageBoxSeam.h.

#include <QString>

class QWidget;

namespace uMessageBox {

// An information box with the text and one OK button, titled with the application name;
// returns when it is closed.
void ShowMessage(QWidget* parent, const QString& text);

}  // namespace uMessageBox
