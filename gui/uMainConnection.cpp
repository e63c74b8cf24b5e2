// The connection control of the main window: "Připojit" finds the supported devices, lets
// the user choose one, opens the channel, starts the HTTP server and points the browser at
// it; "Odpojit" undoes it.
#include <QStringList>
#include <QUrl>
#include <QWebEngineView>

#include "bridge/uDeviceTypes.h"
#include "gui/uMain.h"
#include "gui/uMessageBox.h"
#include "gui/uStringListDialog.h"

namespace uMain {

void TfMain::shpxConnectClick() {
  if (!core_) {
    // The start failed: say again why nothing can be connected.
    uMessageBox::ShowMessage(this, startError_);
    return;
  }
  int count = 0;
  const auto devices = uDeviceTypes::ListSupportedDevices(applicationDir_, count);
  if (count == 0) return;
  if (!deviceDialog_) return;

  QStringList& items = deviceDialog_->Items();
  items.clear();
  cbbSerialsNumbers_.clear();
  for (const auto& device : devices) {
    items.append(QString::fromStdString(device.DeviceType));
    cbbSerialsNumbers_.push_back(device.SerialNumber);
  }
  if (items.isEmpty()) {
    uMessageBox::ShowMessage(this, "err - not found");
    return;
  }

  deviceDialog_->SetSelectedIndex(-1);
  if (!deviceDialog_->Execute()) return;
  const int chosen = deviceDialog_->SelectedIndex();
  if (chosen < 0 || chosen >= items.size()) return;
  std::string error;
  switch (core_->Connect(devices[static_cast<std::size_t>(chosen)].DeviceType,
                         cbbSerialsNumbers_[static_cast<std::size_t>(chosen)], error)) {
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::NotOpen:
      // With the provider's reason: the node, why, and what fixes it.
      uMessageBox::ShowMessage(this, error.empty()
                                         ? QString("err - not open")
                                         : "err - not open\n\n" + QString::fromStdString(error));
      return;
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::ServerFailed:
      uMessageBox::ShowMessage(this, QString::fromStdString(error));
      return;
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::Connected:
      break;
  }
  // Qt WebEngine needs neither the second navigation nor the blocking pause before it.
  wb1_->setUrl(QUrl(QString::fromStdString(core_->Url())));
}

void TfMain::shpxDisconnectClick() {
  if (core_) core_->Disconnect();
  ShowBackground();
}

}  // namespace uMain
