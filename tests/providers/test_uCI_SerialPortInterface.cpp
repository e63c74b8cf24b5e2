// The SERIAL_PORT provider: names of the line settings, configuration keys, setters and their
// notifications, line changes, the presence check, over pseudo-terminals.
#include "providers/uCI_SerialPortInterface.h"

#include <gtest/gtest.h>

#include "ci/uMyInterfacedObject.h"
#include "providers/uComPortNames.h"
#include "support/SerialPty.h"

using testsupport::WaitUntil;
using uCI_CommunicationInterfaceUtils::ICommunicationInterface;
using uCI_SerialPortInterface::ICommunicationSerialInterface;
using uCI_SerialPortInterface::TCommunicationSerialPortInterface;
using uCI_SerialPortInterface::TSerialParity;
using uCI_SerialPortInterface::TSerialSignal;
using uCI_SerialPortInterface::TSerialStopBits;
using uInterfaces::TInterfacePtr;

TEST(SerialNames, ParityNames) {
  struct TCase {
    const char* text;
    bool accepted;
    TSerialParity parity;
  };
  const TCase cases[] = {
      {"even", true, TSerialParity::Even}, {"Even", true, TSerialParity::Even},
      {"EVEN", true, TSerialParity::Even}, {"odd", true, TSerialParity::Odd},
      {"Mark", true, TSerialParity::Mark}, {"space", true, TSerialParity::Space},
      {"NONE", true, TSerialParity::None}, {"E", false, TSerialParity::Space},
      {"2", false, TSerialParity::Space},  {" even", false, TSerialParity::Space},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    TSerialParity parity = TSerialParity::Space;
    EXPECT_EQ(uCI_SerialPortInterface::NameToParity(c.text, parity), c.accepted);
    EXPECT_EQ(parity, c.parity);
  }
  EXPECT_EQ(uCI_SerialPortInterface::ParityToName(TSerialParity::Odd), "Odd");
  EXPECT_EQ(uCI_SerialPortInterface::ParityToName(static_cast<TSerialParity>(9)), "None");
}

TEST(SerialNames, StopBitsNames) {
  struct TCase {
    const char* text;
    bool accepted;
    TSerialStopBits stopBits;
  };
  const TCase cases[] = {
      {"1", true, TSerialStopBits::One},
      {"one", true, TSerialStopBits::One},
      {"1.5", true, TSerialStopBits::OneAndHalf},
      {"1,5", true, TSerialStopBits::OneAndHalf},
      {"oneandhalf", true, TSerialStopBits::OneAndHalf},
      {"2", true, TSerialStopBits::Two},
      {"Two", true, TSerialStopBits::Two},
      {"3", false, TSerialStopBits::Two},
      {"1.50", false, TSerialStopBits::Two},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    TSerialStopBits stopBits = TSerialStopBits::Two;
    EXPECT_EQ(uCI_SerialPortInterface::NameToStopBits(c.text, stopBits), c.accepted);
    EXPECT_EQ(stopBits, c.stopBits);
  }
  EXPECT_EQ(uCI_SerialPortInterface::StopBitsToName(TSerialStopBits::OneAndHalf), "OneAndHalf");
  EXPECT_EQ(uCI_SerialPortInterface::StopBitsToName(static_cast<TSerialStopBits>(7)), "One");
}

namespace {

// What the provider notifies, in order, and on which threads.
struct TRecorder {
  std::mutex mutex;
  std::vector<std::string> notes;  // "config cts=-1", "signal CTS 1", "read abc", "error ..."
  std::vector<std::vector<std::string>> errorArgs;
  std::vector<std::int32_t> errorCodes;
  std::atomic<int> closes{0};
  std::function<void()> onFirstSignal;

