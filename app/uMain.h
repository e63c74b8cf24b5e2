#pragma once
// The main window: the embedded browser, the bar of styled buttons, the HTTP server with
// its bridge to the device, and the connection control behind "Připojit" and "Odpojit".

#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "app/uHttpBridge.h"
#include "app/uHttpServer.h"
#include "app/uMimeTable.h"
#include "ci/uCI_Wrapper.h"

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

namespace uMain {

inline constexpr const char* kCaption = "Dovela GSM Configurator 1.4.0.0";
inline constexpr int kClientWidth = 801;
inline constexpr int kClientHeight = 601;
inline constexpr int kBarHeight = 41;

// "DovelaGSM" when product contains "Dovela" and also "GPRS" or "GSM" (case-sensitive);
// otherwise empty, meaning the device is not supported.
std::string DetectDeviceType(const std::string& product);

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

  std::int32_t DefaultPort() const { return server_.GetDefaultPort(); }
  void SetDefaultPort(std::int32_t port) { server_.SetDefaultPort(port); }
  uHttpServer::THttpServer& Server() noexcept { return server_; }
  const uCI_Wrapper::TWrapperPtr& Channel() const noexcept { return channel_; }
  std::string DeviceType() const;
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
  void SetDeviceType(std::string type);
  void ShowBackground();

  const std::filesystem::path applicationDir_;
  uHttpServer::THttpServer server_;  // idhtpsrvr1
  std::unique_ptr<uMimeTable::TMimeTable> mimeTable_;
  uHttpBridge::TBridge bridge_;
  uCI_Wrapper::TWrapperPtr channel_;
  mutable std::mutex deviceTypeMutex_;  // the bridge reads it from connection threads
  std::string deviceType_;
  std::unique_ptr<QStringList> cbbSerialsNumbers_;  // the hidden list of serial numbers
  uStringListDialog::TfrmStringListDialog* deviceDialog_ = nullptr;

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
