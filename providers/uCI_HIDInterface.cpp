#include "providers/uCI_HIDInterface.h"

#include <cerrno>
#include <utility>

#include "ci/uConfigString.h"
#include "providers/uHidDeviceManager.h"

namespace uCI_HIDInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

TCommunicationHIDInterface::TCommunicationHIDInterface()
    : TCommunicationInternalBufferInterface("TCommunicationHIDInterface") {
  // Started last, once everything the poll touches exists; the class is final, so no
  // derived part is still missing.
  StartWorkThread();
}

void TCommunicationHIDInterface::StartWorkThread() {
  workThreadFailed_ = false;
  workThread_ = std::make_unique<uThreadUtils::TThreadRunner>(
      kWorkThreadName, uThreadUtils::TRunnerMethod(this, &TCommunicationHIDInterface::Poll),
      uThreadUtils::TRunnerFailureMethod(this, &TCommunicationHIDInterface::OnWorkThreadFailure));
}

void TCommunicationHIDInterface::OnWorkThreadFailure(uThreadUtils::TThreadRunner& /*runner*/,
                                                     const std::string& message) {
  // Held through the report, whose events may carry the last other references: should the
  // provider go with this one, it goes after the report, as this thread's last step.
  const uInterfaces::TInterfacePtr<uInterfaces::IInterface> keep(
      static_cast<ICommunicationHIDInterface*>(this));
  workThreadFailed_ = true;
  DoError(kWorkThreadName, {message}, 0);
}

TCommunicationHIDInterface::~TCommunicationHIDInterface() {
  workThread_->Terminate();
  device_.Wake();
  workThread_.reset();  // waits for the poll to end
  retiredWorkThreads_.clear();
  DetachDevice();
}

