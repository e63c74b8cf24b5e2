#pragma once
// The main window: the embedded browser, the bar of styled buttons, the HTTP server with
// its bridge to the device, and the connection control behind "Připojit" and "Odpojit".

#include <QString>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/uConfiguratorCore.h"
#include "gui/uStyle.h"

class QWebEngineView;

namespace uShapeEx {
class TShapeEx;
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
inline constexpr int kBarHeight = uStyle::kBarHeight;

class TfMain : public QWidget {
  Q_OBJECT
 public:
  // applicationDir: where "Web" and "config.xml" are (the program's directory; tests give
  // their own).
  explicit TfMain(std::filesystem::path applicationDir = {}, QWidget* parent = nullptr);
  // What makes the window's core at its start (tests give their own through uMainSeam.h).
  using TCoreFactory = std::function<std::unique_ptr<uConfiguratorCore::TConfiguratorCore>(
      const std::filesystem::path&)>;
  ~TfMain() override;

  // The style module and the device dialog are created after the window.
  void BindStyle(uStyle::TdmStyle& style);
  void SetDeviceDialog(uStringListDialog::TfrmStringListDialog* dialog);
  // The settings dialog and the log window come after the style module; not owned.
  void SetSettingsDialog(uSettings::TfrmSettings* dialog) { settingsDialog_ = dialog; }
  void SetLogWindow(uCiLog::TfCiLog* window) { logWindow_ = window; }

  // When the start failed (its message was shown), there is no core: the port reads 0 and
  // is not stored, there is no server and no channel, and the device type is empty.
  std::int32_t DefaultPort() const;
  void SetDefaultPort(std::int32_t port);
  uHttpServer::THttpServer* Server() noexcept { return core_ ? &core_->Server() : nullptr; }
  const uCI_Wrapper::TWrapperPtr& Channel() const noexcept;
  std::string DeviceType() const { return core_ ? core_->DeviceType() : std::string(); }
  // The serial numbers of the devices offered at the last Connect, byte for byte.
  const std::vector<std::string>& SerialNumbers() const { return cbbSerialsNumbers_; }
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
  // The hidden list of serial numbers: kept as bytes, since a serial number need not be
  // text that a QString would give back unchanged.
  std::vector<std::string> cbbSerialsNumbers_;
  QString startError_;  // the message of a failed start, shown again by "Připojit"
  uStringListDialog::TfrmStringListDialog* deviceDialog_ = nullptr;
  uSettings::TfrmSettings* settingsDialog_ = nullptr;
  uCiLog::TfCiLog* logWindow_ = nullptr;

  QWidget* shpLine2_ = nullptr;
  QWebEngineView* wb1_ = nullptr;
  uStyle::TPanel* pnlButtons_ = nullptr;  // its background takes the gesture that reveals buttons
  uShapeEx::TShapeEx* shpxConnect_ = nullptr;
  uShapeEx::TShapeEx* shpxDisconnect_ = nullptr;
  uShapeEx::TShapeEx* shpxLog_ = nullptr;
  uShapeEx::TShapeEx* shpxSettings_ = nullptr;
  uShapeEx::TShapeEx* shpxClose_ = nullptr;
};

}  // namespace uMain
