#include "bridge/uConfiguratorCore.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "bridge/uConfigFile.h"
#include "bridge/uDeviceTypes.h"
#include "ci/uConfigString.h"
#include "ci/uMyInterfacedObject.h"
#include "providers/uHidDeviceManager.h"

namespace uConfiguratorCore {

// Keeps why the provider's last Open failed. Subscribed to the provider's error event
// directly (the channel passes it on later, on its receive thread), so the reason is there
// when Open returns; the provider's slot owns it.
class TOpenFailureLog final : public uMyInterfacedObject::TMyInterfacedObject {
 public:
  void OnError(uCI_CommunicationInterfaceUtils::ICommunicationInterface* /*sender*/,
               const std::string& methodName, const std::vector<std::string>& args,
               std::int32_t errorCode) {
    if (methodName != "Open") return;
    // "node: reason", leaving out a part that a later one repeats.
    std::string text;
    for (std::size_t i = 0; i < args.size(); ++i) {
      bool repeated = args[i].empty();
      for (std::size_t j = i + 1; j < args.size() && !repeated; ++j)
        repeated = args[j].find(args[i]) != std::string::npos;
      if (repeated) continue;
      if (!text.empty()) text += ": ";
      text += args[i];
    }
    if (errorCode != 0) text += " (error code " + std::to_string(errorCode) + ")";
    std::lock_guard lock(mutex_);
    text_ = std::move(text);
  }
  std::string Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(text_, {});
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

TConfiguratorCore::TConfiguratorCore(std::filesystem::path applicationDir)
    : applicationDir_(std::move(applicationDir)) {
  mimeTable_ = std::make_unique<uMimeTable::TMimeTable>();
  bridge_.ApplicationDir = applicationDir_;
  bridge_.DeviceType = [this] { return DeviceType(); };
  bridge_.Channel = [this]() -> uci_ICommunicationInterface::TChannelPtr {
    return uci_ICommunicationInterface::TChannelPtr(channel_.Get());
  };
  bridge_.MimeTable = mimeTable_.get();
  server_.SetOnCreatePostStream([] { return uHttpBridge::idhtpsrvr1CreatePostStream(); });
  server_.SetOnCommandGet(
      [this](uHttpServer::THttpRequest& request, uHttpServer::THttpResponse& response) {
        uHttpBridge::idhtpsrvr1CommandGet(bridge_, request, response);
      });

  channel_ = uCI_Wrapper::TWrapperPtr(
      uMyInterfacedObject::Create<uCI_Wrapper::TCommunicationWrapperInterface>().Get());
  openFailure_ = uMyInterfacedObject::Create<TOpenFailureLog>();
  uHidDeviceManager::GetHidDeviceManager().Refresh();

  std::int32_t port = server_.GetDefaultPort();
  uConfigFile::LoadConfigFile(applicationDir_ / uConfigFile::kConfigFileName, port);
  server_.SetDefaultPort(port);
}

TConfiguratorCore::~TConfiguratorCore() {
  try {
    Shutdown();
  } catch (...) {
    // reported by whoever called Shutdown; a destructor only makes sure it ran
  }
}

void TConfiguratorCore::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  server_.Stop();  // waits for every connection, also one inside a device exchange
  std::string error;
  const bool saved = uConfigFile::SaveConfigFile(applicationDir_ / uConfigFile::kConfigFileName,
                                                 server_.GetDefaultPort(), error);
  if (channel_) channel_->Close(false);
  channel_.Reset();
  mimeTable_.reset();
  bridge_.MimeTable = nullptr;
  if (!saved) throw std::runtime_error(error);
}

TConfiguratorCore::TConnectResult TConfiguratorCore::Connect(const std::string& deviceType,
                                                             const std::string& serialNumber,
                                                             std::string& error) {
  SetDeviceType(deviceType);
  // A device already open is closed first: Open of an open channel keeps it, and the new
  // choice would never be opened.
  channel_->Close(false);
  // A serial number may hold the characters of the configuration syntax.
  channel_->SetConfiguration(uDeviceTypes::kConfigurationPrefix +
                             uConfigString::EscapeConfigValue(serialNumber));
  if (const auto provider = channel_->GetProvider()) {
    // Keyed by handler: connecting again at every Connect adds no slot.
    provider->GetOnError().Connect({openFailure_.Get(), &TOpenFailureLog::OnError},
                                   uDispatcher::TOwner(openFailure_.Get()), nullptr);
  }
  openFailure_->Take();
  if (!channel_->Open()) {
    error = openFailure_->Take();
    return TConnectResult::NotOpen;
  }
  try {
    server_.Start();  // a listening server stays as it is
  } catch (const std::exception& e) {
    error = e.what();
    return TConnectResult::ServerFailed;
  }
  return TConnectResult::Connected;
}

void TConfiguratorCore::Disconnect() {
  server_.Stop();
  channel_->Close(false);
}

std::string TConfiguratorCore::DeviceType() const {
  std::lock_guard lock(deviceTypeMutex_);
  return deviceType_;
}

void TConfiguratorCore::SetDeviceType(std::string type) {
  std::lock_guard lock(deviceTypeMutex_);
  deviceType_ = std::move(type);
}

std::string TConfiguratorCore::Url() const {
  return "http://" + server_.UrlHost() + ":" + std::to_string(server_.BoundPort());
}

}  // namespace uConfiguratorCore
