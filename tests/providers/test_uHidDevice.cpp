#include "providers/uHidDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "providers/uHidSimulated.h"
#include "support/SimulatedHid.h"

using testsupport::InputReport;
using uHidSimulated::TSimulatedHidDevice;

namespace {
std::shared_ptr<TSimulatedHidDevice> MakeDevice(int reportLength = 64) {
  return std::make_shared<TSimulatedHidDevice>(testsupport::DovelaInfo("S1", reportLength));
}

std::string Report(unsigned char id, unsigned char length, const std::string& payload,
                   std::size_t size) {
  std::string r(size, '\0');
  r[0] = static_cast<char>(id);
  r[1] = static_cast<char>(length);
  r.replace(2, payload.size(), payload);
  return r;
}
}  // namespace

TEST(HidDeviceFraming, TextIsCutIntoOutputReports) {
  const std::string s62(62, 'a');
  const std::string s63 = s62 + "b";
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> reports;
  };
  const Case cases[] = {
      {"62 bytes fill one report", s62, {Report(0x3F, 62, s62, 64)}},
      {"63 bytes take two", s63, {Report(0x3F, 62, s62, 64), Report(0x3F, 1, "b", 64)}},
      {"an empty text is one empty report", "", {Report(0x3F, 0, "", 64)}},
      {"124 bytes: two full reports, no empty one after",
       s62 + s62,
       {Report(0x3F, 62, s62, 64), Report(0x3F, 62, s62, 64)}},
      {"every byte value passes",
       std::string("\0\xFF\x01", 3),
       {Report(0x3F, 3, std::string("\0\xFF\x01", 3), 64)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = MakeDevice();
    uHidDevice::THidDevice entry;
    entry.SetDevice(device);
    EXPECT_TRUE(entry.WriteString(c.text));
    EXPECT_EQ(device->WrittenReports(), c.reports);
  }
}

TEST(HidDeviceFraming, WritesFailWithoutDeviceOrWhenAReportFails) {
  uHidDevice::THidDevice entry;
  EXPECT_FALSE(entry.WriteString("x"));

  // Reports of 1 byte have no room for id and length, of 2 none for text: cutting text into
  // them would never end (the failing writes after 1000 reports end it, should it loop).
  for (const int length : {1, 2}) {
    SCOPED_TRACE(length);
    auto tiny = std::make_shared<TSimulatedHidDevice>(testsupport::DovelaInfo("S", length));
    TSimulatedHidDevice* const raw = tiny.get();
    tiny->SetOnOutputReport([raw](const std::string&) {
      if (raw->WrittenReports().size() >= 1000) raw->SetWritesFail(true);
    });
    entry.SetDevice(tiny);
    EXPECT_FALSE(entry.WriteString("x"));
    EXPECT_FALSE(entry.WriteString(""));
    EXPECT_TRUE(tiny->WrittenReports().empty());
    entry.SetDevice(nullptr);
  }

  auto device = MakeDevice();
  entry.SetDevice(device);
  device->SetWritesFail(true);
  EXPECT_FALSE(entry.WriteString(std::string(100, 'z')));
  device->SetWritesFail(false);
  device->Unplug();
  EXPECT_FALSE(entry.WriteString("x"));
}

TEST(HidDeviceFraming, LongReportsNeverClaimMoreThanTheLengthByteHolds) {
  auto device = MakeDevice(300);
  uHidDevice::THidDevice entry;
  entry.SetDevice(device);
  ASSERT_TRUE(entry.WriteString(std::string(300, 'q')));
  const auto reports = device->WrittenReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(reports[0][1]), 255);
  EXPECT_EQ(static_cast<unsigned char>(reports[1][1]), 45);
  EXPECT_EQ(reports[0].size(), 300u);
}

TEST(HidDeviceFraming, TheDeviceKeepsOnlyTheLastWrittenReports) {
  auto device = MakeDevice();
  const std::size_t history = TSimulatedHidDevice::kWrittenHistory;
  for (std::size_t i = 0; i < history * 4 + 3; ++i)
    ASSERT_EQ(device->WriteReport(std::to_string(i)), static_cast<int>(std::to_string(i).size()));
  EXPECT_EQ(device->WrittenCount(), history * 4 + 3);
  const auto reports = device->WrittenReports();
  ASSERT_EQ(reports.size(), history);
  EXPECT_EQ(reports.front(), std::to_string(history * 3 + 3));  // the oldest kept
  EXPECT_EQ(reports.back(), std::to_string(history * 4 + 2));
}

