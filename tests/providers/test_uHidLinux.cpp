#include "providers/uHidLinux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/SysfsTree.h"

namespace fs = std::filesystem;
using testsupport::kDovelaUevent;
using testsupport::kDovelaUsb;
using testsupport::TSysfsTree;
using testsupport::Uevent;
using testsupport::WriteFile;
using uHidLinux::ComputeReportLengths;
using uHidLinux::TLinuxHidBackend;
using uHidLinux::TReportLengths;
using uHidPlatform::THidPlatformDevicePtr;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string ReadFixture(const std::string& name) {
  return testsupport::ReadHidFixture(name);
}

void ExpectLengths(const std::optional<TReportLengths>& actual, const TReportLengths& expected) {
  ASSERT_TRUE(actual.has_value());
  EXPECT_EQ(actual->Input, expected.Input);
  EXPECT_EQ(actual->Output, expected.Output);
  EXPECT_EQ(actual->Feature, expected.Feature);
  EXPECT_EQ(actual->UsesReportIds, expected.UsesReportIds);
}

// ---------------------------------------------------------------------------------------------

struct TDescriptorCase {
  const char* name;
  std::string descriptor;
  std::optional<TReportLengths> expected;  // nullopt: cannot be parsed
  const char* errorText = "";              // text in the reason when it cannot
};

void CheckDescriptorCases(const std::vector<TDescriptorCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = "stale";
    const auto lengths = ComputeReportLengths(c.descriptor, error);
    if (c.expected) {
      ExpectLengths(lengths, *c.expected);
      EXPECT_EQ(error, "");
    } else {
      EXPECT_FALSE(lengths.has_value());
      EXPECT_NE(error.find(c.errorText), std::string::npos) << error;
    }
  }
}

// The fixture files are described in tests/data/hid/README.md.
TEST(HidLinuxReportLengths, FixtureDescriptors) {
  CheckDescriptorCases({
      {"Dovela vendor page, report id 0x3F", ReadFixture("dovela_vendor_id3f.bin"),
       TReportLengths{64, 64, 0, true}},
      {"several report ids, one split in two", ReadFixture("multiple_report_ids.bin"),
       TReportLengths{33, 17, 5, true}},
      {"keyboard without report ids", ReadFixture("keyboard_no_report_ids.bin"),
       TReportLengths{9, 2, 0, false}},
      {"item cut off", ReadFixture("truncated_item.bin"), std::nullopt, "truncated item"},
  });
}

