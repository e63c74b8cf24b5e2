#include "ci/uci_ICommunicationInterface.h"

#include <cmath>
#include <limits>

#include "ci/uQueryExchange.h"
#include "ci/uThreadUtils.h"
#include "ci/uTimeout.h"
#include "ci/uXmlUtils.h"

namespace uci_ICommunicationInterface {

using uMyInterfacedObject::AnswerInterface;
using uNodedInterface::TNodeWriteLock;

TCommunicationInterface::TCommunicationInterface(std::string config)
    : pendingConfig_(std::move(config)) {}

TCommunicationInterface::TCommunicationInterface(uXmlUtils::TXmlElement element,
                                                 uInterfaces::IInterface* parent)
    : pendingElement_(std::move(element)), pendingParent_(parent) {}

TCommunicationInterface::~TCommunicationInterface() = default;

void TCommunicationInterface::AfterConstruction() {
  TNodedInterface::AfterConstruction();
  if (!pendingConfig_.empty()) SetConfiguration(std::exchange(pendingConfig_, {}));
  if (pendingElement_) LoadFromXML(std::exchange(pendingElement_, {}), true, true);
  if (pendingParent_) {
    SetParent(pendingParent_.Get());
    pendingParent_.Reset();
  }
}

uInterfaces::HRESULT TCommunicationInterface::QueryInterface(const TGUID& iid, void** object) {
  if (iid == ICommunicationInterface::IID)
    return AnswerInterface<ICommunicationInterface>(this, object);
  if (iid == ICommunicationInterfaceCore::IID)
    return AnswerInterface<ICommunicationInterfaceCore>(this, object);
  return TNodedInterface::QueryInterface(iid, object);
}

void TCommunicationInterface::LoadAttributes(pugi::xml_node element, bool readGUID) {
  TNodedInterface::LoadAttributes(element, readGUID);
  std::string config;
  if (uXmlUtils::ReadXmlString(element, config, "connectionstring")) SetConfiguration(config);
}

void TCommunicationInterface::SaveAttributes(pugi::xml_node element) {
  TNodedInterface::SaveAttributes(element);
  uXmlUtils::WriteXmlString(element, "connectionstring", GetConfiguration());
}

// ---- handler fields

// NOLINTBEGIN(bugprone-macro-parentheses): Type names a type and field a member
#define DOVELA_HANDLER_ACCESSORS(Type, Getter, Setter, field) \
  Type TCommunicationInterface::Getter() {                    \
    std::lock_guard lock(handlerMutex_);                      \
    return field;                                             \
  }                                                           \
  void TCommunicationInterface::Setter(const Type& handler) { \
    std::lock_guard lock(handlerMutex_);                      \
    field = handler;                                          \
  }

DOVELA_HANDLER_ACCESSORS(TCINotifyEvent, GetOnDataRcv, SetOnDataRcv, onDataRcv_)
DOVELA_HANDLER_ACCESSORS(TCINotifyEvent, GetOnOpen, SetOnOpen, onOpen_)
DOVELA_HANDLER_ACCESSORS(TCINotifyEvent, GetOnClose, SetOnClose, onClose_)
DOVELA_HANDLER_ACCESSORS(TCINotifyEvent, GetOnChange, SetOnChange, onChange_)
DOVELA_HANDLER_ACCESSORS(TCINotifyErrorEvent, GetOnError, SetOnError, onError_)
// NOLINTEND(bugprone-macro-parentheses)
#undef DOVELA_HANDLER_ACCESSORS

bool TCommunicationInterface::GetConfigured() {
  std::lock_guard lock(handlerMutex_);
  return configured_;
}

void TCommunicationInterface::SetConfigured(bool value) {
  std::lock_guard lock(handlerMutex_);
  configured_ = value;
}

// ---- operations

bool TCommunicationInterface::Open() {
  if (IsOpen()) return true;
  bool opened;
  {
    TNodeWriteLock hold(*this);
    opened = InternalOpen();
  }
  if (opened)
    DoOpen();
  else
    DoError("Open", {}, 0);
  return opened;
}

bool TCommunicationInterface::Close(bool force) {
  if (!IsOpen() && !force) return true;
  bool closed;
  {
    TNodeWriteLock hold(*this);
    closed = InternalClose(force);
  }
  if (closed)
    DoClose();
  else
    DoError("Close", {}, 0);
  return closed;
}

bool TCommunicationInterface::SetActive(bool value) {
  const bool open = IsOpen();
  if (value == open) return open;
  return value ? Open() : Close(false);
}

void TCommunicationInterface::SetConfiguration(const std::string& config) {
  if (InternalSetConfiguration(config))
    DoConfigurationChange();
  else
    DoError("SetConfiguration", {config}, 0);
}

std::int32_t TCommunicationInterface::WriteString(const std::string& data) {
  const std::int32_t sent = InternalWriteString(data);
  DoDataWritten(data);
  return sent;
}

std::string TCommunicationInterface::ReadString() {
  std::string data = InternalReadString();
  DoDataRead(data);
  return data;
}

void TCommunicationInterface::Query(const std::string& request, std::int32_t firstTimeout,
                                    std::int32_t nextTimeout, std::int32_t totalTimeout,
                                    bool clearInputFirst, bool clearOutputFirst,
                                    const TQueryContinue& continueQuery, const std::string& prefix,
                                    std::string& answer) {
  answer.clear();
  DoDataWritten(request);  // reported before anything else, also on a closed channel
  {
    TNodeWriteLock hold(*this);
    if (IsOpen()) {
      if (clearInputFirst) ClearInput();
      if (clearOutputFirst) ClearOutput();
      uThreadUtils::Sleep(1);
      InternalWriteString(request);
      uQueryExchange::CollectAnswer(
          request.size(), {firstTimeout, nextTimeout, totalTimeout, GetTimeFactor()},
          [this] { return GetInputCount(); }, [this] { return InternalReadString(); },
          [&](const std::string& sofar) {
            return continueQuery && continueQuery(prefix + sofar) == 0;
          },
          answer);
    }
  }
  DoDataRead(answer);  // skipped when an exception left the exchange
}

void TCommunicationInterface::Query(const std::string& request, std::int32_t timeout,
                                    const TQueryContinue& continueQuery, std::string& answer) {
  const std::int64_t total = std::int64_t{timeout} * 2;
  Query(request, timeout, 50,
        static_cast<std::int32_t>(
            std::min<std::int64_t>(total, std::numeric_limits<std::int32_t>::max())),
        false, false, continueQuery, "", answer);
}

// ---- notifications

void TCommunicationInterface::Notify(const TCINotifyEvent& handler,
                                     uEventer::TEventerCiNotify& eventer, const char* methodName) {
  try {
    if (handler.IsAssigned()) handler(this);
    eventer.Raise(this);
  } catch (...) {
    DoError(methodName, {}, 0);
  }
}

void TCommunicationInterface::DoOpen() {
  Notify(GetOnOpen(), openEventer_, "DoOpen");
}
void TCommunicationInterface::DoClose() {
  Notify(GetOnClose(), closeEventer_, "DoClose");
}
void TCommunicationInterface::DoDataRcv() {
  Notify(GetOnDataRcv(), dataRcvEventer_, "DoDataRcv");
}

void TCommunicationInterface::DoConfigurationChange() {
  try {
    configurationChangeEventer_.Raise(this);
  } catch (...) {
  }
}

void TCommunicationInterface::DoError(const std::string& methodName,
                                      const std::vector<std::string>& args,
                                      std::int32_t errorCode) {
  const TCINotifyErrorEvent handler = GetOnError();
  if (handler.IsAssigned()) handler(this, methodName, args, errorCode);
}

}  // namespace uci_ICommunicationInterface
