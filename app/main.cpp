// The Dovela GSM Configurator: the library is started first, then the windows in their
// order (main window, device dialog, style module); they go in reverse.
#include <unistd.h>
#include <QApplication>

#include <memory>

#include "app/uMain.h"
#include "app/uStringListDialog.h"
#include "app/uStyle.h"
#include "ci/uCI_Library.h"
#include "providers/uCI_Providers.h"

namespace {
// Qt WebEngine's Chromium refuses to run its sandbox as root, and on these machines its
// background services only knock on a closed network.
void PrepareBrowserEngine() {
  if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  if (!qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            "--disable-background-networking --disable-component-update --disable-sync");
}
}  // namespace

int main(int argc, char** argv) {
  PrepareBrowserEngine();
  uCI_Library::TCILibraryScope library;
  uCI_Providers::TProvidersScope providers;
  // Qt WebEngine shares OpenGL contexts with the widgets; this must be set before the
  // application object exists.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  QApplication::setApplicationName(uMain::kCaption);
  uStyle::InstallFontSubstitutions();

  auto fMain = std::make_unique<uMain::TfMain>();
  auto frmStringListDialog =
      std::make_unique<uStringListDialog::TfrmStringListDialog>(nullptr, fMain.get());
  auto dmStyle = std::make_unique<uStyle::TdmStyle>();
  fMain->BindStyle(*dmStyle);
  frmStringListDialog->SetStyle(dmStyle.get());
  frmStringListDialog->setWindowTitle("Seznam zařízení");
  fMain->SetDeviceDialog(frmStringListDialog.get());
  fMain->show();
  const int result = application.exec();

  dmStyle.reset();
  frmStringListDialog.reset();
  fMain.reset();
  return result;
}