TEST(HidLinuxReportLengths, ItemCases) {
  CheckDescriptorCases({
      // Report Size (3), Report Count (1), Input, Report Size (5), Input (Constant).
      {"3 bits and 5 bits of padding", Bytes({0x75, 3, 0x95, 1, 0x81, 2, 0x75, 5, 0x81, 1}),
       TReportLengths{2, 0, 0, false}},
      {"12 bits round up to 2 bytes", Bytes({0x75, 12, 0x95, 1, 0x81, 2}),
       TReportLengths{3, 0, 0, false}},
      {"a single bit", Bytes({0x75, 1, 0x95, 1, 0x91, 2}), TReportLengths{0, 2, 0, false}},
      {"one-byte Report Count 0xFF is 255", Bytes({0x75, 8, 0x95, 0xFF, 0x81, 2}),
       TReportLengths{256, 0, 0, false}},
      // Report Count with 4 data bytes (size code 3): 256.
      {"four-byte item data", Bytes({0x75, 8, 0x97, 0x00, 0x01, 0x00, 0x00, 0x81, 2}),
       TReportLengths{257, 0, 0, false}},
      // Size 8 x 4, Push, size 16 x 4, Input (64 bits), Pop, Input (32 bits).
      {"Pop restores size and count",
       Bytes({0x75, 8, 0x95, 4, 0xA4, 0x75, 16, 0x95, 4, 0x81, 2, 0xB4, 0x81, 2}),
       TReportLengths{13, 0, 0, false}},
      // Size 8 x 2, Report ID 1, Push, Report ID 2, count 8, Input, Pop, Input (to id 1).
      {"Pop restores the report id",
       Bytes({0x75, 8, 0x95, 2, 0x85, 1, 0xA4, 0x85, 2, 0x95, 8, 0x81, 2, 0xB4, 0x81, 2}),
       TReportLengths{9, 0, 0, true}},
      // A long item whose data would read as Report Size (64) if it were not skipped.
      {"long item skipped whole", Bytes({0x75, 8, 0x95, 2, 0xFE, 2, 0x10, 0x75, 64, 0x81, 2}),
       TReportLengths{3, 0, 0, false}},
      {"kind without data bits has length 0",
       Bytes({0x75, 8, 0x95, 0, 0x81, 2, 0x91, 2, 0x95, 1, 0xB1, 2}),
       TReportLengths{0, 0, 2, false}},
      {"Report Size 256 is allowed", Bytes({0x76, 0x00, 0x01, 0x95, 1, 0x81, 2}),
       TReportLengths{33, 0, 0, false}},
      {"4096 bytes with the id byte is allowed", Bytes({0x75, 8, 0x96, 0xFF, 0x0F, 0x81, 2}),
       TReportLengths{4096, 0, 0, false}},

      {"empty", "", std::nullopt, "empty"},
      {"four-byte item cut off", Bytes({0x75, 8, 0x97, 0x00, 0x01}), std::nullopt,
       "truncated item at offset 2"},
      {"long item data cut off", Bytes({0xFE, 5, 0x10, 0xAA}), std::nullopt, "long item cut short"},
      {"long item header cut off", Bytes({0xFE, 5}), std::nullopt, "long item header"},
      {"Pop without Push", Bytes({0x75, 8, 0xB4}), std::nullopt, "Pop without Push at offset 2"},
      {"End Collection without Collection", Bytes({0xC0}), std::nullopt, "End Collection"},
      {"collection left open", Bytes({0xA1, 1, 0x75, 8, 0x95, 1, 0x81, 2}), std::nullopt,
       "collection not closed"},
      {"Report Size 257", Bytes({0x76, 0x01, 0x01}), std::nullopt, "Report Size 257"},
      {"4097 bytes with the id byte", Bytes({0x75, 8, 0x96, 0x00, 0x10, 0x81, 2}), std::nullopt,
       "longer than 4096"},
      {"4097 bytes over two items", Bytes({0x75, 8, 0x96, 0x00, 0x08, 0x81, 2, 0x81, 2}),
       std::nullopt, "longer than 4096"},
      {"256 bits times 2^32-1 does not overflow",
       Bytes({0x76, 0x00, 0x01, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 2}), std::nullopt,
       "longer than 4096"},
      {"Report ID 0", Bytes({0x85, 0}), std::nullopt, "Report ID 0"},
      {"Report ID 256", Bytes({0x86, 0x00, 0x01}), std::nullopt, "Report ID 256"},
  });
}

// ---------------------------------------------------------------------------------------------

