#pragma once
// The provider interface: what a transport provider (HID, serial port, FTDI, TCP, UDP)
// offers the wrapper channel. Providers notify through dispatcher slot lists, so their
// receive threads hand data and errors to subscribers' queues without waiting for them.

#include <cstdint>
#include <functional>
#include <string>

#include "ci/uDispatcher.h"
#include "ci/uInterfaces.h"

namespace uCI_CommunicationInterfaceUtils {

// Asked after every poll of a provider's Query with Prefix + the answer so far; true ends it.
using TIsComplete = std::function<bool(const std::string& text)>;

class ICommunicationInterface : public virtual uInterfaces::IInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{FBFF0436-03E3-4C2B-93B4-66F7853811B7}"};

  virtual bool IsOpen() = 0;
  virtual void SetActive(bool value) = 0;
  virtual std::string GetConfiguration() = 0;
  // Applies the keys the provider knows; the result is reported through events.
  virtual void SetConfiguration(const std::string& config) = 0;
  virtual bool Open() = 0;
  // Force closes even when not open and cuts a running Query short.
  virtual bool Close(bool force) = 0;
  virtual std::string GetAddress() = 0;
  virtual std::string GetProviderName() = 0;
  virtual std::int32_t WriteString(const std::string& text) = 0;
  virtual std::string ReadString() = 0;
  virtual std::int32_t GetInputCount() = 0;
  virtual void ClearInput() = 0;
  virtual void ClearOutput() = 0;
  virtual void Query(const std::string& request, std::int32_t firstTimeout,
                     std::int32_t nextTimeout, std::int32_t totalTimeout, bool clearInputFirst,
                     bool clearOutputFirst, const TIsComplete& isComplete,
                     const std::string& prefix, std::string& answer) = 0;
  virtual uDispatcher::TCINotifyEventSlotList& GetOnOpen() = 0;
  virtual uDispatcher::TCINotifyEventSlotList& GetOnClose() = 0;
  virtual uDispatcher::TCINotifyStringEventSlotList& GetOnReadString() = 0;
  virtual uDispatcher::TCINotifyStringEventSlotList& GetOnWriteString() = 0;
  virtual uDispatcher::TCINotifyStringEventSlotList& GetOnConfigurationChange() = 0;
  virtual uDispatcher::TCINotifyErrorEventSlotList& GetOnError() = 0;
  virtual void BeginWrite() = 0;
  virtual void EndWrite() = 0;
  virtual void BeginRead() = 0;
  virtual void EndRead() = 0;

 protected:
  ~ICommunicationInterface() = default;
};

using TProviderPtr = uInterfaces::TInterfacePtr<ICommunicationInterface>;

}  // namespace uCI_CommunicationInterfaceUtils
