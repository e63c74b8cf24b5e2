#include "providers/uHidLinux.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

#include "ci/uFileUtils.h"
#include "ci/uThreadUtils.h"
#include "socket/uPollWait.h"

namespace fs = std::filesystem;

namespace uHidLinux {

// ---------------------------------------------------------------------------------------------
// Report descriptor
// ---------------------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t kMaxReportSizeBits = 256;
constexpr std::uint64_t kMaxReportBytes = 4096;  // report-id byte included

enum TReportKind { kInput = 0, kOutput = 1, kFeature = 2 };

// The global items that decide report lengths; Push and Pop save and restore them.
struct TGlobalState {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

std::string AtOffset(std::string what, std::size_t offset) {
  what += " at offset " + std::to_string(offset);
  return what;
}

}  // namespace

std::optional<TReportLengths> ComputeReportLengths(std::string_view descriptor,
                                                   std::string& error) {
  error.clear();
  if (descriptor.empty()) {
    error = "empty report descriptor";
    return std::nullopt;
  }
  auto fail = [&error](std::string what, std::size_t offset) {
    error = AtOffset(std::move(what), offset);
    return std::nullopt;
  };

  TGlobalState state;
  std::vector<TGlobalState> stack;
  std::map<std::uint32_t, std::array<std::uint64_t, 3>> bitsById;  // data bits per kind
  bool usesIds = false;
  int depth = 0;

  std::size_t pos = 0;
  while (pos < descriptor.size()) {
    const std::size_t start = pos;
    const auto prefix = static_cast<std::uint8_t>(descriptor[pos]);
    const std::size_t left = descriptor.size() - pos;

    // Long item: 0xFE, data size, tag, data. No long item tags are defined, so it is skipped.
    if (prefix == 0xFE) {
      if (left < 3) return fail("long item header cut short", start);
      const auto dataSize = static_cast<std::uint8_t>(descriptor[pos + 1]);
      if (left - 3 < dataSize) return fail("long item cut short", start);
      pos += 3 + dataSize;
      continue;
    }

    // Short item: bits 0-1 data size (3 means 4 bytes), bits 2-3 type, bits 4-7 tag.
    const std::size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
    const int type = (prefix >> 2) & 0x03;
    const int tag = prefix >> 4;
    if (left - 1 < size) return fail("truncated item", start);
    std::uint32_t value = 0;  // little-endian, unsigned for the items used here
    for (std::size_t i = 0; i < size; ++i) {
      value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(descriptor[pos + 1 + i]))
               << (8 * i);
    }
    pos += 1 + size;

    if (type == 0) {  // main
      int kind = -1;
      switch (tag) {
        case 0x8:
          kind = kInput;
          break;
        case 0x9:
          kind = kOutput;
          break;
        case 0xB:
          kind = kFeature;
          break;
        case 0xA:
          ++depth;
          break;
        case 0xC:
          if (depth == 0) return fail("End Collection without Collection", start);
          --depth;
          break;
        default:
          break;
      }
      if (kind >= 0) {
        // At most 256 * (2^32 - 1) bits, and the sum stays checked: no overflow in 64 bits.
        auto& bits = bitsById[state.reportId][static_cast<std::size_t>(kind)];
        bits += static_cast<std::uint64_t>(state.reportSize) * state.reportCount;
        if ((bits + 7) / 8 + 1 > kMaxReportBytes) {
          return fail("report " + std::to_string(state.reportId) + " longer than " +
                          std::to_string(kMaxReportBytes) + " bytes",
                      start);
        }
      }
    } else if (type == 1) {  // global
      switch (tag) {
        case 0x7:
          if (value > kMaxReportSizeBits) {
            return fail("Report Size " + std::to_string(value) + " above " +
                            std::to_string(kMaxReportSizeBits),
                        start);
          }
          state.reportSize = value;
          break;
        case 0x8:
          if (value == 0 || value > 255) {
            return fail("Report ID " + std::to_string(value) + " out of 1..255", start);
          }
          state.reportId = value;
          usesIds = true;
          break;
        case 0x9:
          state.reportCount = value;
          break;
        case 0xA:
          stack.push_back(state);
          break;
        case 0xB:
          if (stack.empty()) return fail("Pop without Push", start);
          state = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    }
    // Local items and reserved types do not change lengths.
  }
  if (depth != 0) return fail("collection not closed", descriptor.size());

  TReportLengths lengths;
  lengths.UsesReportIds = usesIds;
  for (const auto& [id, bits] : bitsById) {
    int* const target[3] = {&lengths.Input, &lengths.Output, &lengths.Feature};
    for (std::size_t kind = 0; kind < 3; ++kind) {
      if (bits[kind] == 0) continue;  // a report of no data bits is none
      const int bytes = static_cast<int>((bits[kind] + 7) / 8 + 1);
      *target[kind] = std::max(*target[kind], bytes);
    }
  }
  return lengths;
}

std::string PermissionMessage(const fs::path& node) {
  return "No permission to open " + node.string() +
         ". Install the udev rule packaging/udev/70-dovela-gsm.rules as "
         "/etc/udev/rules.d/70-dovela-gsm.rules (sudo cp packaging/udev/70-dovela-gsm.rules "
         "/etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo udevadm trigger), "
         "then plug the device in again.";
}

// ---------------------------------------------------------------------------------------------
// Device
// ---------------------------------------------------------------------------------------------

namespace {

// The kernel keeps a ring of this many input reports per open hidraw file
// (HIDRAW_BUFFER_SIZE in include/linux/hidraw.h); at most 63 wait, and a current kernel drops
// new reports while it is full (drivers/hid/hidraw.c).
constexpr int kHidrawRingSize = 64;
// The largest report hidraw passes in one read (HID_MAX_BUFFER_SIZE in include/linux/hid.h).
constexpr std::size_t kMaxReadBytes = 16384;

std::string ErrnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

bool DeviceGone(int err) {
  return err == ENODEV || err == EIO || err == ENXIO;
}

// What one sysfs scan found for a hidraw node.
struct TScanned {
  int number = 0;
  fs::path sysPath;  // canonical .../<hid-dev>/hidraw/hidrawN
  uHidPlatform::THidDeviceInfo info;
  TReportLengths lengths;
};

}  // namespace

class TLinuxHidDevice final : public uHidPlatform::IHidPlatformDevice {
 public:
  TLinuxHidDevice(const TScanned& scanned, TOpenCall openCall)
      : info_(scanned.info),
        usesIds_(scanned.lengths.UsesReportIds),
        featureLength_(scanned.lengths.Feature),
        sysPath_(scanned.sysPath),
        openCall_(std::move(openCall)) {}
  ~TLinuxHidDevice() override = default;
  TLinuxHidDevice(const TLinuxHidDevice&) = delete;
  TLinuxHidDevice& operator=(const TLinuxHidDevice&) = delete;