TEST(HidLinuxEnumeration, ListsDevicesWithTheirFieldsInNodeOrder) {
  TSysfsTree tree;
  tree.AddUsb(10, "0003:2047:0301.0005", kDovelaUevent, ReadFixture("dovela_vendor_id3f.bin"),
              kDovelaUsb);
  // A USB keyboard whose device has no manufacturer or serial string.
  tree.AddUsb(3, "0003:04D9:1603.0002",
              Uevent("0003:000004D9:00001603", "Generic Keyboard", "kbd-uniq"),
              ReadFixture("keyboard_no_report_ids.bin"), {{"product", "USB Keyboard\n"}});
  tree.AddVirtual(2, "0005:046D:B012.0003",
                  Uevent("0005:0000046D:0000B012", "BT Mouse", "aa:bb:cc:dd:ee:ff"),
                  ReadFixture("multiple_report_ids.bin"));

  TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);
  const auto devices = backend.PresentDevices();
  EXPECT_TRUE(backend.SkippedReasons().empty());
  ASSERT_EQ(devices.size(), 3u);

  struct TExpected {
    fs::path path;
    std::uint16_t vendor, product;
    const char *manufacturer, *productName, *serial;
    int input, output;
  };
  const TExpected expected[] = {
      {tree.Dev() / "hidraw2", 0x046D, 0xB012, "", "BT Mouse", "aa:bb:cc:dd:ee:ff", 33, 17},
      {tree.Dev() / "hidraw3", 0x04D9, 0x1603, "", "USB Keyboard", "kbd-uniq", 9, 2},
      {tree.Dev() / "hidraw10", 0x2047, 0x0301, "Dovela", "GSM Modem", "DV123456", 64, 64},
  };
  for (std::size_t i = 0; i < devices.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    const auto& info = devices[i]->Info();
    EXPECT_EQ(info.Path, expected[i].path.string());
    EXPECT_EQ(info.VendorID, expected[i].vendor);
    EXPECT_EQ(info.ProductID, expected[i].product);
    EXPECT_EQ(info.Manufacturer, expected[i].manufacturer);
    EXPECT_EQ(info.Product, expected[i].productName);
    EXPECT_EQ(info.SerialNumber, expected[i].serial);
    EXPECT_EQ(info.InputReportByteLength, expected[i].input);
    EXPECT_EQ(info.OutputReportByteLength, expected[i].output);
    EXPECT_TRUE(devices[i]->Plugged());
  }
}

TEST(HidLinuxEnumeration, LeavesOutDevicesItCannotReadWithAReason) {
  struct TCase {
    const char* name;
    std::function<void(TSysfsTree&)> add;  // adds node 7 in its broken way
    const char* reasonText;
  };
  const std::string good = ReadFixture("dovela_vendor_id3f.bin");
  const TCase cases[] = {
      {"broken descriptor",
       [](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", kDovelaUevent, ReadFixture("truncated_item.bin"),
                  kDovelaUsb);
       },
       "hidraw7: report descriptor: truncated item"},
      {"uevent cut before HID_ID",
       [&](TSysfsTree& t) { t.AddUsb(7, "0003:2047:0301.0007", "DRIVER=hid-gen", good, {}); },
       "hidraw7: uevent: no HID_ID"},
      {"HID_ID not hex",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", Uevent("0003:0000XY47:00000301", "x", ""), good, {});
       },
       "hidraw7: uevent: bad HID_ID \"0003:0000XY47:00000301\""},
      {"HID_ID cut short",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", Uevent("0003:00002047", "x", ""), good, {});
       },
       "hidraw7: uevent: bad HID_ID"},
      {"vendor id above 16 bits",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", Uevent("0003:00012047:00000301", "x", ""), good, {});
       },
       "hidraw7: uevent: bad HID_ID"},
      {"uevent missing",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", kDovelaUevent, good, {});
         fs::remove(t.HidDir(7) / "uevent");
       },
       "hidraw7: uevent: cannot open"},
      {"report descriptor missing",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", kDovelaUevent, good, {});
         fs::remove(t.HidDir(7) / "report_descriptor");
       },
       "hidraw7: report descriptor: cannot open"},
      {"class link dangling",
       [&](TSysfsTree& t) {
         t.AddUsb(7, "0003:2047:0301.0007", kDovelaUevent, good, {});
         fs::remove_all(t.HidDir(7));
       },
       "hidraw7: cannot resolve"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSysfsTree tree;
    tree.AddUsb(1, "0003:2047:0301.0001", kDovelaUevent, good, kDovelaUsb);
    c.add(tree);
    TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);

    const auto devices = backend.PresentDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->Info().Path, (tree.Dev() / "hidraw1").string());
    const auto reasons = backend.SkippedReasons();
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find(c.reasonText), std::string::npos) << reasons[0];
    EXPECT_EQ(reasons[0].rfind("hidraw7: ", 0), 0u) << reasons[0];

    // The reasons describe the last listing only.
    fs::remove(tree.Root() / "class" / "hidraw" / "hidraw7");
    backend.PresentDevices();
    EXPECT_TRUE(backend.SkippedReasons().empty());
  }
}

