#include "providers/uCI_HIDInterface.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ci/uMyInterfacedObject.h"
#include "providers/uHidLinux.h"
#include "support/SimulatedHid.h"
#include "support/SysfsTree.h"

using testsupport::DovelaInfo;
using testsupport::InputReport;
using uCI_HIDInterface::TCommunicationHIDInterface;
using uInterfaces::TInterfacePtr;
using Clock = std::chrono::steady_clock;

namespace {
class HidProviderTest : public testing::Test {
 protected:
  void SetUp() override { provider_ = uMyInterfacedObject::Create<TCommunicationHIDInterface>(); }

  template <class Pred>
  static bool WaitUntil(Pred pred, int ms = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
      if (Clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  testsupport::TSimulatedDevices devices_;
  TInterfacePtr<TCommunicationHIDInterface> provider_;
};

// Every error the provider raises, with its arguments and code; from any thread.
struct TErrorLog {
  struct TError {
    std::string name;
    std::vector<std::string> args;
    std::int32_t code;
  };
  std::mutex mutex;
  std::vector<TError> errors;
  void OnError(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string& name,
               const std::vector<std::string>& args, std::int32_t code) {
    std::lock_guard lock(mutex);
    errors.push_back({name, args, code});
  }
  std::vector<TError> Errors() {
    std::lock_guard lock(mutex);
    return errors;
  }
};
}  // namespace

TEST_F(HidProviderTest, ConfigurationKeysFollowTheirRules) {
  struct Step {
    const char* config;
    int vid, pid;
    const char* serial;
  };
  const Step steps[] = {
      {"provider=HID;vid=$2047;pid=$0301;serial_number=ABC", 8263, 769, "ABC"},
      {"vid=8263;pid=abc", 8263, 769, "ABC"},     // not a number: the old value stays
      {"vid=1;pid=2", 1, 2, "ABC"},               // no serial key: the old serial stays
      {"serial_number=;vid=$2047", 8263, 2, ""},  // present and empty: cleared
      {"serial_number=X1;pid=769", 8263, 769, "X1"},
      {"provider=HID;vid=$2047;pid=$0301;serial_number=", 8263, 769, ""},  // the app's, no serial
      {"serial_number=(S;N)", 8263, 769, "S;N"},
      {"serial_number=(broken", 8263, 769, "S;N"},  // malformed: ignored
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.config);
    provider_->SetConfiguration(s.config);
    EXPECT_EQ(provider_->GetVID(), s.vid);
    EXPECT_EQ(provider_->GetPID(), s.pid);
    EXPECT_EQ(provider_->GetSerialNumber(), s.serial);
  }
  provider_->SetConfiguration("provider=HID;vid=$2047;pid=$0301;serial_number=X1");
  EXPECT_EQ(provider_->GetConfiguration(), "provider=HID;vid=8263;pid=769;serial_number=X1");
  EXPECT_EQ(provider_->GetAddress(), provider_->GetConfiguration());
  EXPECT_EQ(provider_->GetProviderName(), "HID");
  // The text given back sets the same serial number again, whatever characters it holds.
  for (const std::string serial : {"S;N", "(A)", "B\\", "x=y"}) {
    SCOPED_TRACE(serial);
    provider_->SetSerialNumber(serial);
    const std::string config = provider_->GetConfiguration();
    provider_->SetSerialNumber("other");
    provider_->SetConfiguration(config);
    EXPECT_EQ(provider_->GetSerialNumber(), serial);
  }
}

TEST_F(HidProviderTest, OpensTheConfiguredDeviceAndExchangesTextBothWays) {
  devices_.Add(DovelaInfo("OTHER"));
  auto device = devices_.Add(DovelaInfo("SN42"));
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;  // no cycle through the handler
  device->SetOnOutputReport([weak](const std::string& report) {
    // Answers each request in two reports, a few milliseconds apart.
    const auto d = weak.lock();
    const std::string payload = report.substr(2, static_cast<unsigned char>(report[1]));
    d->QueueInputReport(InputReport("re:" + payload), 2);
    d->QueueInputReport(InputReport(";end"), 5);
  });
  provider_->SetConfiguration("provider=HID;vid=$2047;pid=$0301;serial_number=SN42");
  ASSERT_TRUE(provider_->Open());
  EXPECT_TRUE(provider_->IsOpen());
  EXPECT_EQ(provider_->GetProductName(), "Dovela GSM Modem");
  EXPECT_EQ(provider_->GetManufacturerName(), "Dovela s.r.o.");

  EXPECT_EQ(provider_->WriteString("ping"), 4);
  ASSERT_TRUE(WaitUntil([&] { return provider_->GetInputCount() == 11; }));
  EXPECT_EQ(provider_->ReadString(), "re:ping;end");

  std::string answer;
  provider_->Query("status", 1000, 60, 3000, true, true, {}, "", answer);
  EXPECT_EQ(answer, "re:status;end");
  EXPECT_EQ(device->WrittenReports().size(), 2u);
}

TEST_F(HidProviderTest, NoMatchingDeviceLeavesItClosedWithAnError) {
  struct TErrors {
    std::vector<std::string> names;
    void OnError(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string& n,
                 const std::vector<std::string>&, std::int32_t) {
      names.push_back(n);
    }
  } errors;
  provider_->GetOnError().Connect({&errors, &TErrors::OnError}, nullptr, nullptr);
  devices_.Add(DovelaInfo("A"));
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=a");  // letter case counts
  EXPECT_FALSE(provider_->Open());
  EXPECT_FALSE(provider_->IsOpen());
  EXPECT_EQ(errors.names, (std::vector<std::string>{"Open"}));
  EXPECT_EQ(provider_->WriteString("x"), 0);  // nothing attached: nothing written
}

TEST_F(HidProviderTest, AnUnplugDuringAQueryEndsItWithWhatHadArrived) {
  auto device = devices_.Add(DovelaInfo("U"));
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
  device->SetOnOutputReport([weak](const std::string&) {
    if (const auto d = weak.lock()) d->QueueInputReport(InputReport("part"), 1);
  });
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=U");
  ASSERT_TRUE(provider_->Open());
  // The unplug comes once the request is out and its first report had time to arrive, well
  // inside the silence that ends the exchange.
  std::thread unplug([&] {
    WaitUntil([&] { return !device->WrittenReports().empty(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    device->Unplug();
  });
  std::string answer;
  provider_->Query("q", 3000, 300, 5000, false, false, {}, "", answer);
  unplug.join();
  EXPECT_EQ(answer, "part");
  EXPECT_FALSE(provider_->IsOpen());
  EXPECT_TRUE(provider_->Close(false));  // nothing to close: not open any more
  EXPECT_EQ(provider_->WriteString("x"), 0);
}

TEST_F(HidProviderTest, AProviderStillAttachedAfterARefreshKeepsWorking) {
  auto device = devices_.Add(DovelaInfo("K"));
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=K");
  ASSERT_TRUE(provider_->Open());
  uHidDeviceManager::GetHidDeviceManager().Refresh();  // the manager's listing moves on
  uHidDeviceManager::GetHidDeviceManager().Clear();
  EXPECT_TRUE(provider_->IsOpen());
  EXPECT_EQ(provider_->WriteString("still"), 5);
  ASSERT_TRUE(WaitUntil([&] { return device->WrittenReports().size() == 1; }));
}

TEST_F(HidProviderTest, TheWorkThreadRunsForTheProvidersLife) {
  bool found = false;
  for (auto* runner : uThreadUtils::ThreadRunnerList()->Snapshot())
    if (runner->RunnerName() == "HID work thread") found = true;
  EXPECT_TRUE(found);
  const auto before = uThreadUtils::ThreadRunnerList()->Count();
  provider_ = nullptr;  // joins the work thread
  EXPECT_EQ(uThreadUtils::ThreadRunnerList()->Count(), before - 1);
}

TEST_F(HidProviderTest, AWorkThreadThatDiesSaysSoAndTheProviderNoLongerLooksOpen) {
  struct TErrors {
    std::mutex mutex;
    std::vector<std::string> texts;
    void OnError(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string& n,
                 const std::vector<std::string>& args, std::int32_t) {
      std::lock_guard lock(mutex);
      texts.push_back(n + (args.empty() ? "" : ": " + args.front()));
    }
    std::vector<std::string> Texts() {
      std::lock_guard lock(mutex);
      return texts;
    }
  } errors;
  // A subscriber run on the work thread that throws what the notification does not catch.
  struct TFailure {};
  struct TThrower {
    void OnRead(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string&) {
      throw TFailure{};
    }
  } thrower;
  auto device = devices_.Add(DovelaInfo("D"));
  provider_->GetOnError().Connect({&errors, &TErrors::OnError}, nullptr, nullptr);
  provider_->GetOnReadString().Connect({&thrower, &TThrower::OnRead}, nullptr, nullptr);
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=D");
  ASSERT_TRUE(provider_->Open());
  ASSERT_EQ(provider_->WriteString("?"), 1);  // opens the device's handle, which then keeps input

  device->QueueInputReport(InputReport("boom"));
  ASSERT_TRUE(WaitUntil([&] { return !errors.Texts().empty(); }));
  EXPECT_EQ(errors.Texts(), (std::vector<std::string>{"HID work thread: unknown exception"}));
  EXPECT_FALSE(provider_->IsOpen());

  // Opening again starts a new work thread, which receives.
  provider_->GetOnReadString().Clear(false);
  ASSERT_TRUE(provider_->Open());
  ASSERT_EQ(provider_->WriteString("?"), 1);
  device->QueueInputReport(InputReport("again"));
  ASSERT_TRUE(WaitUntil([&] { return provider_->GetInputCount() == 9; }));
  EXPECT_EQ(provider_->ReadString(), "boomagain");
}

// A listed device that cannot be opened fails Open: its error names the node, says why and
// carries the system error number, and the provider never looks open. Root opens any node,
// so the refused access comes from a stand-in for open(2).
TEST_F(HidProviderTest, ADeviceThatCannotBeOpenedFailsOpenWithNodeReasonAndCode) {
  struct TCase {
    const char* name;
    std::function<void(testsupport::TSysfsTree&, uHidLinux::TLinuxHidBackend&)> prepare;
    int code;
    const char* text;
  };
  const TCase cases[] = {
      {"missing node", [](auto&, auto&) {}, ENOENT, "No such file or directory"},
      {"directory",
       [](testsupport::TSysfsTree& tree, auto&) {
         std::filesystem::create_directory(tree.Dev() / "hidraw3");
       },
       EISDIR, "Is a directory"},
      {"access refused",
       [](auto&, uHidLinux::TLinuxHidBackend& backend) {
         backend.SetOpenCall([](const char*, int) {
           errno = EACCES;
           return -1;
         });
       },
       EACCES, "sudo udevadm control --reload-rules"},
  };
  auto& manager = uHidDeviceManager::GetHidDeviceManager();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TSysfsTree tree;
    tree.AddUsb(3, "0003:2047:0301.0005", testsupport::kDovelaUevent,
                testsupport::ReadHidFixture("dovela_vendor_id3f.bin"), testsupport::kDovelaUsb);
    auto backend = std::make_shared<uHidLinux::TLinuxHidBackend>(tree.Root(), tree.Dev(), false);
    c.prepare(tree, *backend);
    manager.Controller().AddBackend(backend);
    TErrorLog log;
    provider_->GetOnError().Connect({&log, &TErrorLog::OnError}, nullptr, nullptr);
    provider_->SetConfiguration("provider=HID;vid=$2047;pid=$0301;serial_number=DV123456");

    EXPECT_FALSE(provider_->Open());
    EXPECT_FALSE(provider_->IsOpen());
    EXPECT_EQ(provider_->WriteString("x"), 0);
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].name, "Open");
    EXPECT_EQ(errors[0].code, c.code);
    const std::string node = (tree.Dev() / "hidraw3").string();
    ASSERT_EQ(errors[0].args.size(), 2u);
    EXPECT_EQ(errors[0].args[0], node);
    EXPECT_NE(errors[0].args[1].find(node), std::string::npos) << errors[0].args[1];
    EXPECT_NE(errors[0].args[1].find(c.text), std::string::npos) << errors[0].args[1];

    provider_->GetOnError().Clear(true);
    manager.Controller().RemoveBackend(backend);
    manager.Clear();
  }
}

// Each "Připojit" refreshes the device list while a page may be waiting for an answer: the
// refresh must not close the handle the provider reads, or the reports queued in it are lost.
TEST_F(HidProviderTest, ARefreshDuringAnAnswerLosesNothing) {
  auto device = devices_.Add(DovelaInfo("R"));
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += "r" + std::to_string(100 + i);
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
  device->SetOnOutputReport([weak](const std::string&) {
    const auto d = weak.lock();
    // The first report at once, the others once the work thread is held up by the first.
    for (int i = 0; i < 40; ++i)
      d->QueueInputReport(InputReport("r" + std::to_string(100 + i)), i == 0 ? 0 : 20);
  });
  // Holds the work thread inside its first delivery until the refresh is done, so the other
  // 39 reports wait in the device's ring meanwhile.
  struct TGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, released = false;
    void OnRead(uCI_CommunicationInterfaceUtils::ICommunicationInterface*, const std::string&) {
      std::unique_lock lock(mutex);
      if (held) return;
      held = true;
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(5), [this] { return released; });
    }
  } gate;
  provider_->GetOnReadString().Connect({&gate, &TGate::OnRead}, nullptr, nullptr);
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=R");
  ASSERT_TRUE(provider_->Open());

  auto answer = std::async(std::launch::async, [&] {
    std::string text;
    provider_->Query("status", 2000, 300, 10000, true, true, {}, "", text);
    return text;
  });
  {
    std::unique_lock lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.held; }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the other reports are due
  uHidDeviceManager::GetHidDeviceManager().Refresh();
  {
    std::lock_guard lock(gate.mutex);
    gate.released = true;
  }
  gate.changed.notify_all();
  EXPECT_EQ(answer.get(), expected);
  EXPECT_EQ(device->DroppedReports(), 0);
  EXPECT_TRUE(provider_->IsOpen());
}