  const uHidPlatform::THidDeviceInfo& Info() const override { return info_; }
  bool Plugged() const override { return plugged_.load(); }

  int WriteReport(const std::string& report) override {
    std::lock_guard lock(mutex_);
    if (!ReadyLocked()) return -1;
    if (report.empty()) {
      lastError_ = info_.Path + ": empty report";
      return -1;
    }
    // hidraw takes the report-id byte first, 0 for a device without report ids
    // (Documentation/hid/hidraw.rst), which is our layout already.
    ssize_t n;
    do {
      n = ::write(node_->fd, report.data(), report.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      FailLocked("write", errno);
      return -1;
    }
    return static_cast<int>(n);
  }

  std::string ReadReport(int maxLength) override {
    std::lock_guard lock(mutex_);
    if (maxLength <= 0 || !ReadyLocked()) return {};
    buffer_.resize(kMaxReadBytes + 1);
    // For a device without report ids hidraw returns no report-id byte
    // (Documentation/hid/hidraw.rst); our layout always starts with it, so read behind a 0.
    char* const data = buffer_.data() + 1;
    ssize_t n;
    do {
      n = ::read(node_->fd, data, kMaxReadBytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) FailLocked("read", errno);
      return {};
    }
    if (n == 0) return {};
    std::string_view report(data, static_cast<std::size_t>(n));
    if (!usesIds_) {
      buffer_[0] = '\0';
      report = std::string_view(buffer_.data(), static_cast<std::size_t>(n) + 1);
    }
    return std::string(report.substr(0, static_cast<std::size_t>(maxLength)));
  }

  uHidPlatform::THidOpenResult Open() override {
    std::lock_guard lock(mutex_);
    if (!plugged_.load()) return {ENODEV, info_.Path + ": the device was unplugged"};
    if (!node_) {
      if (const int err = OpenNodeLocked()) return {err, lastError_};
    }
    ++holders_;
    return {};
  }

  void Close() override {
    {
      std::lock_guard lock(mutex_);
      if (holders_ == 0 || --holders_ > 0) return;
      node_.reset();  // closed once a wait on it has returned too
    }
    wake_.Signal();
  }

  void CloseHandles() override {
    {
      std::lock_guard lock(mutex_);
      if (holders_ > 0) return;  // its ring holds reports a holder has yet to read
      node_.reset();             // closed once a wait on it has returned too
    }
    wake_.Signal();
  }

  bool WaitReadable(std::uint32_t timeoutMs) override {
    std::shared_ptr<const TNode> node;
    {
      std::lock_guard lock(mutex_);
      if (ReadyLocked()) node = node_;
    }
    // Without the lock, so writes go on meanwhile; the node stays open while it is held.
    return uPollWait::WaitReadable(node ? node->fd : -1, wake_, timeoutMs).Readable;
  }

  void Wake() override { wake_.Signal(); }

  int GetNumInputBuffers() override { return kHidrawRingSize; }
  // The mapping of the Windows call HidD_SetNumInputBuffers, which has no Linux counterpart:
  // hidraw's ring is fixed, so there is nothing to set and nothing is recorded.
  bool SetNumInputBuffers(int /*count*/) override { return true; }

  std::string LastError() const override {
    std::lock_guard lock(mutex_);
    return lastError_;
  }

  void MarkUnplugged() { plugged_.store(false); }
  const fs::path& SysPath() const { return sysPath_; }

  // The same device as the scan found: same node path, ids, serial, sysfs device and lengths.
  bool SameDevice(const TScanned& s) const {
    return info_.Path == s.info.Path && info_.VendorID == s.info.VendorID &&
           info_.ProductID == s.info.ProductID && info_.SerialNumber == s.info.SerialNumber &&
           info_.InputReportByteLength == s.info.InputReportByteLength &&
           info_.OutputReportByteLength == s.info.OutputReportByteLength &&
           usesIds_ == s.lengths.UsesReportIds && featureLength_ == s.lengths.Feature &&
           sysPath_ == s.sysPath;
  }

 private:
  // Opens the node when needed; false with lastError_ set when I/O cannot go on.
  bool ReadyLocked() {
    if (!plugged_.load()) {
      lastError_ = info_.Path + ": the device was unplugged";
      return false;
    }
    return node_ || OpenNodeLocked() == 0;
  }

  // Opens the node: 0, or the errno of the failure with lastError_ set. A node that opened
  // before and is gone now (ENOENT) went with its device: without a udev monitor that is how
  // an unplug shows.
  int OpenNodeLocked() {
    const int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    const int fd =
        openCall_ ? openCall_(info_.Path.c_str(), flags) : ::open(info_.Path.c_str(), flags);
    if (fd >= 0) {
      node_ = std::make_shared<const TNode>(fd);
      openedBefore_ = true;
      return 0;
    }
    const int err = errno != 0 ? errno : EIO;
    if (err == EACCES || err == EPERM) {
      lastError_ = PermissionMessage(info_.Path);
    } else if (err == ENOENT && openedBefore_) {
      plugged_.store(false);
      lastError_ = info_.Path + ": open: " + ErrnoText(err) + " (the device is gone)";
    } else {
      FailLocked("open", err);
    }
    return err;
  }

  void FailLocked(const char* what, int err) {
    lastError_ = info_.Path + ": " + what + ": " + ErrnoText(err);
    if (DeviceGone(err)) {
      plugged_.store(false);
      lastError_ += " (the device is gone)";
    }
  }

  const uHidPlatform::THidDeviceInfo info_;
  const bool usesIds_;
  const int featureLength_;
  const fs::path sysPath_;
  std::atomic<bool> plugged_{true};

  // The open node; shared with a wait in progress, so a close never pulls the descriptor
  // from under its poll.
  struct TNode {
    explicit TNode(int descriptor) : fd(descriptor) {}
    ~TNode() { ::close(fd); }
    TNode(const TNode&) = delete;
    TNode& operator=(const TNode&) = delete;
    const int fd;
  };

  const TOpenCall openCall_;  // open(2) when empty
  mutable std::mutex mutex_;
  std::shared_ptr<const TNode> node_;
  int holders_ = 0;            // successful Opens not yet matched by a Close
  bool openedBefore_ = false;  // the node was there once
  uPollWait::TWakeEvent wake_;
  std::string lastError_;
  std::string buffer_;
};

// ---------------------------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxFileBytes = 65536;  // sysfs attributes here are at most a page

// The whole file, or nullopt with the reason in error.
std::optional<std::string> ReadFile(const fs::path& path, std::string& error) {
  std::string content;
  if (!uFileUtils::ReadWholeFile(path, content, error, {.MaxBytes = kMaxFileBytes}))
    return std::nullopt;
  return content;
}

// A sysfs text attribute without its trailing newline; nullopt when it cannot be read.
std::optional<std::string> ReadAttribute(const fs::path& path) {
  std::string ignored;
  auto text = ReadFile(path, ignored);
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  return text;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value, int base) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

// "hidraw12" -> 12.
std::optional<int> NodeNumber(std::string_view name) {
  constexpr std::string_view kPrefix = "hidraw";
  if (!name.starts_with(kPrefix)) return std::nullopt;
  int number = 0;
  if (!ParseNumber(name.substr(kPrefix.size()), number, 10) || number < 0) return std::nullopt;
  return number;
}

// The value of KEY in a uevent file ("KEY=value" lines), nullopt when absent.
std::optional<std::string> UeventValue(std::string_view uevent, std::string_view key) {
  while (!uevent.empty()) {
    const std::size_t eol = uevent.find('\n');
    const std::string_view line = uevent.substr(0, eol);
    uevent = eol == std::string_view::npos ? std::string_view() : uevent.substr(eol + 1);
    const std::size_t eq = line.find('=');
    if (eq != std::string_view::npos && line.substr(0, eq) == key) {
      return std::string(line.substr(eq + 1));
    }
  }
  return std::nullopt;
}

// HID_ID "0003:00002047:00000301" (bus:vendor:product in hex) -> vendor, product.
bool ParseHidId(std::string_view text, std::uint16_t& vendor, std::uint16_t& product) {
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  std::uint32_t bus = 0, v = 0, p = 0;
  if (!ParseNumber(text.substr(0, first), bus, 16) ||
      !ParseNumber(text.substr(first + 1, second - first - 1), v, 16) ||
      !ParseNumber(text.substr(second + 1), p, 16) || v > 0xFFFF || p > 0xFFFF) {
    return false;
  }
  vendor = static_cast<std::uint16_t>(v);
  product = static_cast<std::uint16_t>(p);
  return true;
}

// The USB device dir above hidDir: the nearest ancestor inside root with an idVendor file.
std::optional<fs::path> FindUsbDevice(const fs::path& hidDir, const fs::path& root) {
  std::error_code ec;
  for (fs::path dir = hidDir.parent_path(); dir != root && dir != dir.parent_path();
       dir = dir.parent_path()) {
    const fs::path rel = dir.lexically_relative(root);
    if (rel.empty() || *rel.begin() == "..") break;  // left the sysfs tree
    if (fs::is_regular_file(dir / "idVendor", ec)) return dir;
  }
  return std::nullopt;
}

// Reads one class/hidraw entry; nullopt with the reason in error when it is left out.
std::optional<TScanned> ScanNode(const fs::path& link, int number, const fs::path& root,
                                 const fs::path& devRoot, std::string& error) {
  std::error_code ec;
  const fs::path node = fs::canonical(link, ec);
  if (ec) {
    error = "cannot resolve " + link.string() + ": " + ec.message();
    return std::nullopt;
  }
  if (node.parent_path().filename() != "hidraw") {
    error = "unexpected sysfs layout " + node.string();
    return std::nullopt;
  }
  const fs::path hidDir = node.parent_path().parent_path();

  const auto uevent = ReadFile(hidDir / "uevent", error);
  if (!uevent) {
    error = "uevent: " + error;
    return std::nullopt;
  }
  const auto hidId = UeventValue(*uevent, "HID_ID");
  TScanned s;
  s.number = number;
  s.sysPath = node;
  if (!hidId || !ParseHidId(*hidId, s.info.VendorID, s.info.ProductID)) {
    error = hidId ? "uevent: bad HID_ID \"" + *hidId + "\"" : "uevent: no HID_ID";
    return std::nullopt;
  }

  const auto descriptor = ReadFile(hidDir / "report_descriptor", error);
  if (!descriptor) {
    error = "report descriptor: " + error;
    return std::nullopt;
  }
  const auto lengths = ComputeReportLengths(*descriptor, error);
  if (!lengths) {
    error = "report descriptor: " + error;
    return std::nullopt;
  }
  s.lengths = *lengths;
  s.info.InputReportByteLength = lengths->Input;
  s.info.OutputReportByteLength = lengths->Output;
  s.info.Path = (devRoot / link.filename()).string();

  // Strings from the USB device; HID_NAME and HID_UNIQ where it has none (Bluetooth, uhid).
  std::optional<std::string> manufacturer, product, serial;
  if (const auto usb = FindUsbDevice(hidDir, root)) {
    manufacturer = ReadAttribute(*usb / "manufacturer");
    product = ReadAttribute(*usb / "product");
    serial = ReadAttribute(*usb / "serial");
  }
  s.info.Manufacturer = manufacturer.value_or("");
  s.info.Product = product ? *product : UeventValue(*uevent, "HID_NAME").value_or("");
  s.info.SerialNumber = serial ? *serial : UeventValue(*uevent, "HID_UNIQ").value_or("");
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Backend
// ---------------------------------------------------------------------------------------------

TLinuxHidBackend::TLinuxHidBackend(fs::path sysfsRoot, fs::path devRoot, bool monitor,
                                   const fs::path& udevRunDir)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {
  if (!monitor) return;
  // Without udev (no /run/udev, as in a container) no events would come: no monitor then.
  std::error_code ec;
  if (!fs::is_directory(udevRunDir, ec)) return;
  udev_ = udev_new();
  if (udev_ != nullptr) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ != nullptr &&
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) >= 0 &&
      udev_monitor_enable_receiving(monitor_) >= 0) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  if (wakeFd_ >= 0) {
    try {
      monitorThread_ = std::thread([this] { MonitorLoop(); });
      return;
    } catch (const std::system_error&) {
      // No thread to be had: go on without the monitor.
    }
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
  wakeFd_ = -1;
  monitor_ = nullptr;
  udev_ = nullptr;
}

TLinuxHidBackend::~TLinuxHidBackend() {
  if (monitorThread_.joinable()) {
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    monitorThread_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

void TLinuxHidBackend::MonitorLoop() {
  uThreadUtils::SetCurrentThreadName("HID hot-plug");
  pollfd fds[2] = {{udev_monitor_get_fd(monitor_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;  // the destructor's signal
    if ((fds[0].revents & (POLLHUP | POLLNVAL)) != 0) return;
    if ((fds[0].revents & (POLLIN | POLLERR)) == 0) continue;
    // The monitor socket is non-blocking: this takes what waits and returns.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      const char* action = udev_device_get_action(device);
      const char* name = udev_device_get_sysname(device);
      const char* sysPath = udev_device_get_syspath(device);
      if (action != nullptr && name != nullptr) {
        HandleHotPlugEvent(action, name, sysPath != nullptr ? fs::path(sysPath) : fs::path());
      }
      udev_device_unref(device);
    }
  }
}

void TLinuxHidBackend::HandleHotPlugEvent(std::string_view action, std::string_view nodeName,
                                          const fs::path& sysPath) {
  if (action != "remove") return;
  const auto number = NodeNumber(nodeName);
  if (!number) return;
  std::shared_ptr<TLinuxHidDevice> device;
  {
    std::lock_guard lock(mutex_);
    const auto it = devices_.find(*number);
    if (it == devices_.end()) return;
    if (!sysPath.empty() && it->second->SysPath() != sysPath.lexically_normal()) return;
    device = it->second;
  }
  device->MarkUnplugged();
}

std::vector<uHidPlatform::THidPlatformDevicePtr> TLinuxHidBackend::PresentDevices() {
  std::vector<TScanned> found;
  std::vector<std::pair<int, std::string>> skipped;

  std::error_code ec;
  const fs::path root = fs::canonical(sysfsRoot_, ec);
  if (!ec) {
    for (fs::directory_iterator it(root / "class" / "hidraw", ec), end; !ec && it != end;
         it.increment(ec)) {
      const fs::path link = it->path();
      const auto number = NodeNumber(link.filename().string());
      if (!number) continue;  // not a hidraw node
      std::string error;
      if (auto scanned = ScanNode(link, *number, root, devRoot_, error)) {
        found.push_back(std::move(*scanned));
      } else {
        skipped.emplace_back(*number, link.filename().string() + ": " + error);
      }
    }
  }
  std::sort(found.begin(), found.end(),
            [](const TScanned& a, const TScanned& b) { return a.number < b.number; });
  std::sort(skipped.begin(), skipped.end());

  std::vector<uHidPlatform::THidPlatformDevicePtr> result;
  std::vector<std::shared_ptr<TLinuxHidDevice>> gone;
  {
    std::lock_guard lock(mutex_);
    std::map<int, std::shared_ptr<TLinuxHidDevice>> current;
    for (const TScanned& s : found) {
      std::shared_ptr<TLinuxHidDevice> device;
      if (const auto it = devices_.find(s.number); it != devices_.end()) {
        if (it->second->Plugged() && it->second->SameDevice(s)) {
          device = it->second;
        } else {
          gone.push_back(it->second);
        }
        devices_.erase(it);
      }
      if (!device) device = std::make_shared<TLinuxHidDevice>(s, openCall_);
      current.emplace(s.number, device);
      result.push_back(device);
    }
    for (auto& [number, device] : devices_) gone.push_back(std::move(device));
    devices_ = std::move(current);
    skipped_.clear();
    for (auto& [number, reason] : skipped) skipped_.push_back(std::move(reason));
  }
  for (const auto& device : gone) device->MarkUnplugged();
  return result;
}

std::vector<std::string> TLinuxHidBackend::SkippedReasons() const {
  std::lock_guard lock(mutex_);
  return skipped_;
}

void TLinuxHidBackend::SetOpenCall(TOpenCall call) {
  std::lock_guard lock(mutex_);
  openCall_ = std::move(call);
}

}  // namespace uHidLinux