TEST(HidLinuxEnumeration, NoHidrawClassGivesNoDevices) {
  for (const fs::path& root : {fs::temp_directory_path(), fs::path("/nonexistent-sysfs-root")}) {
    TLinuxHidBackend backend(root, "/dev", false);
    EXPECT_TRUE(backend.PresentDevices().empty()) << root;
    EXPECT_TRUE(backend.SkippedReasons().empty()) << root;
  }
}

TEST(HidLinuxEnumeration, KeepsTheObjectWhileTheDeviceStays) {
  TSysfsTree tree;
  const std::string descriptor = ReadFixture("dovela_vendor_id3f.bin");
  tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, descriptor, kDovelaUsb);
  tree.AddUsb(4, "0003:2047:0301.0006", kDovelaUevent, descriptor, kDovelaUsb);
  TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);

  const auto first = backend.PresentDevices();
  const auto second = backend.PresentDevices();
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(first[0], second[0]);
  EXPECT_EQ(first[1], second[1]);
  EXPECT_TRUE(second[0]->Plugged());
}

TEST(HidLinuxEnumeration, VanishedDeviceIsUnpluggedAndDropped) {
  TSysfsTree tree;
  const std::string descriptor = ReadFixture("dovela_vendor_id3f.bin");
  tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, descriptor, kDovelaUsb);
  tree.AddUsb(4, "0003:2047:0301.0006", kDovelaUevent, descriptor, kDovelaUsb);
  tree.MakeFifoNode(3);
  TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);
  THidPlatformDevicePtr held = backend.PresentDevices().at(0);

  tree.Remove(3);
  const auto devices = backend.PresentDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->Info().Path, (tree.Dev() / "hidraw4").string());

  // The holder's object stays valid, and its I/O no longer reaches the node, which still
  // exists here.
  EXPECT_FALSE(held->Plugged());
  EXPECT_EQ(held->Info().SerialNumber, "DV123456");
  EXPECT_EQ(held->WriteReport(std::string(64, '\x3F')), -1);
  EXPECT_NE(held->LastError().find("unplugged"), std::string::npos) << held->LastError();
}

TEST(HidLinuxEnumeration, NodeWithAnotherDeviceGetsANewObject) {
  struct TCase {
    const char* name;
    std::string hidName;
    std::map<std::string, std::string> usb;
  };
  const TCase cases[] = {
      {"other serial",
       "0003:2047:0301.0005",
       {{"manufacturer", "Dovela\n"}, {"product", "GSM Modem\n"}, {"serial", "DV999999\n"}}},
      {"same ids and serial, replugged", "0003:2047:0301.0009", kDovelaUsb},
  };
  const std::string descriptor = ReadFixture("dovela_vendor_id3f.bin");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSysfsTree tree;
    tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, descriptor, kDovelaUsb);
    TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);
    const THidPlatformDevicePtr before = backend.PresentDevices().at(0);

    tree.Remove(3);
    tree.AddUsb(3, c.hidName, kDovelaUevent, descriptor, c.usb);
    const auto after = backend.PresentDevices();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before);
    EXPECT_TRUE(after[0]->Plugged());
    EXPECT_FALSE(before->Plugged());
  }
}

TEST(HidLinuxEnumeration, RemoveEventUnplugsTheDeviceOfThatNode) {
  TSysfsTree tree;
  const std::string descriptor = ReadFixture("dovela_vendor_id3f.bin");
  const fs::path sysPath =
      tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, descriptor, kDovelaUsb);
  tree.AddUsb(4, "0003:2047:0301.0006", kDovelaUevent, descriptor, kDovelaUsb);
  TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);
  const auto devices = backend.PresentDevices();
  ASSERT_EQ(devices.size(), 2u);

  backend.HandleHotPlugEvent("add", "hidraw3", sysPath);
  backend.HandleHotPlugEvent("remove", "hidraw3", sysPath.parent_path() / "hidraw9");
  EXPECT_TRUE(devices[0]->Plugged()) << "another sysfs device under a reused node number";
  backend.HandleHotPlugEvent("remove", "hidraw3", sysPath);
  EXPECT_FALSE(devices[0]->Plugged());
  EXPECT_TRUE(devices[1]->Plugged());

  // Still in sysfs (here), so the next listing makes a fresh object for it.
  const auto again = backend.PresentDevices();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_NE(again[0], devices[0]);
  EXPECT_TRUE(again[0]->Plugged());
  EXPECT_EQ(again[1], devices[1]);
}

