#pragma once
// The wrapper channel: the one channel class the application creates. From the key
// "provider" of its configuration it creates one transport provider, forwards every
// transport operation to it, and turns the provider's notifications into its own on a
// dispatcher thread of its own, the "CI Data Receive Thread".
//
// The provider classes live in a higher layer: each registers how to create it under its
// fixed name with SetProviderFactory. A name without a factory creates no provider.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ci/uCI_CommunicationInterfaceUtils.h"
#include "ci/uCI_DataSpy.h"
#include "ci/uDispatcher.h"
#include "ci/uTimeout.h"

namespace uCI_Wrapper {

using uCI_CommunicationInterfaceUtils::TProviderPtr;

inline constexpr const char* kReceiveThreadName = "CI Data Receive Thread";
// The provider names, exact and case-sensitive.
inline constexpr const char* kProviderNames[] = {"SERIAL_PORT", "TCP_CLIENT", "UDP_CLIENT",
                                                 "FTD_USB", "HID"};

using TProviderFactory = std::function<TProviderPtr()>;
// Installs (or, with an empty factory, removes) how the provider of a fixed name is made;
// false for a name that is not one of kProviderNames.
bool SetProviderFactory(const std::string& name, TProviderFactory factory);
// The factory installed for a name; empty when there is none.
TProviderFactory GetProviderFactory(const std::string& name);

class ICommunicationWrapperInterface
    : public virtual uci_ICommunicationInterface::ICommunicationInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{BC7643AD-946C-4CE2-A4E2-88C8DDE27B2A}"};
  // A counted copy of the provider; nullptr when there is none.
  virtual TProviderPtr GetProvider() = 0;

 protected:
  ~ICommunicationWrapperInterface() = default;
};

using TWrapperPtr = uInterfaces::TInterfacePtr<ICommunicationWrapperInterface>;

class TCommunicationWrapperInterface : public uCI_DataSpy::TCommunicationInterfaceDataSpy,
                                       public ICommunicationWrapperInterface {
 public:
  // CR in config separates entries like ';'.
  explicit TCommunicationWrapperInterface(const std::string& config = {});
  ~TCommunicationWrapperInterface() override;

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;
  std::string ClassName() const override { return "TCommunicationWrapperInterface"; }

  TProviderPtr GetProvider() override;

  bool IsOpen() override;
  std::string GetConfiguration() override;
  std::string GetAddress() override;
  std::int32_t GetInputCount() override;
  void ClearInput() override;
  void ClearOutput() override;
  std::string GetDescription() override;
  bool GetReservedFlag1() override { return false; }
  bool GetReservedFlag2() override { return false; }
  // Closes the provider, then shuts the node's subtree down.
  void Shutdown() override;

  // The thread that runs the provider's notifications.
  uDispatcher::TDispatcherThread& ReceiveThread() noexcept { return *receiveThread_; }

 protected:
  bool InternalOpen() override;
  bool InternalClose(bool force) override;
  std::int32_t InternalWriteString(const std::string& data) override;
  std::string InternalReadString() override;
  bool InternalSetConfiguration(const std::string& config) override;

 private:
  void OnProviderData(uCI_CommunicationInterfaceUtils::ICommunicationInterface* sender,
                      const std::string& text);
  void OnProviderError(uCI_CommunicationInterfaceUtils::ICommunicationInterface* sender,
                       const std::string& methodName, const std::vector<std::string>& args,
                       std::int32_t errorCode);
  // Drops the provider's slots to this wrapper and their queued events.
  static void Disconnect(const TProviderPtr& provider);

  std::mutex providerMutex_;  // keeps the reference whole for the lock-free GetProvider
  TProviderPtr provider_;
  std::unique_ptr<uDispatcher::TDispatcherThread> receiveThread_;
};

// ---- the periodically reconnecting variant

inline constexpr std::uint32_t kProcessIntervalMs = 30000;
inline constexpr std::uintptr_t kNotifyBeforeReconnect = 0x10001;
inline constexpr std::uintptr_t kNotifyAfterReconnect = 0x20000;
inline constexpr const char* kWxProcessMessageName = "WxProcessMessage";

// Receivers to notify around reconnects; each entry stands for a window and its message.
class TProcessMsgList {
 public:
  using TReceiver = std::function<void(std::uint32_t message, uInterfaces::IInterface* sender,
                                       std::uintptr_t lParam)>;
  void Add(TReceiver receiver, std::uint32_t message);
  // Calls every receiver in order, synchronously, with its message, sender and lParam.
  void NotifyWindows(uInterfaces::IInterface* sender, std::uintptr_t lParam);

 private:
  struct TEntry {
    TReceiver receiver;
    std::uint32_t message;
  };
  std::mutex mutex_;
  std::vector<TEntry> entries_;
};

class IWxProcess : public virtual uInterfaces::IInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{C15EDFF7-4A4A-4F75-B04D-32CBD39D2DC1}"};
  virtual std::int32_t Process() = 0;
  virtual TProcessMsgList& GetProcessMsgList() = 0;

 protected:
  ~IWxProcess() = default;
};

class IWxMarker : public virtual uInterfaces::IInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{E746D1A3-CC3C-485D-8ECD-4CE630876B91}"};
  virtual std::int32_t WxMarker() = 0;  // answers 0

 protected:
  ~IWxMarker() = default;
};

// Answered with the wrapper interface's operations.
inline constexpr uInterfaces::TGUID kWxWrapperIID{"{80F10478-2FBA-4F20-AC5F-831615A11F44}"};

class TWxCommunicationWrapperInterface final : public TCommunicationWrapperInterface,
                                               public IWxProcess,
                                               public IWxMarker {
 public:
  using TCommunicationWrapperInterface::TCommunicationWrapperInterface;
  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;
  std::string ClassName() const override { return "TWxCommunicationWrapperInterface"; }

  // Reopens a closed, enabled channel at most once every 30 s; always answers 30000.
  std::int32_t Process() override;
  TProcessMsgList& GetProcessMsgList() override;
  std::int32_t WxMarker() override { return 0; }

 private:
  uTimeout::TTimeout reconnectTimer_;  // zero: the first Process may reconnect at once
  std::mutex listMutex_;
  std::unique_ptr<TProcessMsgList> processMsgList_;
};

// ---- registries: which channel class serves a provider name, which class has a name

using TChannelFactory =
    std::function<uci_ICommunicationInterface::TChannelPtr(const std::string& config)>;
struct TChannelClass {
  std::string ClassName;
  TChannelFactory Create;
};

bool RegisterProviderName(const TChannelClass& channelClass, const std::string& name);
bool UnregisterProviderName(const std::string& name);
// Every class registered under name, in registration order (names compare ignoring case).
std::vector<TChannelClass> FindProviderName(const std::string& name);
void RegisterClassByName(const TChannelClass& channelClass);
void UnregisterClassByName(const TChannelClass& channelClass);
std::vector<TChannelClass> FindClassByName(const std::string& className);

TChannelClass WrapperClass();
TChannelClass WxWrapperClass();
// The id "WxProcessMessage" got at library start.
std::uint32_t WxProcessMessage();

namespace detail {
void StartRegistries();
void EndRegistries();
}  // namespace detail

}  // namespace uCI_Wrapper
