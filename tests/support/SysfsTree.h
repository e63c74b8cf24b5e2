#pragma once
// A sysfs tree in a temporary folder, laid out as the kernel lays out hidraw devices, with a
// dev folder for their nodes: the fixture the Linux HID backend lists devices from.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace testsupport {

namespace fs = std::filesystem;

// A file of tests/data/hid (described in its README.md).
inline std::string ReadHidFixture(const std::string& name) {
  std::ifstream in(fs::path(DOVELA_TEST_DATA) / "hid" / name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string Uevent(const std::string& hidId, const std::string& name,
                          const std::string& uniq) {
  return "DRIVER=hid-generic\nHID_ID=" + hidId + "\nHID_NAME=" + name +
         "\nHID_PHYS=usb-0000:00:14.0-2/input0\nHID_UNIQ=" + uniq + "\nMODALIAS=hid:b0003\n";
}

inline const std::string kDovelaUevent = Uevent("0003:00002047:00000301", "Dovela GSM", "");
inline const std::map<std::string, std::string> kDovelaUsb = {
    {"manufacturer", "Dovela\n"}, {"product", "GSM Modem\n"}, {"serial", "DV123456\n"}};

// A sysfs tree in a temp dir, laid out as the kernel does, with hidraw class links.
class TSysfsTree {
 public:
  TSysfsTree() {
    std::string pattern = (fs::temp_directory_path() / "hidlinux-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directories(root_ / "class" / "hidraw");
    fs::create_directories(Dev());
  }
  ~TSysfsTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  TSysfsTree(const TSysfsTree&) = delete;
  TSysfsTree& operator=(const TSysfsTree&) = delete;

  const fs::path& Root() const { return root_; }
  fs::path Dev() const { return root_ / "dev"; }

  // A USB device on port 1-<n> with interface 1-<n>:1.0 and its HID device hidName.
  // usbAttributes: the USB device's files besides idVendor (left out when not given).
  fs::path AddUsb(int n, const std::string& hidName, const std::string& uevent,
                  const std::string& descriptor,
                  const std::map<std::string, std::string>& usbAttributes) {
    const std::string port = "1-" + std::to_string(n);
    const fs::path usbDir = fs::path("devices/pci0000:00/0000:00:14.0/usb1") / port;
    WriteFile(root_ / usbDir / "idVendor", "2047\n");
    for (const auto& [name, value] : usbAttributes) WriteFile(root_ / usbDir / name, value);
    return AddHid(n, usbDir / (port + ":1.0") / hidName, uevent, descriptor);
  }
  // A HID device without a USB parent, as Bluetooth and uhid devices are.
  fs::path AddVirtual(int n, const std::string& hidName, const std::string& uevent,
                      const std::string& descriptor) {
    return AddHid(n, fs::path("devices/virtual/misc/uhid") / hidName, uevent, descriptor);
  }
  // The HID device dir of node n.
  fs::path HidDir(int n) const { return root_ / hidDirs_.at(n); }
  // Takes node n out of sysfs, as an unplug does.
  void Remove(int n) {
    fs::remove(root_ / "class" / "hidraw" / Node(n));
    fs::remove_all(HidDir(n));
    hidDirs_.erase(n);
  }
  // A FIFO standing in for the node /dev/hidrawN.
  fs::path MakeFifoNode(int n) const {
    const fs::path node = Dev() / Node(n);
    EXPECT_EQ(::mkfifo(node.c_str(), 0600), 0);
    return node;
  }

  static std::string Node(int n) { return "hidraw" + std::to_string(n); }

 private:
  fs::path AddHid(int n, const fs::path& hidDir, const std::string& uevent,
                  const std::string& descriptor) {
    WriteFile(root_ / hidDir / "uevent", uevent);
    WriteFile(root_ / hidDir / "report_descriptor", descriptor);
    const fs::path nodeDir = hidDir / "hidraw" / Node(n);
    fs::create_directories(root_ / nodeDir);
    fs::create_directory_symlink(fs::path("../..") / nodeDir, root_ / "class" / "hidraw" / Node(n));
    hidDirs_[n] = hidDir;
    return fs::canonical(root_ / nodeDir);
  }

  fs::path root_;
  std::map<int, fs::path> hidDirs_;
};

}  // namespace testsupport