// ---------------------------------------------------------------------------------------------

// One listed device of the given descriptor at node 3; its node is made by the test.
struct TOneDevice {
  explicit TOneDevice(const std::string& descriptorFile) {
    tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, ReadFixture(descriptorFile), kDovelaUsb);
  }
  THidPlatformDevicePtr List() {
    auto devices = backend.PresentDevices();
    EXPECT_EQ(devices.size(), 1u);
    return devices.empty() ? nullptr : devices[0];
  }
  TSysfsTree tree;
  TLinuxHidBackend backend{tree.Root(), tree.Dev(), false};
};

TEST(HidLinuxDeviceIO, MissingNodeGivesAnErrorNamingIt) {
  TOneDevice one("dovela_vendor_id3f.bin");
  const auto device = one.List();
  ASSERT_TRUE(device);
  const std::string node = (one.tree.Dev() / "hidraw3").string();

  EXPECT_EQ(device->ReadReport(64), "");
  EXPECT_NE(device->LastError().find(node), std::string::npos) << device->LastError();
  EXPECT_EQ(device->WriteReport(std::string(64, '\x3F')), -1);
  EXPECT_NE(device->LastError().find(node + ": open: No such file"), std::string::npos)
      << device->LastError();
  EXPECT_TRUE(device->Plugged()) << "the node may just not be made yet";
}

// A FIFO carries bytes, not reports, so these tests only show what the device passes through:
// the bytes of a write as they are, a read behind the report-id byte it adds, the cut to
// maxLength and an empty answer at once when nothing waits.
TEST(HidLinuxDeviceIO, DeviceWithReportIdsPassesReportsAsTheyAre) {
  TOneDevice one("dovela_vendor_id3f.bin");
  one.tree.MakeFifoNode(3);
  const auto device = one.List();
  ASSERT_TRUE(device);

  EXPECT_EQ(device->ReadReport(64), "") << "empty non-blocking node";
  std::string report(64, '\0');
  report[0] = '\x3F';
  report[1] = 'A';
  report[63] = 'Z';
  EXPECT_EQ(device->WriteReport(report), 64);
  EXPECT_EQ(device->ReadReport(64), report);

  EXPECT_EQ(device->WriteReport(report), 64);
  EXPECT_EQ(device->ReadReport(2),
            "\x3F"
            "A");

  // Closing and using it again opens it again.
  device->CloseHandles();
  EXPECT_EQ(device->WriteReport(report), 64);
  EXPECT_EQ(device->ReadReport(64), report);
  EXPECT_EQ(device->LastError(), "");
  EXPECT_EQ(device->WriteReport(""), -1);
  EXPECT_NE(device->LastError().find("empty report"), std::string::npos) << device->LastError();
  EXPECT_TRUE(device->Plugged());
}

TEST(HidLinuxDeviceIO, DeviceWithoutReportIdsGetsAZeroByteInFront) {
  TOneDevice one("keyboard_no_report_ids.bin");
  const fs::path node = one.tree.MakeFifoNode(3);
  const auto device = one.List();
  ASSERT_TRUE(device);
  const int kernelSide = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(kernelSide, 0);

  // hidraw gives an input report of such a device without an id byte.
  const std::string keys = Bytes({0x02, 0x00, 0x04, 0x05, 0, 0, 0, 0});
  ASSERT_EQ(::write(kernelSide, keys.data(), keys.size()), 8);
  EXPECT_EQ(device->ReadReport(9), std::string(1, '\0') + keys);
  ASSERT_EQ(::write(kernelSide, keys.data(), keys.size()), 8);
  EXPECT_EQ(device->ReadReport(3), Bytes({0x00, 0x02, 0x00}));

  // An output report goes with its 0 id byte, as hidraw takes it.
  EXPECT_EQ(device->WriteReport(Bytes({0x00, 0x01})), 2);
  char written[8] = {};
  EXPECT_EQ(::read(kernelSide, written, sizeof written), 2);
  EXPECT_EQ(std::string(written, 2), Bytes({0x00, 0x01}));
  ::close(kernelSide);
}

