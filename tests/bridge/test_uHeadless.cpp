// The headless mode with a device that is listed but cannot be opened: its output says which
// device, why, and what fixes it, and the mode ends with status 1 instead of serving pages
// whose every request would come back empty.
#include "bridge/uHeadless.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "providers/uCI_Providers.h"
#include "providers/uHidDeviceManager.h"
#include "providers/uHidLinux.h"
#include "support/SysfsTree.h"

namespace fs = std::filesystem;

namespace {

// The program's folder with the page folder of the device type, in a temp dir.
class TApplicationDir {
 public:
  TApplicationDir() {
    std::string pattern = (fs::temp_directory_path() / "headless-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    fs::create_directories(dir_ / "Web" / "DovelaGSM");
  }
  ~TApplicationDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  TApplicationDir(const TApplicationDir&) = delete;
  TApplicationDir& operator=(const TApplicationDir&) = delete;
  const fs::path& Path() const { return dir_; }

 private:
  fs::path dir_;
};

}  // namespace

TEST(Headless, ADeviceThatCannotBeOpenedIsReportedWithWhatFixesIt) {
  uCI_Providers::TProvidersScope providers({.Linux = false, .Simulated = nullptr});
  struct TCase {
    const char* name;
    std::function<void(uHidLinux::TLinuxHidBackend&)> prepare;
    std::vector<std::string> texts;
  };
  const TCase cases[] = {
      {"access refused",
       [](uHidLinux::TLinuxHidBackend& backend) {
         backend.SetOpenCall([](const char*, int) {
           errno = EACCES;
           return -1;
         });
       },
       {"No permission to open", "/etc/udev/rules.d/", "sudo udevadm control --reload-rules",
        "plug the device in again", "(error code 13)"}},
      {"missing node",
       [](uHidLinux::TLinuxHidBackend&) {},
       {": open: No such file or directory (error code 2)"}},
  };
  auto& manager = uHidDeviceManager::GetHidDeviceManager();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TSysfsTree tree;
    tree.AddUsb(
        3, "0003:2047:0301.0005", testsupport::kDovelaUevent,
        testsupport::ReadHidFixture("dovela_vendor_id3f.bin"),
        {{"manufacturer", "Dovela\n"}, {"product", "Dovela GSM Modem\n"}, {"serial", "DV1\n"}});
    auto backend = std::make_shared<uHidLinux::TLinuxHidBackend>(tree.Root(), tree.Dev(), false);
    c.prepare(*backend);
    manager.Controller().AddBackend(backend);
    TApplicationDir app;
    std::ostringstream out, err;

    EXPECT_EQ(uHeadless::RunHeadless({}, app.Path(), out, err), 1);
    EXPECT_EQ(out.str(), "") << "no address: nothing is served";
    const std::string text = err.str();
    EXPECT_NE(text.find("err - not open: the device DV1 could not be opened."), std::string::npos)
        << text;
    EXPECT_NE(text.find((tree.Dev() / "hidraw3").string()), std::string::npos) << text;
    for (const auto& expected : c.texts) EXPECT_NE(text.find(expected), std::string::npos) << text;

    manager.Controller().RemoveBackend(backend);
    manager.Clear();
  }
}
