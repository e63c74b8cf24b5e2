#include "gui/uMessageBox.h"

#include "gui/uMessageBoxSeam.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace uMessageBox {

namespace {
std::function<void(const QString&)>& Hook() {
  static std::function<void(const QString&)> hook;
  return hook;
}
}  // namespace

void ShowMessage(QWidget* parent, const QString& text) {
  if (Hook()) {
    Hook()(text);
    return;
  }
  QMessageBox box(QMessageBox::Information, QCoreApplication::applicationName(), text,
                  QMessageBox::Ok, parent);
  box.setObjectName("msgShowMessage");
  box.exec();
}

void SetShowMessageHook(std::function<void(const QString&)> hook) {
  Hook() = std::move(hook);
}

}  // namespace uMessageBox
