#include "providers/uCI_CommunicationInterface.h"

#include <cmath>
#include <limits>

#include "ci/uQueryExchange.h"
#include "ci/uThreadUtils.h"
#include "ci/uTimeout.h"

namespace uCI_CommunicationInterface {

using uCI_CommunicationInterfaceUtils::ICommunicationInterface;
using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

TCommunicationInterface::TCommunicationInterface(std::string className)
    : className_(std::move(className)), lock_(className_) {}

TCommunicationInterface::~TCommunicationInterface() = default;

uInterfaces::HRESULT TCommunicationInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                             void** object) {
  if (iid == ICommunicationInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationInterface>(this, object);
  return TMyInterfacedObject::QueryInterface(iid, object);
}

double TCommunicationInterface::GetTimeFactor() {
  TReadLock hold(lock_);
  return timeFactor_;
}

void TCommunicationInterface::SetTimeFactor(double factor) {
  TWriteLock hold(lock_);
  timeFactor_ = uTimeout::ClampTimeFactor(factor);
}

bool TCommunicationInterface::Open() {
  TWriteLock hold(lock_);
  if (IsOpen()) return true;
  const bool opened = InternalOpen();
  if (opened)
    DoOpen();
  else
    DoError("Open", {}, 0);
  return opened;
}

bool TCommunicationInterface::Close(bool force) {
  if (force) closing_ = true;  // before the lock: a running Query sees it and lets go
  TWriteLock hold(lock_);
  struct TClearClosing {  // cleared on every path, while the lock is still held
    std::atomic<bool>& closing;
    ~TClearClosing() { closing = false; }
  } clearClosing{closing_};
  if (!IsOpen() && !force) return true;
  const bool closed = InternalClose(force);
  if (closed)
    DoClose();
  else
    DoError("Close", {}, 0);
  return closed;
}

void TCommunicationInterface::SetActive(bool value) {
  TWriteLock hold(lock_);
  if (value == IsOpen()) return;
  if (value)
    Open();
  else
    Close(false);
}

std::string TCommunicationInterface::GetConfiguration() {
  return "provider=" + GetProviderName();
}

std::string TCommunicationInterface::GetAddress() {
  return "provider=" + GetProviderName();
}

void TCommunicationInterface::SetConfiguration(const std::string& config) {
  TWriteLock hold(lock_);
  if (InternalSetConfiguration(config))
    DoConfigurationChange(config);
  else
    DoError("SetConfiguration", {config}, 0);
}

std::int32_t TCommunicationInterface::WriteString(const std::string& text) {
  TWriteLock hold(lock_);
  const std::int32_t written = InternalWriteString(text);
  DoWriteString(text);
  return written;
}

std::string TCommunicationInterface::ReadString() {
  TWriteLock hold(lock_);
  return InternalReadString();
}

void TCommunicationInterface::Query(const std::string& request, std::int32_t firstTimeout,
                                    std::int32_t nextTimeout, std::int32_t totalTimeout,
                                    bool clearInputFirst, bool clearOutputFirst,
                                    const TIsComplete& isComplete, const std::string& prefix,
                                    std::string& answer) {
  answer.clear();
  TWriteLock hold(lock_);
  if (closing_) return;
  DoWriteString(request);
  if (!IsOpen()) return;
  if (clearInputFirst) ClearInput();
  if (clearOutputFirst) ClearOutput();
  uThreadUtils::Sleep(1);
  InternalWriteString(request);
  uQueryExchange::CollectAnswer(
      request.size(), {firstTimeout, nextTimeout, totalTimeout, timeFactor_},
      [this] { return GetInputCount(); }, [this] { return InternalReadString(); },
      [&](const std::string& sofar) {
        return (isComplete && isComplete(prefix + sofar)) || closing_;
      },
      answer);
}

// ---- notifications

void TCommunicationInterface::DoOpen() {
  try {
    onOpen_.Raise(static_cast<ICommunicationInterface*>(this));
  } catch (const std::exception&) {
    DoError("DoOpen", {}, 0);
  }
}

void TCommunicationInterface::DoClose() {
  try {
    onClose_.Raise(static_cast<ICommunicationInterface*>(this));
  } catch (const std::exception&) {
    DoError("DoClose", {}, 0);
  }
}

void TCommunicationInterface::DoReadString(const std::string& text) {
  try {
    onReadString_.Raise(static_cast<ICommunicationInterface*>(this), text);
  } catch (const std::exception&) {
    DoError("DoReadString", {}, 0);
  }
}

void TCommunicationInterface::DoWriteString(const std::string& text) {
  try {
    onWriteString_.Raise(static_cast<ICommunicationInterface*>(this), text);
  } catch (const std::exception&) {
    DoError("DoWriteString", {}, 0);
  }
}

void TCommunicationInterface::DoConfigurationChange(const std::string& text) {
  try {
    onConfigurationChange_.Raise(static_cast<ICommunicationInterface*>(this), text);
  } catch (const std::exception&) {
    DoError("DoConfigurationChange", {text}, 0);
  }
}

void TCommunicationInterface::DoError(const std::string& name, const std::vector<std::string>& args,
                                      std::int32_t code) {
  onError_.Raise(static_cast<ICommunicationInterface*>(this), name, code, args);
}

}  // namespace uCI_CommunicationInterface
