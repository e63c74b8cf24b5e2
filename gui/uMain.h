#pragma once
// The main window: the embedded browser, the bar of styled buttons, the HTTP server with
// its bridge to the device, and the connection control behind "Připojit" and "Odpojit".

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "bridge/uConfiguratorCore.h"

class QWebEngineView;

namespace uShapeEx {
class TShapeEx;
}
namespace uStyle {
class TdmStyle;
}
namespace uStringListDialog {
class TfrmStringListDialog;
}
namespace uSettings {
class TfrmSettings;
}
namespace uCiLog {
class TfCiLog;
}

namespace uMain {

inline constexpr const char* kCaption = "Dovela GSM Configurator 1.4.0.0";
inline constexpr int kClientWidth = 801;
inline constexpr int kClientHeight = 601;
inline constexpr int kBarHeight = 41;

// The bottom bar: its background takes the mouse-down that may reveal the hidden buttons.
class TButtonBar : public QWidget {
  Q_OBJECT
 public:
  explicit TButtonBar(QWidget* parent);

 signals:
  void shpBackMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, bool doubleClick);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class TfMain : public QWidget {
  Q_OBJECT
 public:
  // applicationDir: where "Web" and "config.xml" are (the program's directory; tests give
  // their own).
  explicit TfMain(std::filesystem::path applicationDir = {}, QWidget* parent = nullptr);
  ~TfMain() override;

  // The style module and the device dialog are created after the window.
  void BindStyle(uStyle::TdmStyle& style);
  void SetDeviceDialog(uStringListDialog::TfrmStringListDialog* dialog);
  // The settings dialog and the log window come after the style module; not owned.
  void SetSettingsDialog(uSettings::TfrmSettings* dialog) { settingsDialog_ = dialog; }
  void SetLogWindow(uCiLog::TfCiLog* window) { logWindow_ = window; }

  std::int32_t DefaultPort() const { return core_->Server().GetDefaultPort(); }
  void SetDefaultPort(std::int32_t port) { core_->Server().SetDefaultPort(port); }
  uHttpServer::THttpServer& Server() noexcept { return core_->Server(); }
  const uCI_Wrapper::TWrapperPtr& Channel() const noexcept { return core_->Channel(); }
  std::string DeviceType() const { return core_->DeviceType(); }
  const QStringList& SerialNumbers() const;
  QWebEngineView* Browser() const noexcept { return wb1_; }
  std::filesystem::path BackgroundPage() const;

 public slots:
  void shpxConnectClick();
  void shpxDisconnectClick();
  void shpxCloseClick();
  void shpxLogClick();
  void shpxSettingsClick();
  void shpBackMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, bool doubleClick);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormCreate();
  void FormDestroy();
  void PlaceButtons();
  void ShowBackground();

  const std::filesystem::path applicationDir_;
  // The server with its bridge, the MIME table, the channel and the device type.
  std::unique_ptr<uConfiguratorCore::TConfiguratorCore> core_;
  std::unique_ptr<QStringList> cbbSerialsNumbers_;  // the hidden list of serial numbers
  uStringListDialog::TfrmStringListDialog* deviceDialog_ = nullptr;
  uSettings::TfrmSettings* settingsDialog_ = nullptr;
  uCiLog::TfCiLog* logWindow_ = nullptr;

  QWidget* shpLine2_ = nullptr;
  QWebEngineView* wb1_ = nullptr;
  TButtonBar* pnlButtons_ = nullptr;
  uShapeEx::TShapeEx* shpxConnect_ = nullptr;
  uShapeEx::TShapeEx* shpxDisconnect_ = nullptr;
  uShapeEx::TShapeEx* shpxLog_ = nullptr;
  uShapeEx::TShapeEx* shpxSettings_ = nullptr;
  uShapeEx::TShapeEx* shpxClose_ = nullptr;
};

}  // namespace uMain