// Output reports of 2 bytes (report id and length byte) have no room for text: writing is
// refused with an error at once, instead of cutting the text into empty reports for ever
// while the provider's locks are held.
TEST_F(HidProviderTest, ADeviceWithoutRoomForTextInItsOutputReportsIsRefusedForWriting) {
  auto device = devices_.Add(DovelaInfo("TINY", 2));
  std::weak_ptr<uHidSimulated::TSimulatedHidDevice> weak = device;
  device->SetOnOutputReport([weak](const std::string&) {
    // Ends an endless write loop, should there be one, so the test fails instead of hanging.
    const auto d = weak.lock();
    if (d->WrittenReports().size() >= 1000) d->SetWritesFail(true);
  });
  TErrorLog log;
  provider_->GetOnError().Connect({&log, &TErrorLog::OnError}, nullptr, nullptr);
  provider_->SetConfiguration("vid=$2047;pid=$0301;serial_number=TINY");
  ASSERT_TRUE(provider_->Open()) << "reading it still works";

  for (const std::string text : {"ab", ""}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(provider_->WriteString(text), 0);
  }
  std::string answer;
  provider_->Query("status", 50, 10, 100, true, true, {}, "", answer);
  EXPECT_EQ(answer, "");
  EXPECT_TRUE(device->WrittenReports().empty());
  const auto errors = log.Errors();
  ASSERT_EQ(errors.size(), 3u);
  for (const auto& error : errors) {
    EXPECT_EQ(error.name, "InternalWriteString");
    ASSERT_EQ(error.args.size(), 2u);
    EXPECT_EQ(error.args[0], device->Info().Path);
    EXPECT_NE(error.args[1].find("2 bytes long, with no room for text"), std::string::npos)
        << error.args[1];
  }
}
