// The Dovela GSM Configurator. The library is started first, then the windows in their
// order (main window, device dialog, style module, settings dialog, log window); they go in
// reverse. With --headless no window is made: the pages are served until SIGINT or SIGTERM.
#include <unistd.h>
#include <QApplication>

#include <iostream>
#include <memory>

#include "bridge/uCommandLine.h"
#include "bridge/uHeadless.h"
#include "ci/uCI_Library.h"
#include "gui/uAppHelpers.h"
#include "gui/uCiLog.h"
#include "gui/uMain.h"
#include "gui/uSettings.h"
#include "gui/uStringListDialog.h"
#include "gui/uStyle.h"
#include "providers/uCI_Providers.h"
#include "sim/uSimulatedDovelaGsm.h"

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

int RunWindows(int argc, char** argv) {
  PrepareBrowserEngine();
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
  auto frmSettings = std::make_unique<uSettings::TfrmSettings>(dmStyle.get(), fMain.get());
  fMain->SetSettingsDialog(frmSettings.get());
  // Installs itself as the data-spy hook.
  auto fCiLog = std::make_unique<uCiLog::TfCiLog>();
  fMain->SetLogWindow(fCiLog.get());
  fMain->show();
  const int result = application.exec();

  fMain->SetLogWindow(nullptr);
  fCiLog.reset();
  fMain->SetSettingsDialog(nullptr);
  frmSettings.reset();
  dmStyle.reset();
  frmStringListDialog.reset();
  fMain.reset();
  return result;
}
}  // namespace

int main(int argc, char** argv) {
  uCommandLine::TOptions options;
  std::string error;
  if (!uCommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << "dovela-gsm-configurator: " << error << "\n\n" << uCommandLine::UsageText();
    return 2;
  }
  if (options.Help) {
    std::cout << uCommandLine::UsageText();
    return 0;
  }
  if (options.Version) {
    std::cout << uCommandLine::VersionText();
    return 0;
  }
  // Before any thread exists, so that only the headless loop takes these signals.
  if (options.Headless) uHeadless::BlockTerminationSignals();

  uCI_Library::TCILibraryScope library;
  uCI_Providers::THidBackends backends;
  if (options.Demo) backends.Simulated = std::make_shared<uHidSimulated::TSimulatedHidBackend>();
  uCI_Providers::TProvidersScope providers(backends);
  // The demo device: a simulated Dovela GSM unit beside any real ones; its settings live
  // as long as the program.
  std::shared_ptr<uSimulatedDovelaGsm::TSimulatedDovelaGsm> demoDevice;
  if (options.Demo) demoDevice = uSimulatedDovelaGsm::TSimulatedDovelaGsm::Add(*backends.Simulated);

  if (options.Headless)
    return uHeadless::RunHeadless(options, uAppHelpers::ApplicationDir(), std::cout, std::cerr);
  return RunWindows(argc, argv);
}
