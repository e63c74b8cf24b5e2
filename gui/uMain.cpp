#include "gui/uMain.h"

#include "gui/uMainSeam.h"

#include <QUrl>
#include <QWebEngineView>

#include "gui/uAppHelpers.h"
#include "gui/uCiLog.h"
#include "gui/uMessageBox.h"
#include "gui/uSettings.h"
#include "gui/uShapeEx.h"
#include "gui/uStyle.h"

namespace uMain {

TfMain::TfMain(std::filesystem::path applicationDir, QWidget* parent)
    : QWidget(parent),
      applicationDir_(applicationDir.empty() ? std::filesystem::path(uAppHelpers::ApplicationDir())
                                             : std::move(applicationDir)) {
  setObjectName("fMain");
  setWindowTitle(kCaption);
  // Qt's DPI scaling takes the place of the invisible sizing panels.
  resize(kClientWidth, kClientHeight);

  shpLine2_ = uStyle::MakeLine(this, "shpLine2");

  wb1_ = new QWebEngineView(this);
  wb1_->setObjectName("wb1");

  pnlButtons_ = uStyle::MakeButtonBar(this);
  connect(pnlButtons_, &uStyle::TPanel::mouseDown, this, &TfMain::shpBackMouseDown);
  shpxConnect_ = uStyle::MakeButton(pnlButtons_, "shpxConnect", "Připojit", nullptr);
  shpxDisconnect_ = uStyle::MakeButton(pnlButtons_, "shpxDisconnect", "Odpojit", nullptr);
  shpxLog_ = uStyle::MakeButton(pnlButtons_, "shpxLog", "Log", nullptr);
  shpxSettings_ = uStyle::MakeButton(pnlButtons_, "shpxSettings", "Nastavení", nullptr);
  shpxClose_ = uStyle::MakeButton(pnlButtons_, "shpxClose", "Zavřít", nullptr);
  shpxLog_->setVisible(false);
  shpxSettings_->setVisible(false);
  connect(shpxConnect_, &uShapeEx::TShapeEx::clicked, this, &TfMain::shpxConnectClick);
  connect(shpxDisconnect_, &uShapeEx::TShapeEx::clicked, this, &TfMain::shpxDisconnectClick);
  connect(shpxLog_, &uShapeEx::TShapeEx::clicked, this, &TfMain::shpxLogClick);
  connect(shpxSettings_, &uShapeEx::TShapeEx::clicked, this, &TfMain::shpxSettingsClick);
  connect(shpxClose_, &uShapeEx::TShapeEx::clicked, this, &TfMain::shpxCloseClick);
  PlaceButtons();

  FormCreate();
}

TfMain::~TfMain() {
  FormDestroy();
}

namespace {
TfMain::TCoreFactory& CoreFactory() {
  static TfMain::TCoreFactory factory;
  return factory;
}
}  // namespace

void TMainSeam::SetCoreFactory(TfMain::TCoreFactory factory) {
  CoreFactory() = std::move(factory);
}

void TfMain::FormCreate() {
  try {
    core_ = CoreFactory() ? CoreFactory()(applicationDir_)
                          : std::make_unique<uConfiguratorCore::TConfiguratorCore>(applicationDir_);
    uAppHelpers::SetBrowserEmulation(
        std::filesystem::read_symlink("/proc/self/exe").filename().string(), 10000);
    // Qt WebEngine needs neither the doubled navigation nor the pause between them.
    ShowBackground();
  } catch (const std::exception& e) {
    startError_ = QString::fromStdString(e.what());
    uMessageBox::ShowMessage(this, startError_);
  }
}

void TfMain::FormDestroy() {
  try {
    if (core_) core_->Shutdown();
  } catch (const std::exception& e) {
    uMessageBox::ShowMessage(this, QString::fromStdString(e.what()));
  }
}

void TfMain::BindStyle(uStyle::TdmStyle& style) {
  for (auto* button : {shpxConnect_, shpxDisconnect_, shpxLog_, shpxSettings_, shpxClose_})
    button->SetColorSchema(style.shpxclrschmButtons());
}

void TfMain::SetDeviceDialog(uStringListDialog::TfrmStringListDialog* dialog) {
  deviceDialog_ = dialog;
}

std::int32_t TfMain::DefaultPort() const {
  return core_ ? core_->Server().GetDefaultPort() : 0;
}

void TfMain::SetDefaultPort(std::int32_t port) {
  if (core_) core_->Server().SetDefaultPort(port);
}

const uCI_Wrapper::TWrapperPtr& TfMain::Channel() const noexcept {
  static const uCI_Wrapper::TWrapperPtr kNone;
  return core_ ? core_->Channel() : kNone;
}

std::filesystem::path TfMain::BackgroundPage() const {
  return applicationDir_ / "Web" / "Background.html";
}

void TfMain::ShowBackground() {
  wb1_->setUrl(QUrl::fromLocalFile(QString::fromStdString(BackgroundPage().string())));
}

void TfMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceButtons();
}

void TfMain::PlaceButtons() {
  const int w = width();
  const int h = height();
  shpLine2_->setGeometry(0, 0, w, 1);
  wb1_->setGeometry(0, 1, w, std::max(0, h - 1 - kBarHeight));
  pnlButtons_->setGeometry(0, h - kBarHeight, w, kBarHeight);
  constexpr int kTop = uStyle::kBarButtonTop;
  constexpr int kButtonWidth = 73;
  shpxConnect_->move(8, kTop);
  shpxDisconnect_->move(88, kTop);
  shpxLog_->move(168, kTop);
  // Anchored to the right edge: "Zavřít" ends 72 px before the end of the bar, "Nastavení"
  // stands 80 px left of it.
  const int closeLeft = w - 72 - kButtonWidth;
  shpxClose_->move(closeLeft, kTop);
  shpxSettings_->move(closeLeft - 80, kTop);
}

void TfMain::shpBackMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                              bool doubleClick) {
  if (!uAppHelpers::IsUnlockGesture(button, modifiers, doubleClick)) return;
  // Hidden state, not visibility: it holds also while the window itself is not shown.
  shpxLog_->setHidden(!shpxLog_->isHidden());
  shpxSettings_->setHidden(!shpxSettings_->isHidden());
}

void TfMain::shpxCloseClick() {
  close();
}

void TfMain::shpxLogClick() {
  if (logWindow_) logWindow_->ShowLog(QString());  // all channels
}

// The port is used from the next start of the server; a listening one keeps its port.
void TfMain::shpxSettingsClick() {
  if (!settingsDialog_ || !core_) return;  // without a core there is no server to set
  std::int32_t port = DefaultPort();
  if (settingsDialog_->Execute(port)) SetDefaultPort(port);
}

}  // namespace uMain
