#pragma once
// The channel interface every communication channel offers, and the abstract channel class
// that implements it except for the transport work, which subclasses supply through the
// Internal... operations.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "ci/uEventer.h"
#include "ci/uInterfaces.h"
#include "ci/uMethod.h"
#include "ci/uNodedInterface.h"

namespace uci_ICommunicationInterface {

using uInterfaces::TGUID;

class ICommunicationInterface;

// (Sender)
using TCINotifyEvent = uMethod::TMethod<void(ICommunicationInterface* sender)>;
// (Sender, MethodName, Args, ErrorCode)
using TCINotifyErrorEvent =
    uMethod::TMethod<void(ICommunicationInterface* sender, const std::string& methodName,
                          const std::vector<std::string>& args, std::int32_t errorCode)>;
// Asked after every poll of Query with Prefix + the answer so far; 0 ends the exchange.
using TQueryContinue = std::function<std::uint16_t(const std::string& text)>;

class ICommunicationInterfaceCore : public virtual uInterfaces::IInterface {
 public:
  static constexpr TGUID IID{"{76A7FD53-30E9-4F5A-9B92-90AC61E19EA0}"};

  virtual void SetOnDataRcv(const TCINotifyEvent& handler) = 0;
  virtual TCINotifyEvent GetOnDataRcv() = 0;
  virtual uEventer::TEventerCiNotify& GetDataRcvEventer() = 0;
  virtual bool IsOpen() = 0;

 protected:
  ~ICommunicationInterfaceCore() = default;
};

class ICommunicationInterface : public ICommunicationInterfaceCore {
 public:
  static constexpr TGUID IID{"{A08B3416-51DC-4315-940D-D6110F114164}"};

  // Opens or closes as needed; the current state when nothing changes, else the success.
  virtual bool SetActive(bool value) = 0;
  virtual bool GetConfigured() = 0;
  virtual void SetConfigured(bool value) = 0;
  virtual std::string GetConfiguration() = 0;
  virtual void SetConfiguration(const std::string& config) = 0;
  virtual TCINotifyEvent GetOnOpen() = 0;
  virtual void SetOnOpen(const TCINotifyEvent& handler) = 0;
  virtual uEventer::TEventerCiNotify& GetOpenEventer() = 0;
  virtual TCINotifyEvent GetOnClose() = 0;
  virtual void SetOnClose(const TCINotifyEvent& handler) = 0;
  virtual uEventer::TEventerCiNotify& GetCloseEventer() = 0;
  virtual uEventer::TEventerCiNotify& GetConfigurationChangeEventer() = 0;
  virtual TCINotifyErrorEvent GetOnError() = 0;
  virtual void SetOnError(const TCINotifyErrorEvent& handler) = 0;
  virtual uEventer::TEventerCiNotifyChangeEvent& GetChangeEventer() = 0;
  virtual TCINotifyEvent GetOnChange() = 0;
  virtual void SetOnChange(const TCINotifyEvent& handler) = 0;
  virtual bool Open() = 0;
  virtual bool Close(bool force) = 0;
  virtual std::string GetAddress() = 0;
  // Characters sent.
  virtual std::int32_t WriteString(const std::string& data) = 0;
  virtual std::string ReadString() = 0;
  virtual std::int32_t GetInputCount() = 0;
  virtual void ClearInput() = 0;
  virtual void ClearOutput() = 0;
  // Writes request and collects the answer until it stops arriving or a limit runs out.
  virtual void Query(const std::string& request, std::int32_t firstTimeout,
                     std::int32_t nextTimeout, std::int32_t totalTimeout, bool clearInputFirst,
                     bool clearOutputFirst, const TQueryContinue& continueQuery,
                     const std::string& prefix, std::string& answer) = 0;
  // Query(request, timeout, 50, 2 * timeout, false, false, continueQuery, "", answer).
  virtual void Query(const std::string& request, std::int32_t timeout,
                     const TQueryContinue& continueQuery, std::string& answer) = 0;
  virtual double GetTimeFactor() = 0;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;
  virtual bool GetReservedFlag1() = 0;
  virtual bool GetReservedFlag2() = 0;
  virtual std::string GetDescription() = 0;

