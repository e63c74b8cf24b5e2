#include "providers/uCI_SerialPortInterface.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "ci/uConfigString.h"
#include "ci/uStrUtils.h"
#include "providers/uComPortNames.h"

namespace uCI_SerialPortInterface {

using uSynchronizer::TReadLock;
using uSynchronizer::TWriteLock;

namespace {

constexpr std::array<const char*, 5> kParityNames = {"None", "Even", "Odd", "Mark", "Space"};
constexpr std::array<const char*, 3> kStopBitsNames = {"One", "OneAndHalf", "Two"};

// Error events whose failure reason NoteFailure keeps for.
bool TakesFailure(const std::string& name) {
  static constexpr const char* kNames[] = {"Open",      "SetConfiguration", "SetBaudRate",
                                           "SetParity", "SetStopBits",      "SetDataBits",
                                           "SetDTR",    "SetRTS",           "SetPort"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

const char* BoolText(bool on) {
  return on ? "True" : "False";
}

const char* LineText(bool on) {
  return on ? "-1" : "0";
}

// A value as the configuration string reads it back unchanged.
std::string EscapeValue(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == ';' || c == '(' || c == ')' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace

std::string ParityToName(TSerialParity parity) {
  const auto index = static_cast<std::size_t>(parity);
  return index < kParityNames.size() ? kParityNames[index] : kParityNames[0];
}

bool NameToParity(std::string_view name, TSerialParity& parity) {
  for (std::size_t i = 0; i < kParityNames.size(); ++i) {
    if (uStrUtils::EqualsIgnoreAsciiCase(name, kParityNames[i])) {
      parity = static_cast<TSerialParity>(i);
      return true;
    }
  }
  return false;
}

std::string StopBitsToName(TSerialStopBits stopBits) {
  const auto index = static_cast<std::size_t>(stopBits);
  return index < kStopBitsNames.size() ? kStopBitsNames[index] : kStopBitsNames[0];
}

bool NameToStopBits(std::string_view name, TSerialStopBits& stopBits) {
  const std::string upper = uStrUtils::AsciiUpper(name);
  if (upper == "1" || upper == "ONE")
    stopBits = TSerialStopBits::One;
  else if (upper == "1.5" || upper == "1,5" || upper == "ONEANDHALF")
    stopBits = TSerialStopBits::OneAndHalf;
  else if (upper == "2" || upper == "TWO")
    stopBits = TSerialStopBits::Two;
  else
    return false;
  return true;
}

// ---- TCommunicationSerialInterface

TCommunicationSerialInterface::TCommunicationSerialInterface(const std::string& className)
    : TCommunicationInternalBufferInterface(className) {}

TCommunicationSerialInterface::~TCommunicationSerialInterface() = default;

uInterfaces::HRESULT TCommunicationSerialInterface::QueryInterface(const uInterfaces::TGUID& iid,
                                                                   void** object) {
  if (iid == ICommunicationSerialInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationSerialInterface>(this, object);
  return TCommunicationInternalBufferInterface::QueryInterface(iid, object);
}

void TCommunicationSerialInterface::NoteFailure(const std::string& reason, int code) {
  std::lock_guard lock(fieldsMutex_);
  failure_ = reason;
  failureCode_ = code;
}

void TCommunicationSerialInterface::DoError(const std::string& name,
                                            const std::vector<std::string>& args,
                                            std::int32_t code) {
  std::string failure;
  std::int32_t failureCode = 0;
  if (TakesFailure(name)) {
    std::lock_guard lock(fieldsMutex_);
    failure.swap(failure_);
    failureCode = std::exchange(failureCode_, 0);
  }
  if (failure.empty()) {
    TCommunicationInternalBufferInterface::DoError(name, args, code);
    return;
  }
  std::vector<std::string> withReason = args;
  withReason.push_back(failure);
  TCommunicationInternalBufferInterface::DoError(name, withReason, code != 0 ? code : failureCode);
}

template <class Apply>
void TCommunicationSerialInterface::ApplySetting(const char* name, const std::string& key,
                                                 const std::string& value, Apply apply) {
  TWriteLock hold(ProviderLock());
  NoteFailure({}, 0);
  if (apply())
    DoConfigurationChange(key + "=" + value);
  else
    DoError(name, {value}, 0);
}

void TCommunicationSerialInterface::SetBaudRate(int rate) {
  ApplySetting("SetBaudRate", "baudrate", std::to_string(rate),
               [&] { return InternalSetBaudRate(rate); });
}

void TCommunicationSerialInterface::SetParity(TSerialParity parity) {
  ApplySetting("SetParity", "parity", ParityToName(parity),
               [&] { return InternalSetParity(parity); });
}

void TCommunicationSerialInterface::SetStopBits(TSerialStopBits stopBits) {
  ApplySetting("SetStopBits", "stopbits", StopBitsToName(stopBits),
               [&] { return InternalSetStopBits(stopBits); });
}

void TCommunicationSerialInterface::SetDataBits(std::uint8_t bits) {
  ApplySetting("SetDataBits", "databits", std::to_string(bits),
               [&] { return InternalSetDataBits(bits); });
}

void TCommunicationSerialInterface::SetDTR(bool on) {
  ApplySetting("SetDTR", "dtr", BoolText(on), [&] { return InternalSetDTR(on); });
}

void TCommunicationSerialInterface::SetRTS(bool on) {
  ApplySetting("SetRTS", "rts", BoolText(on), [&] { return InternalSetRTS(on); });
}

TSignalChangeEvent TCommunicationSerialInterface::GetOnSignalChange() {
  std::lock_guard lock(fieldsMutex_);
  return onSignalChange_;
}

void TCommunicationSerialInterface::SetOnSignalChange(TSignalChangeEvent handler) {
  std::lock_guard lock(fieldsMutex_);
  onSignalChange_ = handler;
}

void TCommunicationSerialInterface::DoSignalChange(TSerialSignal signal, bool state) {
  const TSignalChangeEvent handler = GetOnSignalChange();
  if (!handler.IsAssigned()) return;
  try {
    handler(static_cast<ICommunicationSerialInterface*>(this), signal, state);
  } catch (const std::exception&) {
    DoError("DoSignalChange", {}, 0);
  }
}

bool TCommunicationSerialInterface::InternalSetConfiguration(const std::string& config) {
  TWriteLock hold(ProviderLock());
  std::int32_t number = 0;
  std::string text;
  bool on = false;
  if (uConfigString::GetConfigInteger(config, "baudrate", number)) InternalSetBaudRate(number);
  if (uConfigString::GetConfigInteger(config, "databits", number))
    InternalSetDataBits(static_cast<std::uint8_t>(number & 0xFF));
  TSerialParity parity{};
  if (uConfigString::GetConfigString(config, "parity", text) && NameToParity(text, parity))
    InternalSetParity(parity);
  TSerialStopBits stopBits{};
  if (uConfigString::GetConfigString(config, "stopbits", text) && NameToStopBits(text, stopBits))
    InternalSetStopBits(stopBits);
  if (uConfigString::GetConfigBoolean(config, "dtr", on)) InternalSetDTR(on);
  if (uConfigString::GetConfigBoolean(config, "rts", on)) InternalSetRTS(on);
  NoteFailure({}, 0);  // a refused value is kept out without a report
  return true;
}

std::string TCommunicationSerialInterface::GetConfiguration() {
  TReadLock hold(ProviderLock());
  return TCommunicationInternalBufferInterface::GetConfiguration() +
         ";baudrate=" + std::to_string(GetBaudRate()) +
         ";databits=" + std::to_string(GetDataBits()) +
         ";stopbits=" + StopBitsToName(GetStopBits()) + ";parity=" + ParityToName(GetParity()) +
         ";dtr=" + LineText(GetDTR()) + ";rts=" + LineText(GetRTS());
}

// ---- TCommunicationSerialPortInterface

using AfComPort::TAfLine;

TCommunicationSerialPortInterface::TCommunicationSerialPortInterface()
    : TCommunicationSerialInterface("TCommunicationSerialPortInterface"),
      engine_(std::make_unique<AfComPort::TAfComPort>()) {
  engine_->SetUserBaudRate(9600);
  engine_->SetOnNonSyncEvent({this, &TCommunicationSerialPortInterface::PortEvent});
  engine_->SetOutBufSize(16384);
  engine_->SetInBufSize(16384);
}

TCommunicationSerialPortInterface::~TCommunicationSerialPortInterface() {
  if (IsOpen()) InternalClose(true);  // directly: no OnClose
  engine_->SetOnNonSyncEvent({});
  engine_->ClosePort();  // joins what a close on the event thread left, before engine_ goes
  engine_.reset();
}

uInterfaces::HRESULT TCommunicationSerialPortInterface::QueryInterface(
    const uInterfaces::TGUID& iid, void** object) {
  if (iid == ICommunicationSerialPortInterface::IID)
    return uMyInterfacedObject::AnswerInterface<ICommunicationSerialPortInterface>(this, object);
  return TCommunicationSerialInterface::QueryInterface(iid, object);
}

template <class Set>
bool TCommunicationSerialPortInterface::EngineCall(Set set) {
  try {
    set();
    return true;
  } catch (const AfComPort::EAfComPortError& e) {
    NoteFailure(e.what(), e.Code());
  } catch (const std::exception& e) {
    NoteFailure(e.what(), 0);
  }
  return false;
}

bool TCommunicationSerialPortInterface::IsOpen() {
  TWriteLock hold(ProviderLock());
  return engine_->IsPortOpen();
}

std::string TCommunicationSerialPortInterface::PortValue() {
  const std::string name = engine_->GetPortName();
  if (uComPortNames::IsDevicePath(name)) return EscapeValue(name);
  return std::to_string(engine_->GetComNumber());
}

std::string TCommunicationSerialPortInterface::GetConfiguration() {
  TReadLock hold(ProviderLock());
  return TCommunicationSerialInterface::GetConfiguration() + ";comport=" + PortValue();
}

std::string TCommunicationSerialPortInterface::GetAddress() {
  TReadLock hold(ProviderLock());
  return TCommunicationInterface::GetAddress() + ";comport=" + PortValue();
}

void TCommunicationSerialPortInterface::PresenceCheck(const char* operation) {
  if (!engine_->IsPortOpen()) return;
  int err = 0;
  try {
    errno = 0;
    engine_->PendingInputCount();
    err = errno;
  } catch (const std::exception&) {
    err = EIO;
  }
  if (!uSerialTty::DeviceGone(err)) return;
  {
    std::lock_guard lock(portLock_);
    if (!engine_->IsPortOpen()) return;  // another check closed it first
    engine_->ClosePort();
  }
  DoError(operation,
          {engine_->GetPortName() + " (" + engine_->DevicePath() + "): the device is gone (" +
           uSerialTty::ErrnoText(err) + "); the port was closed"},
          err);
}

std::int32_t TCommunicationSerialPortInterface::GetInputCount() {
  TReadLock hold(ProviderLock());
  const std::int32_t count = TCommunicationSerialInterface::GetInputCount();
  PresenceCheck("GetInputCount");
  return count;
}

void TCommunicationSerialPortInterface::ClearInput() {
  TCommunicationSerialInterface::ClearInput();
}

void TCommunicationSerialPortInterface::ClearOutput() {
  TWriteLock hold(ProviderLock());
  engine_->PurgeTransmit();
}

bool TCommunicationSerialPortInterface::InternalOpen() {
  NoteFailure({}, 0);
  if (!EngineCall([&] { engine_->OpenPort(); })) return false;
  return engine_->IsPortOpen();
}

bool TCommunicationSerialPortInterface::InternalClose(bool /*force*/) {
  {
    std::lock_guard lock(portLock_);
    engine_->ClosePort();
  }
  return !engine_->IsPortOpen();
}

std::string TCommunicationSerialPortInterface::InternalReadString() {
  std::string text = TCommunicationSerialInterface::InternalReadString();
  PresenceCheck("ReadString");
  return text;
}

std::int32_t TCommunicationSerialPortInterface::InternalWriteString(const std::string& text) {
  if (text.empty()) return 0;
  engine_->QueueWrite(text);  // its failure leaves WriteString as an exception
  return static_cast<std::int32_t>(text.size());
}

bool TCommunicationSerialPortInterface::InternalSetConfiguration(const std::string& config) {
  if (!TCommunicationSerialInterface::InternalSetConfiguration(config)) return false;
  TWriteLock hold(ProviderLock());
  std::int32_t number = 0;
  std::string name;
  if (uConfigString::GetConfigInteger(config, "comport", number))
    return EngineCall([&] { engine_->SetComNumber(static_cast<std::uint16_t>(number & 0xFFFF)); });
  // A port name instead of a number: "COM3", "/dev/ttyUSB0".
  if (uConfigString::GetConfigString(config, "comport", name) &&
      (uComPortNames::ComNumber(name) != 0 || uComPortNames::IsDevicePath(name)))
    return EngineCall([&] { engine_->SetPortName(name); });
  return true;
}

// ---- line settings

bool TCommunicationSerialPortInterface::InternalSetBaudRate(int rate) {
  if (rate <= 0) {
    NoteFailure("a baud rate must be above 0", 0);
    return false;
  }
  return EngineCall([&] {
    engine_->SetBaudRate(AfComPort::TAfBaudrate::brUser);
    engine_->SetUserBaudRate(static_cast<std::uint32_t>(rate));
  });
}

bool TCommunicationSerialPortInterface::InternalSetParity(TSerialParity parity) {
  using AfComPort::TAfParity;
  TAfParity value = TAfParity::paNone;
  switch (parity) {
    case TSerialParity::Even:
      value = TAfParity::paEven;
      break;
    case TSerialParity::Odd:
      value = TAfParity::paOdd;
      break;
    case TSerialParity::Mark:
      value = TAfParity::paMark;
      break;
    case TSerialParity::Space:
      value = TAfParity::paSpace;
      break;
    default:
      break;
  }
  return EngineCall([&] { engine_->SetParity(value); });
}

bool TCommunicationSerialPortInterface::InternalSetStopBits(TSerialStopBits stopBits) {
  if (static_cast<unsigned>(stopBits) > static_cast<unsigned>(TSerialStopBits::Two)) {
    NoteFailure("no such number of stop bits", 0);
    return false;
  }
  return EngineCall([&] { engine_->SetStopbits(static_cast<AfComPort::TAfStopbits>(stopBits)); });
}

bool TCommunicationSerialPortInterface::InternalSetDataBits(std::uint8_t bits) {
  if (bits < 4 || bits > 8) {
    NoteFailure(std::to_string(bits) + " data bits are not possible (4 to 8)", 0);
    return false;
  }
  return EngineCall([&] { engine_->SetDatabits(static_cast<AfComPort::TAfDatabits>(bits - 4)); });
}

bool TCommunicationSerialPortInterface::InternalSetDTR(bool on) {
  return EngineCall([&] { engine_->SetDTR(on); });
}

bool TCommunicationSerialPortInterface::InternalSetRTS(bool on) {
  return EngineCall([&] { engine_->SetRTS(on); });
}

bool TCommunicationSerialPortInterface::InternalSetPort(int number) {
  return EngineCall([&] { engine_->SetComNumber(static_cast<std::uint16_t>(number)); });
}

int TCommunicationSerialPortInterface::GetBaudRate() {
  TReadLock hold(ProviderLock());
  const AfComPort::TAfBaudrate rate = engine_->GetBaudRate();
  return static_cast<int>(rate == AfComPort::TAfBaudrate::brUser ? engine_->GetUserBaudRate()
                                                                 : BaudrateValue(rate));
}

TSerialParity TCommunicationSerialPortInterface::GetParity() {
  TReadLock hold(ProviderLock());
  switch (engine_->GetParity()) {
    case AfComPort::TAfParity::paOdd:
      return TSerialParity::Odd;
    case AfComPort::TAfParity::paEven:
      return TSerialParity::Even;
    case AfComPort::TAfParity::paMark:
      return TSerialParity::Mark;
    case AfComPort::TAfParity::paSpace:
      return TSerialParity::Space;
    default:
      return TSerialParity::None;
  }
}

TSerialStopBits TCommunicationSerialPortInterface::GetStopBits() {
  TReadLock hold(ProviderLock());
  return static_cast<TSerialStopBits>(engine_->GetStopbits());
}

std::uint8_t TCommunicationSerialPortInterface::GetDataBits() {
  TReadLock hold(ProviderLock());
  return static_cast<std::uint8_t>(static_cast<int>(engine_->GetDatabits()) + 4);
}

bool TCommunicationSerialPortInterface::GetDTR() {
  TReadLock hold(ProviderLock());
  return engine_->GetDTR();
}

bool TCommunicationSerialPortInterface::GetRTS() {
  TReadLock hold(ProviderLock());
  return engine_->GetRTS();
}

bool TCommunicationSerialPortInterface::GetCTS() {
  TWriteLock hold(ProviderLock());
  return engine_->LineState(TAfLine::CTS);
}

bool TCommunicationSerialPortInterface::GetDSR() {
  TWriteLock hold(ProviderLock());
  return engine_->LineState(TAfLine::DSR);
}

bool TCommunicationSerialPortInterface::GetRING() {
  TWriteLock hold(ProviderLock());
  return engine_->LineState(TAfLine::RING);
}

bool TCommunicationSerialPortInterface::GetRLSD() {
  TWriteLock hold(ProviderLock());
  return engine_->LineState(TAfLine::RLSD);
}

int TCommunicationSerialPortInterface::GetInBufSize() {
  TReadLock hold(ProviderLock());
  return engine_->GetInBufSize();
}

void TCommunicationSerialPortInterface::SetInBufSize(int size) {
  TWriteLock hold(ProviderLock());
  engine_->SetInBufSize(size);
}

int TCommunicationSerialPortInterface::GetOutBufSize() {
  TReadLock hold(ProviderLock());
  return engine_->GetOutBufSize();
}

void TCommunicationSerialPortInterface::SetOutBufSize(int size) {
  TWriteLock hold(ProviderLock());
  engine_->SetOutBufSize(size);
}

std::uint16_t TCommunicationSerialPortInterface::GetPort() {
  TReadLock hold(ProviderLock());
  return engine_->GetComNumber();
}

void TCommunicationSerialPortInterface::SetPort(std::uint16_t number) {
  ApplySetting("SetPort", "comport", std::to_string(number),
               [&] { return InternalSetPort(number); });
}

// ---- the engine's events, on its event thread

void TCommunicationSerialPortInterface::LineNotice(AfComPort::TAfComPort* sender,
                                                   TSerialSignal signal, TAfLine line,
                                                   const char* key) {
  if (sender != engine_.get()) return;
  const bool state = engine_->LineState(line);
  DoSignalChange(signal, state);
  DoConfigurationChange(std::string(key) + "=" + LineText(state));
}

void TCommunicationSerialPortInterface::PortEvent(AfComPort::TAfComPort* sender, int kind,
                                                  std::uint32_t flags) {
  if (kind == AfComPort::kKindLineEvents) {
    if (flags & AfComPort::EV_CTS) LineNotice(sender, TSerialSignal::CTS, TAfLine::CTS, "cts");
    if (flags & AfComPort::EV_DSR) LineNotice(sender, TSerialSignal::DSR, TAfLine::DSR, "dsr");
    if (flags & AfComPort::EV_RING) LineNotice(sender, TSerialSignal::RING, TAfLine::RING, "ring");
    if (flags & AfComPort::EV_RLSD) LineNotice(sender, TSerialSignal::RLSD, TAfLine::RLSD, "rlsd");
  }
  // Never waits: a close holds the lock while it waits for this very thread.
  std::string text;
  if (portLock_.try_lock()) {
    try {
      text = engine_->ReadPending();
    } catch (const std::exception&) {
      text.clear();
    }
    portLock_.unlock();
  }
  if (!text.empty()) DoReadString(text);
}

}  // namespace uCI_SerialPortInterface
