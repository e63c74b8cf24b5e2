#include "bridge/uCommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using uCommandLine::TOptions;

TEST(CommandLine, ReadsTheSwitchesAndRejectsOthers) {
  struct Case {
    std::vector<std::string> arguments;
    bool ok;
    bool demo, headless, help, version;
    std::string serial;
    std::string error;
    std::string listen = "";
  };
  const Case cases[] = {
      {{}, true, false, false, false, false, "", ""},
      {{"--demo"}, true, true, false, false, false, "", ""},
      {{"--headless", "--serial", "DG1"}, true, false, true, false, false, "DG1", ""},
      {{"--headless", "--serial=DG 2"}, true, false, true, false, false, "DG 2", ""},
      {{"-dst", "/DST", "dst"}, true, false, false, false, false, "", ""},  // the data spy's
      {{"--help"}, true, false, false, true, false, "", ""},
      {{"-h"}, true, false, false, true, false, "", ""},
      {{"--version"}, true, false, false, false, true, "", ""},
      {{"--serial"}, false, false, false, false, false, "", "--serial needs a serial number"},
      {{"--demo", "--bogus"}, false, true, false, false, false, "", "unknown switch: --bogus"},
      {{"demo"}, false, false, false, false, false, "", "unknown switch: demo"},
      {{"--headless", "--listen", "192.168.1.10"},
       true,
       false,
       true,
       false,
       false,
       "",
       "",
       "192.168.1.10"},
      {{"--listen=::", "--headless"}, true, false, true, false, false, "", "", "::"},
      {{"--headless", "--listen"},
       false,
       false,
       true,
       false,
       false,
       "",
       "--listen needs an address"},
      {{"--headless", "--listen", "lan-host"},
       false,
       false,
       true,
       false,
       false,
       "",
       "--listen needs an IP address, such as 192.168.1.10 or ::1: lan-host"},
      {{"--listen", "0.0.0.0"},
       false,
       false,
       false,
       false,
       false,
       "",
       "--listen works only with --headless"},
  };
  for (const Case& c : cases) {
    TOptions options;
    std::string error;
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments.back());
    EXPECT_EQ(uCommandLine::Parse(c.arguments, options, error), c.ok);
    EXPECT_EQ(error, c.error);
    if (!c.ok) continue;
    EXPECT_EQ(options.Demo, c.demo);
    EXPECT_EQ(options.Headless, c.headless);
    EXPECT_EQ(options.Help, c.help);
    EXPECT_EQ(options.Version, c.version);
    EXPECT_EQ(options.Serial, c.serial);
    EXPECT_EQ(options.Listen, c.listen);
  }
  EXPECT_NE(uCommandLine::UsageText().find("--headless"), std::string::npos);
  EXPECT_NE(uCommandLine::UsageText().find("--listen"), std::string::npos);
  EXPECT_EQ(uCommandLine::ListenWarning("0.0.0.0"),
            "Warning: listening on 0.0.0.0: whoever reaches that address can configure the "
            "device.\n");
  EXPECT_EQ(uCommandLine::VersionText(), "Dovela GSM Configurator 1.4.0.0\n");
}
