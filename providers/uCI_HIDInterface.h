#pragma once
// The HID provider: text to and from a USB HID device chosen by vendor id, product id and
// serial number, cut into output reports and gathered from input reports. Its "HID work
// thread" serves the attached device for the provider's whole life and feeds the receive
// buffer: it waits for input reports (poll on the hidraw node) at most 10 ms at a time, so
// an answer is read as soon as it arrives. Should an exception end it, the provider reports
// an error named after the thread and no longer counts as open; the next Open starts a new
// work thread.
//
// Keys: "vid", "pid" (decimal or $hex; a value that is no number leaves the old one),
// "serial_number" (taken whenever present, an empty value included; empty matches any).
//
// Open opens the device at once: a device that cannot be opened (no node, no permission)
// fails Open, whose error event carries the device's node, the reason and the system error
// number. A device whose output reports have no room for text is refused for writing.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ci/uThreadUtils.h"
#include "providers/uCI_InternalBufferCommunicationInterface.h"
#include "providers/uHidDevice.h"

namespace uCI_HIDInterface {

inline constexpr const char* kWorkThreadName = "HID work thread";
inline constexpr std::uint32_t kPollIntervalMs = 10;

class ICommunicationHIDInterface
    : public virtual uCI_CommunicationInterfaceUtils::ICommunicationInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{3EDE85E6-CE87-4581-851F-A006371AE758}"};

  virtual uHidDevice::THidDevice& GetHidDevice() = 0;
  virtual int GetPID() = 0;
  virtual void SetPID(int pid) = 0;
  virtual int GetVID() = 0;
  virtual void SetVID(int vid) = 0;
  virtual std::string GetSerialNumber() = 0;
  virtual void SetSerialNumber(const std::string& serialNumber) = 0;
  // Strings of the attached device; empty when none.
  virtual std::string GetProductName() = 0;
  virtual std::string GetManufacturerName() = 0;

 protected:
  ~ICommunicationHIDInterface() = default;
};

class TCommunicationHIDInterface final
    : public uCI_InternalBufferCommunicationInterface::TCommunicationInternalBufferInterface,
      public ICommunicationHIDInterface {
 public:
  TCommunicationHIDInterface();
  ~TCommunicationHIDInterface() override;

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // The provider interface, reached through both interfaces.
  bool IsOpen() override;
  std::string GetProviderName() override { return "HID"; }
  std::string GetConfiguration() override;
  std::string GetAddress() override { return GetConfiguration(); }
  void ClearOutput() override {}

  uHidDevice::THidDevice& GetHidDevice() override { return device_; }
  int GetPID() override;
  void SetPID(int pid) override;
  int GetVID() override;
  void SetVID(int vid) override;
  std::string GetSerialNumber() override;
  void SetSerialNumber(const std::string& serialNumber) override;
  std::string GetProductName() override;
  std::string GetManufacturerName() override;

 protected:
  bool InternalOpen() override;
  bool InternalClose(bool force) override;
  // 0 when a report could not be written, so a failed write is visible to the caller.
  std::int32_t InternalWriteString(const std::string& text) override;
  bool InternalSetConfiguration(const std::string& config) override;
  // The error of "Open" gets the reason InternalOpen noted, and its code.
  void DoError(const std::string& name, const std::vector<std::string>& args,
               std::int32_t code) override;

 private:
  void NoteOpenFailure(std::vector<std::string> args, int code);
  // Detaches the device and ends this provider's hold on it.
  void DetachDevice();
  void Poll(uThreadUtils::TThreadRunner& runner);
  void OnWorkThreadFailure(uThreadUtils::TThreadRunner& runner, const std::string& message);
  void StartWorkThread();

  uHidDevice::THidDevice device_;
  uHidPlatform::THidPlatformDevicePtr held_;  // the device this provider has open
  std::mutex failureMutex_;
  std::vector<std::string> openFailure_;  // why the last InternalOpen failed
  int openFailureCode_ = 0;
  int vid_ = 0;
  int pid_ = 0;
  std::string serialNumber_;
  std::unique_ptr<uThreadUtils::TThreadRunner> workThread_;
  std::atomic<bool> workThreadFailed_{false};
  // Work threads that died, joined once they have ended.
  std::vector<std::unique_ptr<uThreadUtils::TThreadRunner>> retiredWorkThreads_;
};

}  // namespace uCI_HIDInterface
