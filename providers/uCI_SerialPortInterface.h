#pragma once
// Serial providers. TCommunicationSerialInterface is the base every serial provider shares
// (this COM port provider and the FTDI one): the line settings as configuration keys, their
// names and change notifications. TCommunicationSerialPortInterface, "SERIAL_PORT", carries
// them out on a COM port through the AfComPort engine and turns the engine's events into
// received text and line-change notifications. Text passes unchanged both ways.
//
// Keys, read in this order: "baudrate", "databits", "parity" (None, Even, Odd, Mark, Space in
// any letter case), "stopbits" ("1", "1.5", "1,5", "2", One, OneAndHalf, Two), "dtr", "rts",
// and for the COM port "comport": a number n for COMn, or a port name ("COM3",
// "/dev/ttyUSB0", see uComPortNames). A value that does not convert is ignored; one the
// device refuses is kept out without an error event (only the setters report).
//
// Failures carry their reason: the error events of "Open", "SetConfiguration" and of the
// setters add the engine's message (naming the port, the device and the fix) as an argument,
// with the errno as code.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ci/uMethod.h"
#include "providers/AfComPort.h"
#include "providers/uCI_InternalBufferCommunicationInterface.h"

namespace uCI_SerialPortInterface {

enum class TSerialParity { None = 0, Even = 1, Odd = 2, Mark = 3, Space = 4 };
enum class TSerialStopBits { One = 0, OneAndHalf = 1, Two = 2 };
enum class TSerialSignal { RTS = 0, CTS = 1, DTR = 2, DSR = 3, RING = 4, RLSD = 5 };

// "None", "Even", ...; any other value is written "None".
std::string ParityToName(TSerialParity parity);
// Upper-cases the text and compares it whole; false (parity untouched) for anything else.
bool NameToParity(std::string_view name, TSerialParity& parity);
std::string StopBitsToName(TSerialStopBits stopBits);
bool NameToStopBits(std::string_view name, TSerialStopBits& stopBits);

class ICommunicationSerialInterface;
using TSignalChangeEvent =
    uMethod::TMethod<void(ICommunicationSerialInterface* sender, TSerialSignal signal, bool state)>;

class ICommunicationSerialInterface
    : public virtual uCI_CommunicationInterfaceUtils::ICommunicationInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{3824C13F-C802-487E-A25D-51EDE0351876}"};

  virtual int GetBaudRate() = 0;
  virtual void SetBaudRate(int rate) = 0;
  virtual bool GetRTS() = 0;
  virtual void SetRTS(bool on) = 0;
  virtual bool GetDTR() = 0;
  virtual void SetDTR(bool on) = 0;
  virtual bool GetCTS() = 0;
  virtual bool GetDSR() = 0;
  virtual bool GetRING() = 0;
  virtual bool GetRLSD() = 0;
  virtual TSerialStopBits GetStopBits() = 0;
  virtual void SetStopBits(TSerialStopBits stopBits) = 0;
  virtual TSerialParity GetParity() = 0;
  virtual void SetParity(TSerialParity parity) = 0;
  virtual std::uint8_t GetDataBits() = 0;
  virtual void SetDataBits(std::uint8_t bits) = 0;
  virtual int GetOutBufSize() = 0;
  virtual void SetOutBufSize(int size) = 0;
  virtual int GetInBufSize() = 0;
  virtual void SetInBufSize(int size) = 0;
  virtual TSignalChangeEvent GetOnSignalChange() = 0;
  virtual void SetOnSignalChange(TSignalChangeEvent handler) = 0;

 protected:
  ~ICommunicationSerialInterface() = default;
};