  void Note(std::string note) {
    std::lock_guard lock(mutex);
    notes.push_back(std::move(note));
  }
  void OnConfig(ICommunicationInterface*, const std::string& text) { Note("config " + text); }
  void OnRead(ICommunicationInterface*, const std::string& text) { Note("read " + text); }
  void OnClose(ICommunicationInterface*) { ++closes; }
  void OnError(ICommunicationInterface*, const std::string& name,
               const std::vector<std::string>& args, std::int32_t code) {
    std::lock_guard lock(mutex);
    notes.push_back("error " + name);
    errorArgs.push_back(args);
    errorCodes.push_back(code);
  }
  void OnSignal(ICommunicationSerialInterface*, TSerialSignal signal, bool state) {
    static constexpr const char* kNames[] = {"RTS", "CTS", "DTR", "DSR", "RING", "RLSD"};
    if (onFirstSignal) std::exchange(onFirstSignal, {})();
    Note(std::string("signal ") + kNames[static_cast<int>(signal)] + (state ? " 1" : " 0"));
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(mutex);
    return notes;
  }
  bool Has(const std::string& note) {
    const auto all = Notes();
    return std::find(all.begin(), all.end(), note) != all.end();
  }
  void Clear() {
    std::lock_guard lock(mutex);
    notes.clear();
    errorArgs.clear();
    errorCodes.clear();
  }
};

class SerialProviderTest : public testing::Test {
 protected:
  void SetUp() override {
    provider_ = uMyInterfacedObject::Create<TCommunicationSerialPortInterface>();
    // Direct slots (no queue): the notes come in the order they were raised.
    provider_->GetOnConfigurationChange().Connect({&recorder_, &TRecorder::OnConfig}, nullptr,
                                                  nullptr);
    provider_->GetOnReadString().Connect({&recorder_, &TRecorder::OnRead}, nullptr, nullptr);
    provider_->GetOnClose().Connect({&recorder_, &TRecorder::OnClose}, nullptr, nullptr);
    provider_->GetOnError().Connect({&recorder_, &TRecorder::OnError}, nullptr, nullptr);
    provider_->SetOnSignalChange({&recorder_, &TRecorder::OnSignal});
  }
  void TearDown() override {
    if (provider_) provider_->Close(false);
  }
  void Configure(const std::string& keys) {
    provider_->SetConfiguration("provider=SERIAL_PORT;comport=" + pty_.SlavePath() + keys);
  }

  testsupport::TPtyPair pty_;
  TRecorder recorder_;
  TInterfacePtr<TCommunicationSerialPortInterface> provider_;
};

}  // namespace

TEST_F(SerialProviderTest, ANewProvidersConfiguration) {
  EXPECT_EQ(provider_->GetConfiguration(),
            "provider=SERIAL_PORT;baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;"
            "rts=-1;comport=0");
  EXPECT_EQ(provider_->GetAddress(), "provider=SERIAL_PORT;comport=0");
  EXPECT_EQ(provider_->GetOutBufSize(), 16384);
  EXPECT_EQ(provider_->GetInBufSize(), 16384);
  TInterfacePtr<uCI_SerialPortInterface::ICommunicationSerialPortInterface> port;
  EXPECT_TRUE(uInterfaces::Supports(provider_.Get(), port));
  TInterfacePtr<ICommunicationSerialInterface> serial;
  EXPECT_TRUE(uInterfaces::Supports(provider_.Get(), serial));
}

TEST_F(SerialProviderTest, ConfigurationKeysAreReadAndWrittenBack) {
  provider_->SetConfiguration(
      "provider=SERIAL_PORT;baudrate=19200;databits=7;parity=even;stopbits=1,5;dtr=0;"
      "rts=False;comport=3");
  EXPECT_EQ(provider_->GetConfiguration(),
            "provider=SERIAL_PORT;baudrate=19200;databits=7;stopbits=OneAndHalf;parity=Even;"
            "dtr=0;rts=0;comport=3");
  // Values that do not convert leave the settings as they were.
  provider_->SetConfiguration("provider=SERIAL_PORT;baudrate=fast;parity=E;stopbits=3;dtr=maybe");
  EXPECT_EQ(provider_->GetConfiguration(),
            "provider=SERIAL_PORT;baudrate=19200;databits=7;stopbits=OneAndHalf;parity=Even;"
            "dtr=0;rts=0;comport=3");
  EXPECT_EQ(provider_->GetPort(), 3);
}

