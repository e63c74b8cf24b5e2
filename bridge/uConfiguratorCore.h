#pragma once
// What the main window and the headless mode share: the HTTP server with its bridge to the
// device, the MIME table, the wrapper channel, the connected device type and config.xml.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/uHttpBridge.h"
#include "bridge/uHttpServer.h"
#include "bridge/uMimeTable.h"
#include "ci/uCI_Wrapper.h"

namespace uConfiguratorCore {

class TOpenFailureLog;

class TConfiguratorCore {
 public:
  // Creates the MIME table, the channel (empty configuration) and the first HID device list,
  // and reads config.xml from applicationDir into DefaultPort.
  explicit TConfiguratorCore(std::filesystem::path applicationDir);
  // Stops the server, writes config.xml and closes the channel; throws with the message of
  // the first failure, after doing the rest.
  void Shutdown();
  ~TConfiguratorCore();
  TConfiguratorCore(const TConfiguratorCore&) = delete;
  TConfiguratorCore& operator=(const TConfiguratorCore&) = delete;

  enum class TConnectResult { Connected, NotOpen, ServerFailed };
  // Closes the channel, configures it for the device with serialNumber (escaped, so any byte
  // may occur), opens it and starts the server. deviceType is taken first, whatever follows.
  // error gets why the device could not be opened (as its provider reported it: node,
  // reason, what fixes it, error code) or the server's message.
  TConnectResult Connect(const std::string& deviceType, const std::string& serialNumber,
                         std::string& error);
  // Stops the server and closes the channel.
  void Disconnect();

  std::string DeviceType() const;
  void SetDeviceType(std::string type);
  std::string Url() const;  // "http://127.0.0.1:" (or the listen address) + the bound port

  const std::filesystem::path& ApplicationDir() const noexcept { return applicationDir_; }
  uHttpServer::THttpServer& Server() noexcept { return server_; }
  const uCI_Wrapper::TWrapperPtr& Channel() const noexcept { return channel_; }

 private:
  const std::filesystem::path applicationDir_;
  uHttpServer::THttpServer server_;  // idhtpsrvr1
  std::unique_ptr<uMimeTable::TMimeTable> mimeTable_;
  uHttpBridge::TBridge bridge_;
  uCI_Wrapper::TWrapperPtr channel_;
  uInterfaces::TInterfacePtr<TOpenFailureLog> openFailure_;
  mutable std::mutex deviceTypeMutex_;  // the bridge reads it from connection threads
  std::string deviceType_;
  bool shutDown_ = false;
};

}  // namespace uConfiguratorCore