uInterfaces::HRESULT TCommunicationHIDInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                void** object) {
  if (iid == ICommunicationHIDInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationHIDInterface>(this, object);
  return TCommunicationInternalBufferInterface::QueryInterface(iid, object);
}

void TCommunicationHIDInterface::Poll(uThreadUtils::TThreadRunner& runner) {
  while (!runner.Terminated()) {
    const std::string text = device_.ReadString();
    if (!text.empty()) DoReadString(text);
    // Wakes as soon as a report arrives; the interval is the longest pause.
    device_.WaitReadable(kPollIntervalMs);
  }
}

bool TCommunicationHIDInterface::IsOpen() {
  TWriteLock hold(ProviderLock());
  if (workThreadFailed_) return false;  // nothing would ever be received
  const auto device = device_.GetDevice();
  return device && device->Plugged();
}

std::string TCommunicationHIDInterface::GetConfiguration() {
  TReadLock hold(ProviderLock());
  return TCommunicationInternalBufferInterface::GetConfiguration() +
         ";vid=" + std::to_string(vid_) + ";pid=" + std::to_string(pid_) +
         ";serial_number=" + uConfigString::EscapeConfigValue(serialNumber_);
}

int TCommunicationHIDInterface::GetPID() {
  TReadLock hold(ProviderLock());
  return pid_;
}

void TCommunicationHIDInterface::SetPID(int pid) {
  TWriteLock hold(ProviderLock());
  pid_ = pid;
}

int TCommunicationHIDInterface::GetVID() {
  TReadLock hold(ProviderLock());
  return vid_;
}

void TCommunicationHIDInterface::SetVID(int vid) {
  TWriteLock hold(ProviderLock());
  vid_ = vid;
}

std::string TCommunicationHIDInterface::GetSerialNumber() {
  TReadLock hold(ProviderLock());
  return serialNumber_;
}

void TCommunicationHIDInterface::SetSerialNumber(const std::string& serialNumber) {
  TWriteLock hold(ProviderLock());
  serialNumber_ = serialNumber;
}

std::string TCommunicationHIDInterface::GetProductName() {
  TReadLock hold(ProviderLock());
  return device_.GetProductName();
}

std::string TCommunicationHIDInterface::GetManufacturerName() {
  TReadLock hold(ProviderLock());
  return device_.GetManufacturerName();
}

bool TCommunicationHIDInterface::InternalOpen() {
  InternalClose(false);
  NoteOpenFailure({}, 0);
  if (workThreadFailed_ || workThread_->Finished()) {
    // A work thread that died may still be reporting it, perhaps to a handler that wants
    // the provider lock held here: it is joined once it has ended, never waited for here.
    std::erase_if(retiredWorkThreads_, [](const auto& runner) { return runner->Finished(); });
    retiredWorkThreads_.push_back(std::move(workThread_));
    StartWorkThread();
  }
  auto& manager = uHidDeviceManager::GetHidDeviceManager();
  manager.Refresh();
  const auto device = manager.FindDevice(vid_, pid_, serialNumber_);
  if (!device) {
    NoteOpenFailure({"vid=" + std::to_string(vid_) + ";pid=" + std::to_string(pid_) +
                         ";serial_number=" + serialNumber_,
                     "no such HID device is attached"},
                    0);
    return false;
  }
  const uHidPlatform::THidOpenResult opened = device->Open();
  if (!opened.Ok()) {
    NoteOpenFailure({device->Info().Path, opened.Message}, opened.Code);
    return false;
  }
  held_ = device;
  device_.SetDevice(device);
  if (IsOpen()) return true;
  NoteOpenFailure({device->Info().Path, "the device was unplugged while it was opened"}, ENODEV);
  DetachDevice();
  return false;
}

void TCommunicationHIDInterface::DetachDevice() {
  if (device_.GetDevice()) device_.SetDevice(nullptr);
  if (const auto held = std::exchange(held_, nullptr)) held->Close();
}

bool TCommunicationHIDInterface::InternalClose(bool /*force*/) {
  DetachDevice();
  return true;
}

std::int32_t TCommunicationHIDInterface::InternalWriteString(const std::string& text) {
  // Reports of fewer bytes have no room for text: cutting it into them would never end.
  if (const auto device = device_.GetDevice();
      device && device->Info().OutputReportByteLength < uHidDevice::kMinOutputReportLength) {
    DoError("InternalWriteString",
            {device->Info().Path, "the device's output reports are " +
                                      std::to_string(device->Info().OutputReportByteLength) +
                                      " bytes long, with no room for text (at least " +
                                      std::to_string(uHidDevice::kMinOutputReportLength) +
                                      " are needed); nothing was written"},
            0);
    return 0;
  }
  return device_.WriteString(text) ? static_cast<std::int32_t>(text.size()) : 0;
}

void TCommunicationHIDInterface::NoteOpenFailure(std::vector<std::string> args, int code) {
  std::lock_guard lock(failureMutex_);
  openFailure_ = std::move(args);
  openFailureCode_ = code;
}

void TCommunicationHIDInterface::DoError(const std::string& name,
                                         const std::vector<std::string>& args, std::int32_t code) {
  std::vector<std::string> withReason = args;
  if (name == "Open") {
    std::lock_guard lock(failureMutex_);
    withReason.insert(withReason.end(), openFailure_.begin(), openFailure_.end());
    if (code == 0) code = openFailureCode_;
    openFailure_.clear();
    openFailureCode_ = 0;
  }
  TCommunicationInternalBufferInterface::DoError(name, withReason, code);
}

bool TCommunicationHIDInterface::InternalSetConfiguration(const std::string& config) {
  try {
    std::int32_t number = 0;
    if (uConfigString::GetConfigInteger(config, "vid", number)) vid_ = number;
    if (uConfigString::GetConfigInteger(config, "pid", number)) pid_ = number;
    std::string serial;
    if (uConfigString::GetConfigString(config, "serial_number", serial)) {
      serialNumber_ = serial;
    } else if (uConfigString::GetConfigString(config + ";", "serial_number", serial) &&
               serial.empty()) {
      // "...;serial_number=" at the very end: the lookup does not see a key with nothing
      // after its '=', but it is the application's way of saying "any serial number".
      serialNumber_.clear();
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace uCI_HIDInterface
