#pragma once
// The provider base: locking, open/close bookkeeping, notifications through slot lists,
// error events and the provider's own Query. A concrete provider supplies the transport
// work through the Internal... operations.
//
// Every operation that changes state or does I/O holds the provider lock exclusively (a
// Query for its whole exchange); only a forced Close can cut a Query short, through Closing,
// which it sets before it waits for the lock.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ci/uCI_CommunicationInterfaceUtils.h"
#include "ci/uMyInterfacedObject.h"
#include "ci/uSynchronizer.h"

namespace uCI_CommunicationInterface {

using uCI_CommunicationInterfaceUtils::TIsComplete;

class TCommunicationInterface
    : public uMyInterfacedObject::TMyInterfacedObject,
      public virtual uCI_CommunicationInterfaceUtils::ICommunicationInterface {
 public:
  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  bool IsOpen() override = 0;
  void SetActive(bool value) override;
  // "provider=" + GetProviderName(); providers append their keys.
  std::string GetConfiguration() override;
  void SetConfiguration(const std::string& config) override;
  bool Open() final;
  bool Close(bool force) final;
  std::string GetAddress() override;
  std::int32_t WriteString(const std::string& text) final;
  std::string ReadString() final;
  void Query(const std::string& request, std::int32_t firstTimeout, std::int32_t nextTimeout,
             std::int32_t totalTimeout, bool clearInputFirst, bool clearOutputFirst,
             const TIsComplete& isComplete, const std::string& prefix, std::string& answer) final;

  uDispatcher::TCINotifyEventSlotList& GetOnOpen() final { return onOpen_; }
  uDispatcher::TCINotifyEventSlotList& GetOnClose() final { return onClose_; }
  uDispatcher::TCINotifyStringEventSlotList& GetOnReadString() final { return onReadString_; }
  uDispatcher::TCINotifyStringEventSlotList& GetOnWriteString() final { return onWriteString_; }
  uDispatcher::TCINotifyStringEventSlotList& GetOnConfigurationChange() final {
    return onConfigurationChange_;
  }
  uDispatcher::TCINotifyErrorEventSlotList& GetOnError() final { return onError_; }

  void BeginWrite() final { lock_.BeginWrite(); }
  void EndWrite() final { lock_.EndWrite(); }
  void BeginRead() final { lock_.BeginRead(); }
  void EndRead() final { lock_.EndRead(); }

  double GetTimeFactor();
  // Kept between uTimeout::kMinTimeFactor and kMaxTimeFactor; NaN sets the default 1.0.
  void SetTimeFactor(double factor);
  bool Closing() const noexcept { return closing_.load(); }
  const std::string& ClassName() const noexcept { return className_; }

 protected:
  // className names the provider lock ("TCommunicationHIDInterface").
  explicit TCommunicationInterface(std::string className);
  ~TCommunicationInterface() override;

  virtual bool InternalOpen() = 0;
  virtual bool InternalClose(bool force) = 0;
  virtual std::string InternalReadString() = 0;
  // Bytes written; 0 on failure.
  virtual std::int32_t InternalWriteString(const std::string& text) = 0;
  // False when the configuration cannot be applied.
  virtual bool InternalSetConfiguration(const std::string& config) = 0;

  // Notifications; a std::exception raised while firing becomes an error event named after
  // the notification.
  virtual void DoOpen();
  virtual void DoClose();
  virtual void DoReadString(const std::string& text);
  virtual void DoWriteString(const std::string& text);
  virtual void DoError(const std::string& name, const std::vector<std::string>& args,
                       std::int32_t code);
  virtual void DoConfigurationChange(const std::string& text);

  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended& ProviderLock() noexcept {
    return lock_;
  }

 private:
  const std::string className_;
  uSynchronizer::TMultiReadExclusiveWriteSynchronizerExtended lock_;
  double timeFactor_ = 1.0;
  std::atomic<bool> closing_{false};
  uDispatcher::TCINotifyEventSlotList onOpen_;
  uDispatcher::TCINotifyEventSlotList onClose_;
  uDispatcher::TCINotifyStringEventSlotList onReadString_;
  uDispatcher::TCINotifyStringEventSlotList onWriteString_;
  uDispatcher::TCINotifyStringEventSlotList onConfigurationChange_;
  uDispatcher::TCINotifyErrorEventSlotList onError_;
};

}  // namespace uCI_CommunicationInterface