// A terminal whose master side closed fails writes with EIO, as a hidraw node of an unplugged
// device fails I/O.
TEST(HidLinuxDeviceIO, DeviceGoneErrorMarksItUnplugged) {
  if (::getsid(0) == ::getpid()) GTEST_SKIP() << "a session leader could take the terminal";
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    if (master >= 0) ::close(master);
    GTEST_SKIP() << "no pseudo terminals here";
  }
  TOneDevice one("dovela_vendor_id3f.bin");
  fs::create_symlink(::ptsname(master), one.tree.Dev() / "hidraw3");
  const auto device = one.List();
  ASSERT_TRUE(device);

  EXPECT_EQ(device->ReadReport(64), "");  // opens it; nothing waits
  EXPECT_EQ(device->LastError(), "");
  ::close(master);
  EXPECT_EQ(device->WriteReport(std::string(64, '\x3F')), -1);
  EXPECT_FALSE(device->Plugged());
  const std::string node = (one.tree.Dev() / "hidraw3").string();
  EXPECT_NE(device->LastError().find(node + ": write:"), std::string::npos) << device->LastError();
  EXPECT_NE(device->LastError().find("gone"), std::string::npos) << device->LastError();
}

// The work thread waits in poll on the node: a report ends the wait at once, and so do a
// wake-up and a close from another thread; a node that cannot be opened is waited on, not
// polled in a busy loop.
TEST(HidLinuxDeviceIO, AWaitEndsForAReportAWakeUpOrAClose) {
  using Clock = std::chrono::steady_clock;
  const auto msSince = [](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  TOneDevice one("dovela_vendor_id3f.bin");
  const fs::path node = one.tree.MakeFifoNode(3);
  const auto device = one.List();
  ASSERT_TRUE(device);
  auto start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(20)) << "opens the node; nothing waits";
  EXPECT_GE(msSince(start), 19);
  const int kernelSide = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(kernelSide, 0);

  const auto timedWait = [&](const std::function<void()>& action, bool readable) {
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      action();
    });
    const auto begin = Clock::now();
    EXPECT_EQ(device->WaitReadable(5000), readable);
    other.join();
    return msSince(begin);
  };
  const std::string report(64, '\x3F');
  EXPECT_LT(timedWait([&] { EXPECT_EQ(::write(kernelSide, report.data(), 64), 64); }, true), 4000);
  EXPECT_EQ(device->ReadReport(64), report);
  EXPECT_LT(timedWait([&] { device->Wake(); }, false), 4000);
  EXPECT_LT(timedWait([&] { device->CloseHandles(); }, false), 4000);
  ::close(kernelSide);

  fs::remove(node);  // the close above left no handle open
  start = Clock::now();
  EXPECT_FALSE(device->WaitReadable(20));
  EXPECT_GE(msSince(start), 19) << "a missing node: the whole limit";
  EXPECT_NE(device->LastError().find(node.string()), std::string::npos) << device->LastError();
}

// The Windows call HidD_SetNumInputBuffers has no Linux counterpart: callers ported from it
// must not fail, and the count stays hidraw's fixed ring.
TEST(HidLinuxDeviceIO, InputBufferCountIsTheKernelRing) {
  TOneDevice one("dovela_vendor_id3f.bin");
  const auto device = one.List();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->GetNumInputBuffers(), 64);
  EXPECT_TRUE(device->SetNumInputBuffers(512));
  EXPECT_EQ(device->GetNumInputBuffers(), 64);
}

