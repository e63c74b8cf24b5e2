// The connection control of the main window: "Připojit" finds the supported devices, lets
// the user choose one, opens the channel, starts the HTTP server and points the browser at
// it; "Odpojit" undoes it.
#include <QStringList>
#include <QUrl>
#include <QWebEngineView>

#include "app/uMain.h"
#include "app/uMessageBox.h"
#include "app/uStringListDialog.h"
#include "providers/uHidDeviceManager.h"

namespace uMain {

namespace {
constexpr int kSupportedVendor = 0x2047;
constexpr int kSupportedProduct = 0x0301;
const char* const kConfigPrefix = "provider=HID;vid=$2047;pid=$0301;serial_number=";
}  // namespace

void TfMain::shpxConnectClick() {
  auto& manager = uHidDeviceManager::GetHidDeviceManager();
  manager.Refresh();
  if (manager.GetCount() == 0) return;
  if (!deviceDialog_) return;

  QStringList& items = deviceDialog_->Items();
  items.clear();
  cbbSerialsNumbers_->clear();
  for (int i = 0; i < manager.GetCount(); ++i) {
    const auto entry = manager.GetItem(i);
    if (!entry || entry->GetVendorID() != kSupportedVendor ||
        entry->GetProductID() != kSupportedProduct)
      continue;
    const std::string type = DetectDeviceType(entry->GetProductName());
    if (type.empty()) continue;
    std::error_code ec;
    if (!std::filesystem::is_directory(applicationDir_ / "Web" / type, ec)) continue;
    items.append(QString::fromStdString(type));
    cbbSerialsNumbers_->append(QString::fromStdString(entry->GetSerialNumber()));
  }
  if (items.isEmpty()) {
    uMessageBox::ShowMessage(this, "err - not found");
    return;
  }

  deviceDialog_->SetSelectedIndex(-1);
  if (!deviceDialog_->Execute()) return;
  const int chosen = deviceDialog_->SelectedIndex();
  if (chosen < 0 || chosen >= items.size()) return;
  SetDeviceType(items[chosen].toStdString());

  channel_->SetConfiguration(kConfigPrefix + (*cbbSerialsNumbers_)[chosen].toStdString());
  if (!channel_->Open()) {
    uMessageBox::ShowMessage(this, "err - not open");
    return;
  }

  try {
    server_.Start();  // a listening server stays as it is
  } catch (const std::exception& e) {
    uMessageBox::ShowMessage(this, QString::fromStdString(e.what()));
    return;
  }
  // Qt WebEngine needs neither the second navigation nor the blocking pause before it.
  wb1_->setUrl(QUrl("http://127.0.0.1:" + QString::number(server_.BoundPort())));
}

void TfMain::shpxDisconnectClick() {
  server_.Stop();
  channel_->Close(false);
  ShowBackground();
}

}  // namespace uMain