TEST_F(SerialProviderTest, DtrAndRtsTakeBooleanTexts) {
  struct TCase {
    const char* text;
    bool on;
  };
  const TCase cases[] = {{"0", false}, {"False", false}, {"-1", true}, {"1", true}, {"true", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    provider_->SetConfiguration(std::string("provider=SERIAL_PORT;dtr=") + (c.on ? "0" : "-1"));
    provider_->SetConfiguration(std::string("provider=SERIAL_PORT;dtr=") + c.text);
    EXPECT_EQ(provider_->GetDTR(), c.on);
  }
}

TEST_F(SerialProviderTest, SettersNotifyTheirChange) {
  provider_->SetDTR(false);
  provider_->SetRTS(true);
  provider_->SetBaudRate(115200);
  provider_->SetParity(TSerialParity::Odd);
  provider_->SetStopBits(TSerialStopBits::Two);
  provider_->SetDataBits(7);
  provider_->SetPort(12);
  EXPECT_EQ(recorder_.Notes(), (std::vector<std::string>{
                                   "config dtr=False", "config rts=True", "config baudrate=115200",
                                   "config parity=Odd", "config stopbits=Two", "config databits=7",
                                   "config comport=12"}));
  EXPECT_EQ(provider_->GetConfiguration(),
            "provider=SERIAL_PORT;baudrate=115200;databits=7;stopbits=Two;parity=Odd;dtr=0;"
            "rts=-1;comport=12");
}

TEST_F(SerialProviderTest, ARefusedSettingReportsItsReasonAndTheLineKeepsItsSettings) {
  Configure("");
  ASSERT_TRUE(provider_->Open());
  recorder_.Clear();
  provider_->SetStopBits(TSerialStopBits::OneAndHalf);  // not with 8 data bits
  provider_->SetBaudRate(0);
  provider_->SetDataBits(9);
  ASSERT_EQ(recorder_.Notes(), (std::vector<std::string>{"error SetStopBits", "error SetBaudRate",
                                                         "error SetDataBits"}));
  EXPECT_EQ(recorder_.errorArgs[0],
            (std::vector<std::string>{"OneAndHalf", "Error setting parameters from DCB (" +
                                                        pty_.SlavePath() +
                                                        "): 1.5 stop bits are possible only "
                                                        "with 5 data bits"}));
  EXPECT_EQ(recorder_.errorArgs[1][0], "0");
  EXPECT_EQ(recorder_.errorArgs[2][0], "9");
  EXPECT_EQ(provider_->GetStopBits(), TSerialStopBits::One);
  EXPECT_EQ(provider_->GetBaudRate(), 9600);
  EXPECT_EQ(testsupport::OutputSpeed(pty_.Slave()), 9600u);
  // Through a configuration string a refused value is kept out silently.
  recorder_.Clear();
  Configure(";stopbits=1.5;baudrate=57600");
  EXPECT_EQ(recorder_.Notes().size(), 1u);  // the configuration change, no error
  EXPECT_EQ(testsupport::OutputSpeed(pty_.Slave()), 57600u);
  EXPECT_EQ(provider_->GetStopBits(), TSerialStopBits::One);
}

TEST_F(SerialProviderTest, OpenWithoutAPortFailsAndSaysWhy) {
  EXPECT_FALSE(provider_->Open());
  ASSERT_EQ(recorder_.Notes(), (std::vector<std::string>{"error Open"}));
  EXPECT_EQ(recorder_.errorArgs[0], (std::vector<std::string>{"Invalid port number (COM0)"}));
  EXPECT_EQ(recorder_.errorCodes[0], ENOENT);
  EXPECT_FALSE(provider_->IsOpen());
}

TEST_F(SerialProviderTest, ANonexistentComPortFailsWithTheDeviceInTheMessage) {
  testsupport::TTempFolder map;
  testsupport::TScopedEnv env(uComPortNames::kPortMapVariable, map.Path().string());
  provider_->SetConfiguration("provider=SERIAL_PORT;comport=200");
  EXPECT_FALSE(provider_->Open());
  ASSERT_EQ(recorder_.errorArgs.size(), 1u);
  EXPECT_EQ(recorder_.errorArgs[0][0],
            "Invalid port number (COM200): /dev/ttyS199: no such device");
}

TEST_F(SerialProviderTest, TextGoesThroughUnchangedBothWays) {
  Configure(";baudrate=115200");
  ASSERT_TRUE(provider_->Open());
  EXPECT_EQ(provider_->GetConfiguration(),
            "provider=SERIAL_PORT;baudrate=115200;databits=8;stopbits=One;parity=None;dtr=-1;"
            "rts=-1;comport=" +
                pty_.SlavePath());
  std::string bytes;
  for (int b = 255; b >= 0; --b) bytes += static_cast<char>(b);
  EXPECT_EQ(provider_->WriteString(bytes), 256);
  EXPECT_EQ(pty_.Read(256), bytes);
  ASSERT_TRUE(pty_.Write(bytes));
  EXPECT_TRUE(WaitUntil([&] { return provider_->GetInputCount() == 256; }));
  EXPECT_EQ(provider_->ReadString(), bytes);
}

TEST_F(SerialProviderTest, AnEmptyWriteDoesNothingOpenOrNot) {
  EXPECT_EQ(provider_->WriteString(""), 0);
  Configure("");
  ASSERT_TRUE(provider_->Open());
  EXPECT_EQ(provider_->WriteString(""), 0);
  EXPECT_EQ(pty_.Read(1, 50), "");
}

TEST_F(SerialProviderTest, AWriteToAClosedPortRaises) {
  EXPECT_THROW(provider_->WriteString("x"), AfComPort::EAfComPortError);
}

TEST_F(SerialProviderTest, ALineChangeCallsOnSignalChangeThenNotifiesAndBringsItsInput) {
  auto lines = std::make_shared<testsupport::TFakeModemLines>();
  provider_->ComPort().SetModemLines(lines);
  Configure("");
  ASSERT_TRUE(provider_->Open());
  recorder_.Clear();
  // Input that arrives while the line event is being handled comes with the same event.
  recorder_.onFirstSignal = [&] {
    pty_.Write("with it");
    WaitUntil([&] { return provider_->ComPort().PendingInputCount() == 7; });
  };
  lines->Change(uSerialTty::kLineCts, uSerialTty::kLineCts);
  ASSERT_TRUE(WaitUntil([&] { return recorder_.Notes().size() >= 3; }));
  EXPECT_EQ(recorder_.Notes(),
            (std::vector<std::string>{"signal CTS 1", "config cts=-1", "read with it"}));
  EXPECT_TRUE(provider_->GetCTS());

  struct TCase {
    int line;
    int state;
    std::vector<std::string> notes;
  };
  const TCase cases[] = {
      {uSerialTty::kLineCts, 0, {"signal CTS 0", "config cts=0"}},
      {uSerialTty::kLineDsr, uSerialTty::kLineDsr, {"signal DSR 1", "config dsr=-1"}},
      {uSerialTty::kLineDcd, uSerialTty::kLineDcd, {"signal RLSD 1", "config rlsd=-1"}},
  };
  for (const TCase& c : cases) {
    recorder_.Clear();
    lines->Change(c.line, c.state);
    ASSERT_TRUE(WaitUntil([&] { return recorder_.Notes().size() >= c.notes.size(); }));
    EXPECT_EQ(recorder_.Notes(), c.notes);
  }
  EXPECT_TRUE(provider_->GetDSR());
  EXPECT_TRUE(provider_->GetRLSD());
  EXPECT_FALSE(provider_->GetRING());
  recorder_.Clear();
  lines->Change(0, 0, [](uSerialTty::TLineCounters& c) { ++c.Ring; });
  ASSERT_TRUE(WaitUntil([&] { return recorder_.Notes().size() >= 2; }));
  EXPECT_EQ(recorder_.Notes(), (std::vector<std::string>{"signal RING 0", "config ring=0"}));
}

TEST_F(SerialProviderTest, AHungUpDeviceClosesThePortSilentlyAndSaysWhy) {
  Configure("");
  ASSERT_TRUE(provider_->Open());
  pty_.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] {
    provider_->GetInputCount();  // the presence check
    return !provider_->IsOpen();
  }));
  EXPECT_EQ(recorder_.closes, 0);
  ASSERT_TRUE(recorder_.Has("error GetInputCount"));
  EXPECT_NE(recorder_.errorArgs.back()[0].find("the device is gone"), std::string::npos)
      << recorder_.errorArgs.back()[0];
  EXPECT_EQ(recorder_.errorCodes.back(), EIO);
}

