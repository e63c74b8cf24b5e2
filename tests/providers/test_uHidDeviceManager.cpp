#include "providers/uHidDeviceManager.h"

#include <gtest/gtest.h>

#include "support/SimulatedHid.h"

using testsupport::DovelaInfo;
using uHidDeviceManager::GetHidDeviceManager;

namespace {
class HidDeviceManagerTest : public testing::Test {
 protected:
  testsupport::TSimulatedDevices devices_;
};
}  // namespace

TEST_F(HidDeviceManagerTest, FindTakesTheHighestMatchExactSerialAndIdsAsIntegers) {
  devices_.Add(DovelaInfo("AAA"));
  auto other = DovelaInfo("X");
  other.VendorID = 0x1234;
  devices_.Add(other);
  devices_.Add(DovelaInfo("BBB"));
  auto& manager = GetHidDeviceManager();
  manager.Refresh();
  ASSERT_EQ(manager.GetCount(), 3);

  struct Case {
    int vid, pid;
    const char* serial;
    int index;
  };
  const Case cases[] = {
      {0x2047, 0x0301, "", 2},                                        // two match: the higher index
      {0x2047, 0x0301, "AAA", 0},       {0x2047, 0x0301, "aaa", -1},  // letter case counts
      {0x2047 + 65536, 0x0301, "", -1}, {0x2047, 0x0301 + 65536, "", -1},
      {0x1234, 0x0301, "", 1},          {0x2047, 0x0302, "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.vid << "/" << c.pid << "/" << c.serial);
    EXPECT_EQ(manager.IndexOf(c.vid, c.pid, c.serial), c.index);
    const auto found = manager.Find(c.vid, c.pid, c.serial);
    EXPECT_EQ(found, c.index < 0 ? nullptr : manager.GetItem(c.index));
  }
  EXPECT_EQ(manager.GetItem(-1), nullptr);
  EXPECT_EQ(manager.GetItem(3), nullptr);
}

TEST_F(HidDeviceManagerTest, EntriesOutliveAnUnplugUntilTheNextRefresh) {
  auto device = devices_.Add(DovelaInfo("U1"));
  auto& manager = GetHidDeviceManager();
  manager.Refresh();
  auto entry = manager.Find(0x2047, 0x0301, "U1");
  ASSERT_NE(entry, nullptr);
  device->Unplug();
  EXPECT_EQ(manager.GetCount(), 1);
  EXPECT_EQ(entry->GetVendorID(), 0x2047);
  EXPECT_FALSE(entry->GetDevice()->Plugged());
  manager.Refresh();
  EXPECT_EQ(manager.GetCount(), 0);
  EXPECT_EQ(entry->GetDevice(), nullptr);  // the old entry gave its device back
}

TEST_F(HidDeviceManagerTest, RefreshTwiceGivesTheSameDevicesInTheSameOrder) {
  devices_.Add(DovelaInfo("R1"));
  devices_.Add(DovelaInfo("R2"));
  devices_.Add(DovelaInfo("R3"));
  auto& manager = GetHidDeviceManager();
  manager.Refresh();
  std::vector<uHidPlatform::IHidPlatformDevice*> first;
  for (int i = 0; i < manager.GetCount(); ++i)
    first.push_back(manager.GetItem(i)->GetDevice().get());
  manager.Refresh();
  ASSERT_EQ(manager.GetCount(), 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(manager.GetItem(i)->GetDevice().get(), first[static_cast<std::size_t>(i)]);
  EXPECT_EQ(manager.GetItem(0)->GetSerialNumber(), "R1");
  EXPECT_EQ(manager.GetItem(2)->GetSerialNumber(), "R3");
}

TEST_F(HidDeviceManagerTest, ADeviceIsCheckedOutOncePerListing) {
  auto device = devices_.Add(DovelaInfo("C1"));
  auto& manager = GetHidDeviceManager();
  manager.Refresh();
  auto& controller = manager.Controller();
  EXPECT_EQ(controller.CheckOut(0), nullptr);  // the manager's entry has it
  manager.Clear();
  EXPECT_EQ(manager.GetCount(), 0);
  EXPECT_NE(controller.CheckOut(0), nullptr);  // given back by Clear
  controller.CheckIn(device);
}

TEST(HidPlatformController, OnlyOneExistsAtATime) {
  GetHidDeviceManager();  // owns the process's controller
  EXPECT_THROW(uHidPlatform::THidPlatformController(), std::logic_error);
}