 protected:
  ~ICommunicationInterface() = default;
};

using TChannelPtr = uInterfaces::TInterfacePtr<ICommunicationInterface>;

// The abstract channel. Open, Close and Query take the node's exclusive lock (Query for its
// whole exchange, so exchanges from several threads run one after the other); the
// notifications run after the lock is released, on the calling thread.
class TCommunicationInterface : public uNodedInterface::TNodedInterface,
                                public virtual ICommunicationInterface {
 public:
  // Applies config (when not empty) once the object is built, through the subclass's
  // InternalSetConfiguration.
  explicit TCommunicationInterface(std::string config = {});
  // Built with no element first, then loaded from element (its GUID included) and attached
  // to parent.
  TCommunicationInterface(uXmlUtils::TXmlElement element, uInterfaces::IInterface* parent);
  ~TCommunicationInterface() override;

  uInterfaces::HRESULT QueryInterface(const TGUID& iid, void** object) override;
  std::string ClassName() const override { return "TCommunicationInterface"; }

  // Both interfaces declare the node lock operations; they are the node's.
  void BeginWrite() override { TNodedInterface::BeginWrite(); }
  void EndWrite() override { TNodedInterface::EndWrite(); }
  void BeginRead() override { TNodedInterface::BeginRead(); }
  void EndRead() override { TNodedInterface::EndRead(); }

  void SetOnDataRcv(const TCINotifyEvent& handler) override;
  TCINotifyEvent GetOnDataRcv() override;
  uEventer::TEventerCiNotify& GetDataRcvEventer() override { return dataRcvEventer_; }
  bool SetActive(bool value) override;
  bool GetConfigured() override;
  void SetConfigured(bool value) override;
  std::string GetConfiguration() override { return {}; }
  void SetConfiguration(const std::string& config) override;
  TCINotifyEvent GetOnOpen() override;
  void SetOnOpen(const TCINotifyEvent& handler) override;
  uEventer::TEventerCiNotify& GetOpenEventer() override { return openEventer_; }
  TCINotifyEvent GetOnClose() override;
  void SetOnClose(const TCINotifyEvent& handler) override;
  uEventer::TEventerCiNotify& GetCloseEventer() override { return closeEventer_; }
  uEventer::TEventerCiNotify& GetConfigurationChangeEventer() override {
    return configurationChangeEventer_;
  }
  TCINotifyErrorEvent GetOnError() override;
  void SetOnError(const TCINotifyErrorEvent& handler) override;
  uEventer::TEventerCiNotifyChangeEvent& GetChangeEventer() override { return changeEventer_; }
  TCINotifyEvent GetOnChange() override;
  void SetOnChange(const TCINotifyEvent& handler) override;
  bool Open() override;
  bool Close(bool force) override;
  std::int32_t WriteString(const std::string& data) override;
  std::string ReadString() override;
  void Query(const std::string& request, std::int32_t firstTimeout, std::int32_t nextTimeout,
             std::int32_t totalTimeout, bool clearInputFirst, bool clearOutputFirst,
             const TQueryContinue& continueQuery, const std::string& prefix,
             std::string& answer) override;
  void Query(const std::string& request, std::int32_t timeout, const TQueryContinue& continueQuery,
             std::string& answer) override;
  double GetTimeFactor() override { return timeFactor_; }
  bool GetReservedFlag1() override { return false; }
  bool GetReservedFlag2() override { return false; }
  std::string GetDescription() override { return GetAddress(); }

  // Notifications. A handler's exception becomes an error report ("DoOpen", "DoClose",
  // "DoDataRcv"); eventer handlers' exceptions are swallowed by the eventer.
  void DoOpen();
  void DoClose();
  void DoDataRcv();
  void DoConfigurationChange();
  // Calls OnError; an exception from it reaches the caller.
  void DoError(const std::string& methodName, const std::vector<std::string>& args,
               std::int32_t errorCode);

 protected:
  void AfterConstruction() override;
  void LoadAttributes(pugi::xml_node element, bool readGUID) override;
  void SaveAttributes(pugi::xml_node element) override;

  // The transport work.
  virtual bool InternalOpen() = 0;
  virtual bool InternalClose(bool force) = 0;
  virtual std::int32_t InternalWriteString(const std::string& data) = 0;
  virtual std::string InternalReadString() = 0;
  virtual bool InternalSetConfiguration(const std::string& config) = 0;
  // Hooks around reads and writes; empty here.
  virtual void DoDataRead(const std::string& /*data*/) {}
  virtual void DoDataWritten(const std::string& /*data*/) {}

 private:
  void Notify(const TCINotifyEvent& handler, uEventer::TEventerCiNotify& eventer,
              const char* methodName);

  std::string pendingConfig_;
  uXmlUtils::TXmlElement pendingElement_;
  uInterfaces::TInterfacePtr<uInterfaces::IInterface> pendingParent_;

  std::mutex handlerMutex_;  // keeps each handler's copy whole across threads
  bool configured_ = false;
  TCINotifyEvent onDataRcv_;
  TCINotifyEvent onOpen_;
  TCINotifyEvent onClose_;
  TCINotifyEvent onChange_;
  TCINotifyErrorEvent onError_;
  uEventer::TEventerCiNotify openEventer_;
  uEventer::TEventerCiNotify closeEventer_;
  uEventer::TEventerCiNotify dataRcvEventer_;
  uEventer::TEventerCiNotifyChangeEvent changeEventer_;
  uEventer::TEventerCiNotify configurationChangeEventer_;
  const double timeFactor_ = 1.0;
};

}  // namespace uci_ICommunicationInterface