TEST_F(SerialProviderTest, BufferSizesChangeOnlyWhileClosed) {
  Configure("");
  ASSERT_TRUE(provider_->Open());
  EXPECT_THROW(provider_->SetOutBufSize(100), AfComPort::EAfComPortError);
  ASSERT_TRUE(provider_->Close(false));
  provider_->SetOutBufSize(100);
  EXPECT_EQ(provider_->GetOutBufSize(), 100);
}

TEST_F(SerialProviderTest, AComportChangeWhileOpenReopensOnTheNewPort) {
  testsupport::TPtyPair other;
  Configure("");
  ASSERT_TRUE(provider_->Open());
  provider_->SetConfiguration("provider=SERIAL_PORT;comport=" + other.SlavePath());
  EXPECT_TRUE(provider_->IsOpen());
  provider_->WriteString("moved");
  EXPECT_EQ(other.Read(5), "moved");
  recorder_.Clear();
  provider_->SetConfiguration("provider=SERIAL_PORT;comport=/dev/no-such-port");
  EXPECT_FALSE(provider_->IsOpen());
  ASSERT_EQ(recorder_.errorArgs.size(), 1u);
  EXPECT_EQ(recorder_.Notes().back(), "error SetConfiguration");
  EXPECT_EQ(recorder_.errorArgs[0].back(),
            "Invalid port number (/dev/no-such-port): no such device");
}

TEST(SerialProviderLife, DestroyingAnOpenProviderFiresNoClose) {
  testsupport::TPtyPair pty;
  TRecorder recorder;
  {
    auto provider = uMyInterfacedObject::Create<TCommunicationSerialPortInterface>();
    provider->GetOnClose().Connect({&recorder, &TRecorder::OnClose}, nullptr, nullptr);
    provider->SetConfiguration("provider=SERIAL_PORT;comport=" + pty.SlavePath());
    ASSERT_TRUE(provider->Open());
  }
  EXPECT_EQ(recorder.closes, 0);
  // The port is free again.
  AfComPort::TAfComPort port;
  port.SetPortName(pty.SlavePath());
  EXPECT_NO_THROW(port.OpenPort());
}