TEST(HidLinuxDeviceIO, PermissionMessageNamesTheNodeAndTheRule) {
  const std::string message = uHidLinux::PermissionMessage("/dev/hidraw5");
  EXPECT_NE(message.find("/dev/hidraw5"), std::string::npos) << message;
  EXPECT_NE(message.find("packaging/udev/70-dovela-gsm.rules"), std::string::npos) << message;
  EXPECT_NE(message.find("/etc/udev/rules.d/70-dovela-gsm.rules"), std::string::npos) << message;
}

// Open tells at once why a listed device cannot be used: the errno and a message naming the
// node, and for a refused access what fixes it. Root opens any node, so the refusal comes
// from a stand-in for open(2).
TEST(HidLinuxDeviceIO, OpenSaysWhyTheNodeCannotBeOpened) {
  struct TCase {
    const char* name;
    std::function<void(TOneDevice&)> prepare;
    int code;
    std::vector<std::string> texts;  // in the message
  };
  const auto refuse = [](TOneDevice& one) {
    one.backend.SetOpenCall([](const char*, int) {
      errno = EACCES;
      return -1;
    });
  };
  const TCase cases[] = {
      {"missing node", [](TOneDevice&) {}, ENOENT, {": open: No such file"}},
      {"directory",
       [](TOneDevice& one) { fs::create_directory(one.tree.Dev() / "hidraw3"); },
       EISDIR,
       {": open: Is a directory"}},
      {"access refused",
       refuse,
       EACCES,
       {"No permission to open", "packaging/udev/70-dovela-gsm.rules", "/etc/udev/rules.d/",
        "udevadm control --reload-rules", "plug the device in again"}},
      {"fifo", [](TOneDevice& one) { one.tree.MakeFifoNode(3); }, 0, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TOneDevice one("dovela_vendor_id3f.bin");
    c.prepare(one);
    const auto device = one.List();
    ASSERT_TRUE(device);
    const auto result = device->Open();
    EXPECT_EQ(result.Code, c.code);
    EXPECT_EQ(result.Ok(), c.code == 0);
    if (c.code != 0) {
      EXPECT_NE(result.Message.find((one.tree.Dev() / "hidraw3").string()), std::string::npos)
          << result.Message;
    }
    for (const auto& text : c.texts)
      EXPECT_NE(result.Message.find(text), std::string::npos) << result.Message;
    EXPECT_TRUE(device->Plugged()) << "never opened: the node may just not be made yet";
    if (result.Ok()) device->Close();
  }
}

// Without a udev monitor an unplug shows as a node that is gone when it is opened again, by
// Open or by the next I/O after the handles were closed.
TEST(HidLinuxDeviceIO, ANodeGoneOnReopenMeansUnplugged) {
  const std::function<std::string(const THidPlatformDevicePtr&)> reopens[] = {
      [](const THidPlatformDevicePtr& d) { return d->Open().Message; },
      [](const THidPlatformDevicePtr& d) {
        d->ReadReport(64);
        return d->LastError();
      },
  };
  for (const auto& reopen : reopens) {
    TOneDevice one("dovela_vendor_id3f.bin");
    const fs::path node = one.tree.MakeFifoNode(3);
    const auto device = one.List();
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->Open().Ok());
    device->Close();
    fs::remove(node);
    const std::string message = reopen(device);
    EXPECT_FALSE(device->Plugged());
    EXPECT_NE(message.find(node.string() + ": open: No such file"), std::string::npos) << message;
    EXPECT_NE(message.find("gone"), std::string::npos) << message;
  }
}

// A pty master whose slave closed fails reads with EIO, as the node of an unplugged device
// does; the backend opens the master in place of the node.
TEST(HidLinuxDeviceIO, AReadFailingWithEioMeansUnplugged) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    if (master >= 0) ::close(master);
    GTEST_SKIP() << "no pseudo terminals here";
  }
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  TOneDevice one("dovela_vendor_id3f.bin");
  one.backend.SetOpenCall([master](const char*, int flags) {
    const int fd = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) ::fcntl(fd, F_SETFL, flags & O_NONBLOCK);
    return fd;
  });
  const auto device = one.List();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->Open().Ok());
  EXPECT_EQ(device->ReadReport(64), "") << "nothing waits";
  EXPECT_TRUE(device->Plugged());
  ::close(slave);
  EXPECT_EQ(device->ReadReport(64), "");
  EXPECT_FALSE(device->Plugged());
  EXPECT_NE(device->LastError().find(": read: Input/output error (the device is gone)"),
            std::string::npos)
      << device->LastError();
  device->Close();
  ::close(master);
}

