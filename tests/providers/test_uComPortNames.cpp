// COM port names and the port-map folder.
#include "providers/uComPortNames.h"

#include <gtest/gtest.h>

#include "support/SerialPty.h"

namespace fs = std::filesystem;

TEST(ComPortNames, NamesMapToDevicesByTheOneRule) {
  testsupport::TTempFolder map;
  fs::create_symlink("/dev/ttyUSB0", map.Path() / "com3");
  fs::create_symlink("/dev/gone", map.Path() / "com4");     // dangling: still the map's
  fs::create_symlink("/dev/ttyUSB1", map.Path() / "COM5");  // not lower case: not an entry
  struct TCase {
    const char* name;
    std::string path;
  };
  const TCase cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"com12", "/dev/ttyS11"},
      {"Com65535", "/dev/ttyS65534"},
      {"COM3", (map.Path() / "com3").string()},
      {"COM4", (map.Path() / "com4").string()},
      {"COM5", "/dev/ttyS4"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0",
       "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"},
      {"COM0", ""},
      {"COM65536", ""},
      {"COM", ""},
      {"COM1x", ""},
      {"ttyUSB0", ""},
      {"/dev/", ""},
      {"dev/ttyS0", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(uComPortNames::DevicePath(c.name, map.Path()), c.path);
  }
  EXPECT_EQ(uComPortNames::Describe("COM3", map.Path()),
            (map.Path() / "com3").string() + " -> /dev/ttyUSB0");
  EXPECT_EQ(uComPortNames::Describe("COM2", map.Path()), "/dev/ttyS1");
  EXPECT_EQ(uComPortNames::Describe("/dev/ttyACM0", map.Path()), "/dev/ttyACM0");
}

TEST(ComPortNames, NumbersAndNames) {
  EXPECT_EQ(uComPortNames::ComNumber("COM7"), 7);
  EXPECT_EQ(uComPortNames::ComNumber("cOm007"), 7);
  EXPECT_EQ(uComPortNames::ComNumber("/dev/ttyS6"), 0);
  EXPECT_EQ(uComPortNames::ComName(7), "COM7");
  EXPECT_EQ(uComPortNames::ComName(0), "");
}

TEST(ComPortNames, TheMapFolderComesFromTheEnvironment) {
  testsupport::TScopedEnv home("HOME", "/home/tech");
  {
    testsupport::TScopedEnv xdg("XDG_CONFIG_HOME", "");
    testsupport::TScopedEnv map(uComPortNames::kPortMapVariable, "");
    EXPECT_EQ(uComPortNames::PortMapFolder(),
              fs::path("/home/tech/.config/dovela-gsm-configurator/ports"));
  }
  {
    testsupport::TScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
    testsupport::TScopedEnv map(uComPortNames::kPortMapVariable, "");
    EXPECT_EQ(uComPortNames::PortMapFolder(), fs::path("/cfg/dovela-gsm-configurator/ports"));
  }
  testsupport::TScopedEnv map(uComPortNames::kPortMapVariable, "/srv/ports");
  EXPECT_EQ(uComPortNames::PortMapFolder(), fs::path("/srv/ports"));
}