TEST(HidDeviceFraming, InputReportsGiveTheirPayload) {
  struct Case {
    const char* name;
    std::vector<std::string> reports;
    std::string text;  // what one ReadString gives
  };
  const Case cases[] = {
      {"length 5 gives five bytes, the rest is ignored",
       {Report(0x3F, 5, "hello-and-more", 64)},
       "hello"},
      {"several reports are joined", {InputReport("ab"), InputReport("cd")}, "abcd"},
      {"length 0 gives nothing and ends the pass",
       {InputReport("ab"), Report(0x3F, 0, "", 64), InputReport("cd")},
       "ab"},
      {"a length not below the bytes received gives nothing",
       {Report(0x3F, 64, std::string(62, 'x'), 64)},
       ""},
      {"a short read gives nothing", {std::string("\x3F", 1)}, ""},
      {"length 62 of a 64-byte report", {InputReport(std::string(62, 'm'))}, std::string(62, 'm')},
      {"length 63 is cut at the end of the report",
       {Report(0x3F, 63, std::string(62, 'n'), 64)},
       std::string(62, 'n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = MakeDevice();
    uHidDevice::THidDevice entry;
    entry.SetDevice(device);
    EXPECT_EQ(entry.ReadString(), "");  // opens the device's input
    for (const auto& r : c.reports) device->QueueInputReport(r);
    EXPECT_EQ(entry.ReadString(), c.text);
  }
}

TEST(HidDeviceIdentity, ReportsNothingWithoutDevice) {
  uHidDevice::THidDevice entry;
  EXPECT_EQ(entry.GetVendorID(), 0);
  EXPECT_EQ(entry.GetProductID(), 0);
  EXPECT_EQ(entry.GetSerialNumber(), "");
  EXPECT_EQ(entry.GetProductName(), "");
  EXPECT_EQ(entry.ReadString(), "");
  entry.SetDevice(MakeDevice());
  EXPECT_EQ(entry.GetVendorID(), 0x2047);
  EXPECT_EQ(entry.GetProductID(), 0x0301);
  EXPECT_EQ(entry.GetSerialNumber(), "S1");
  EXPECT_EQ(entry.GetProductName(), "Dovela GSM Modem");
  EXPECT_EQ(entry.GetManufacturerName(), "Dovela s.r.o.");
}

namespace {
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs action on another thread a little later, while the caller waits.
std::thread Later(std::function<void()> action) {
  return std::thread([action = std::move(action)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    action();
  });
}
}  // namespace

TEST(HidDeviceWait, ASimulatedDeviceWakesForAReportAtItsTimeOrForAWakeUp) {
  auto device = MakeDevice();
  EXPECT_TRUE(device->WaitReadable(5000)) << "not open: the read that opens it comes first";
  EXPECT_EQ(device->ReadReport(64), "");

  auto start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(20));
  EXPECT_GE(MsSince(start), 19) << "nothing queued: the whole limit";

  device->QueueInputReport(InputReport("now"));
  start = Clock::now();
  EXPECT_TRUE(device->WaitReadable(5000));
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_EQ(device->ReadReport(64), InputReport("now"));

  device->QueueInputReport(InputReport("later"), 50);
  start = Clock::now();
  EXPECT_TRUE(device->WaitReadable(5000));
  EXPECT_GE(MsSince(start), 49) << "not before the report is due";
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_EQ(device->ReadReport(64), InputReport("later"));

  std::thread queue = Later([&] { device->QueueInputReport(InputReport("meanwhile")); });
  EXPECT_TRUE(device->WaitReadable(5000));
  queue.join();
  EXPECT_EQ(device->ReadReport(64), InputReport("meanwhile"));

  std::thread wake = Later([&] { device->Wake(); });
  start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(5000));
  EXPECT_LT(MsSince(start), 4000);
  wake.join();

  device->Wake();
  start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(5000)) << "a wake-up before the wait is kept for it";
  EXPECT_LT(MsSince(start), 4000);

  device->Unplug();
  start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(20));
  EXPECT_GE(MsSince(start), 19) << "a gone device is waited on, not polled";
}

TEST(HidDeviceWait, TheEntryWaitsOnItsDeviceAndAChangeOfDeviceEndsTheWait) {
  uHidDevice::THidDevice entry;
  auto start = Clock::now();
  entry.WaitReadable(20);
  EXPECT_GE(MsSince(start), 19) << "no device: the whole limit";

  const auto timedWait = [&](std::function<void()> action) {
    std::thread other = Later(std::move(action));
    const auto begin = Clock::now();
    entry.WaitReadable(5000);
    other.join();
    return MsSince(begin);
  };
  EXPECT_LT(timedWait([&] { entry.Wake(); }), 4000) << "woken without a device";
  auto device = MakeDevice();
  EXPECT_LT(timedWait([&] { entry.SetDevice(device); }), 4000) << "a device came";
  EXPECT_EQ(entry.ReadString(), "");  // opens the device
  EXPECT_LT(timedWait([&] { device->QueueInputReport(InputReport("x")); }), 4000);
  EXPECT_EQ(entry.ReadString(), "x");
  EXPECT_LT(timedWait([&] { entry.Wake(); }), 4000) << "woken on the device";
  EXPECT_LT(timedWait([&] { entry.SetDevice(nullptr); }), 4000) << "the device went";
}