class TCommunicationSerialInterface
    : public uCI_InternalBufferCommunicationInterface::TCommunicationInternalBufferInterface,
      public virtual ICommunicationSerialInterface {
 public:
  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // Provider lock exclusive; the InternalSet operation, then a configuration change
  // ("baudrate=9600", "dtr=True", ...) or an error event named after the setter.
  void SetBaudRate(int rate) override;
  void SetParity(TSerialParity parity) override;
  void SetStopBits(TSerialStopBits stopBits) override;
  void SetDataBits(std::uint8_t bits) override;
  void SetDTR(bool on) override;
  void SetRTS(bool on) override;
  TSignalChangeEvent GetOnSignalChange() override;
  void SetOnSignalChange(TSignalChangeEvent handler) override;
  // "provider=...;baudrate=...;databits=...;stopbits=...;parity=...;dtr=-1;rts=-1".
  std::string GetConfiguration() override;

 protected:
  explicit TCommunicationSerialInterface(const std::string& className);
  ~TCommunicationSerialInterface() override;

  // Apply a value to the device; false when it refuses (NoteFailure says why). The callers
  // hold the provider lock exclusively.
  virtual bool InternalSetBaudRate(int rate) = 0;
  virtual bool InternalSetParity(TSerialParity parity) = 0;
  virtual bool InternalSetStopBits(TSerialStopBits stopBits) = 0;
  virtual bool InternalSetDataBits(std::uint8_t bits) = 0;
  virtual bool InternalSetDTR(bool on) = 0;
  virtual bool InternalSetRTS(bool on) = 0;
  // Calls OnSignalChange on the calling thread.
  virtual void DoSignalChange(TSerialSignal signal, bool state);
  bool InternalSetConfiguration(const std::string& config) override;
  // The next "Open", "SetConfiguration" or setter error event carries reason and code.
  void NoteFailure(const std::string& reason, int code);
  void DoError(const std::string& name, const std::vector<std::string>& args,
               std::int32_t code) override;
  // The setters' pattern: apply, then notify or report.
  template <class Apply>
  void ApplySetting(const char* name, const std::string& key, const std::string& value,
                    Apply apply);

 private:
  // OnSignalChange is set by owners and read by the event thread; the failure reason is
  // noted and taken on different threads too.
  std::mutex fieldsMutex_;
  TSignalChangeEvent onSignalChange_;
  std::string failure_;
  std::int32_t failureCode_ = 0;
};

class ICommunicationSerialPortInterface : public virtual ICommunicationSerialInterface {
 public:
  static constexpr uInterfaces::TGUID IID{"{D4014746-7537-4E18-BC92-503DAD5B94B9}"};
  virtual void SetPort(std::uint16_t number) = 0;
  virtual std::uint16_t GetPort() = 0;

 protected:
  ~ICommunicationSerialPortInterface() = default;
};

class TCommunicationSerialPortInterface final : public TCommunicationSerialInterface,
                                                public ICommunicationSerialPortInterface {
 public:
  TCommunicationSerialPortInterface();
  ~TCommunicationSerialPortInterface() override;

  uInterfaces::HRESULT QueryInterface(const uInterfaces::TGUID& iid, void** object) override;

  // Provider lock exclusive.
  bool IsOpen() override;
  std::string GetProviderName() override { return "SERIAL_PORT"; }
  // The serial base's text and ";comport=" with the COM number, or the port name when a
  // device path was given.
  std::string GetConfiguration() override;
  // "provider=SERIAL_PORT;comport=...".
  std::string GetAddress() override;
  // The receive buffer's count, then the presence check.
  std::int32_t GetInputCount() override;
  // The receive buffer only; what the engine still holds stays.
  void ClearInput() override;
  void ClearOutput() override;

  int GetBaudRate() override;
  TSerialParity GetParity() override;
  TSerialStopBits GetStopBits() override;
  std::uint8_t GetDataBits() override;
  bool GetDTR() override;
  bool GetRTS() override;
  // Provider lock exclusive; the present state of the input line.
  bool GetCTS() override;
  bool GetDSR() override;
  bool GetRING() override;
  bool GetRLSD() override;
  int GetInBufSize() override;
  void SetInBufSize(int size) override;
  int GetOutBufSize() override;
  void SetOutBufSize(int size) override;
  std::uint16_t GetPort() override;
  void SetPort(std::uint16_t number) override;

  // The engine, for what the provider interface does not reach (tests give it fake modem
  // lines before opening).
  AfComPort::TAfComPort& ComPort() noexcept { return *engine_; }

 protected:
  bool InternalOpen() override;
  bool InternalClose(bool force) override;
  std::string InternalReadString() override;
  std::int32_t InternalWriteString(const std::string& text) override;
  bool InternalSetConfiguration(const std::string& config) override;
  bool InternalSetBaudRate(int rate) override;
  bool InternalSetParity(TSerialParity parity) override;
  bool InternalSetStopBits(TSerialStopBits stopBits) override;
  bool InternalSetDataBits(std::uint8_t bits) override;
  bool InternalSetDTR(bool on) override;
  bool InternalSetRTS(bool on) override;
  virtual bool InternalSetPort(int number);

 private:
  // Runs set on the engine; false, with the reason noted, when it raises.
  template <class Set>
  bool EngineCall(Set set);
  void PortEvent(AfComPort::TAfComPort* sender, int kind, std::uint32_t flags);
  void LineNotice(AfComPort::TAfComPort* sender, TSerialSignal signal, AfComPort::TAfLine line,
                  const char* key);
  // A gone device closes the port silently; the error event says why.
  void PresenceCheck(const char* operation);
  std::string PortValue();

  std::unique_ptr<AfComPort::TAfComPort> engine_;
  std::recursive_mutex portLock_;  // held around ClosePort; PortEvent only tries it
};

}  // namespace uCI_SerialPortInterface