// Checking a device back in at a refresh leaves alone the node a holder has open, and the
// reports waiting in it; the last holder's Close closes it.
TEST(HidLinuxDeviceIO, CloseHandlesLeavesAHeldNodeOpen) {
  TOneDevice one("dovela_vendor_id3f.bin");
  const fs::path node = one.tree.MakeFifoNode(3);
  const auto device = one.List();
  ASSERT_TRUE(device);
  ASSERT_TRUE(device->Open().Ok());
  ASSERT_TRUE(device->Open().Ok());  // a second holder
  const std::string report(64, '\x3F');
  ASSERT_EQ(device->WriteReport(report), 64);  // waits in the FIFO while it stays open
  device->CloseHandles();
  EXPECT_EQ(device->ReadReport(64), report);
  device->Close();
  device->CloseHandles();
  ASSERT_EQ(device->WriteReport(report), 64);
  EXPECT_EQ(device->ReadReport(64), report) << "one holder is left";

  device->Close();
  fs::remove(node);
  EXPECT_EQ(device->WriteReport(report), -1) << "the last Close closed the node";
  EXPECT_FALSE(device->Plugged());
}

// ---------------------------------------------------------------------------------------------

bool ThreadNamed(const std::string& name) {
  std::error_code ec;
  for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) return true;
  }
  return false;
}

TEST(HidLinuxBackend, StartsAndStopsOnTheRealSystem) {
  {
    TLinuxHidBackend backend;
    for (const auto& device : backend.PresentDevices()) {
      EXPECT_EQ(fs::path(device->Info().Path).parent_path(), fs::path("/dev"));
    }
  }
  // A system without udev runs without the monitor; with it the thread is ended and joined.
  EXPECT_FALSE(ThreadNamed("HID hot-plug"));
}

TEST(HidLinuxBackend, MonitorThreadIsNamedAndJoined) {
  TSysfsTree tree;  // its root stands in for udev's runtime dir
  {
    TLinuxHidBackend backend("/sys", "/dev", true, tree.Root());
    if (!backend.MonitorRunning()) GTEST_SKIP() << "no udev netlink monitor here";
    // The thread names itself once it runs.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ThreadNamed("HID hot-plug") && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(ThreadNamed("HID hot-plug"));
    backend.PresentDevices();
  }
  EXPECT_FALSE(ThreadNamed("HID hot-plug"));
}

TEST(HidLinuxBackend, ListingEventsAndIoRunConcurrently) {
  TSysfsTree tree;
  const std::string descriptor = ReadFixture("dovela_vendor_id3f.bin");
  const fs::path sysPath =
      tree.AddUsb(3, "0003:2047:0301.0005", kDovelaUevent, descriptor, kDovelaUsb);
  tree.AddUsb(4, "0003:2047:0301.0006", kDovelaUevent, descriptor, kDovelaUsb);
  tree.MakeFifoNode(3);
  tree.MakeFifoNode(4);
  TLinuxHidBackend backend(tree.Root(), tree.Dev(), false);
  const std::string report(64, '\x3F');

  std::atomic<bool> go{false};
  auto lister = [&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 100; ++i) {
      for (const auto& device : backend.PresentDevices()) {
        device->WriteReport(report);
        device->ReadReport(64);
        (void)device->LastError();
      }
      (void)backend.SkippedReasons();
    }
  };
  std::thread a(lister);
  std::thread b(lister);
  std::thread events([&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < 100; ++i) backend.HandleHotPlugEvent("remove", "hidraw3", sysPath);
  });
  go = true;
  a.join();
  b.join();
  events.join();

  const auto devices = backend.PresentDevices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_TRUE(devices[0]->Plugged());
  EXPECT_TRUE(devices[1]->Plugged());
}

}  // namespace
