#pragma once
// The Linux backend of the platform HID layer: devices are the kernel's hidraw nodes, listed
// from sysfs, with their report lengths computed from the report descriptor there, and
// followed by a libudev monitor for hot-plug.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "providers/uHidPlatform.h"

struct udev;
struct udev_monitor;

namespace uHidLinux {

struct TReportLengths {
  int Input = 0;
  int Output = 0;
  int Feature = 0;
  bool UsesReportIds = false;
};

// The longest report of each kind in bytes, report-id byte included, as the Windows
// capabilities call reports them: ceil(bits / 8) + 1 for each report id, the maximum over the
// report ids; 0 for a kind the descriptor has no data bits of. Parses the HID 1.11 report
// descriptor format. nullopt, with the reason in error, for an empty descriptor, a truncated
// item, a long item cut short, Pop without Push, End Collection without Collection, a
// collection left open, a Report ID of 0 or above 255, a Report Size above 256 bits or a
// report longer than 4096 bytes.
std::optional<TReportLengths> ComputeReportLengths(std::string_view descriptor, std::string& error);

// The message for a node the user may not open: names the node and the udev rule that
// grants access.
std::string PermissionMessage(const std::filesystem::path& node);

class TLinuxHidDevice;

// The call that opens a device node: open(2), or a stand-in in tests (as root, no node
// refuses access). The descriptor, or -1 with errno set.
using TOpenCall = std::function<int(const char* path, int flags)>;

class TLinuxHidBackend : public uHidPlatform::IHidBackend {
 public:
  // sysfsRoot: "/sys" on a real system, a fixture tree in tests; devRoot: where the hidrawN
  // nodes are; monitor: follow hot-plug with a libudev monitor thread (off in tests).
  // udevRunDir: udev's runtime dir; without it (as in a container) the backend works without
  // the monitor.
  explicit TLinuxHidBackend(std::filesystem::path sysfsRoot = "/sys",
                            std::filesystem::path devRoot = "/dev", bool monitor = true,
                            const std::filesystem::path& udevRunDir = "/run/udev");
  // Ends and joins the monitor thread.
  ~TLinuxHidBackend() override;
  TLinuxHidBackend(const TLinuxHidBackend&) = delete;
  TLinuxHidBackend& operator=(const TLinuxHidBackend&) = delete;

  // Rescans sysfs. Ordered by the node number (hidraw2 before hidraw10). A device that stays
  // present keeps its object; one that vanished is marked unplugged and dropped.
  std::vector<uHidPlatform::THidPlatformDevicePtr> PresentDevices() override;
  // Why devices were left out of the last listing, one line each
  // ("hidraw2: report descriptor: ...").
  std::vector<std::string> SkippedReasons() const;

  // Replaces open(2) for the nodes of devices listed from now on.
  void SetOpenCall(TOpenCall call);

  // True while the hot-plug monitor thread runs.
  bool MonitorRunning() const { return monitorThread_.joinable(); }

  // A udev event for the hidraw node nodeName ("hidraw3"): "remove" marks the listed device
  // of that node unplugged. sysPath is the event's sysfs path; when it is given, a device
  // listed under another sysfs path (the node number was reused meanwhile) is left alone.
  // Called by the monitor thread; public so tests can feed events.
  void HandleHotPlugEvent(std::string_view action, std::string_view nodeName,
                          const std::filesystem::path& sysPath = {});

 private:
  void MonitorLoop();

  const std::filesystem::path sysfsRoot_;
  const std::filesystem::path devRoot_;

  mutable std::mutex mutex_;
  std::map<int, std::shared_ptr<TLinuxHidDevice>> devices_;  // by node number
  std::vector<std::string> skipped_;
  TOpenCall openCall_;

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  int wakeFd_ = -1;  // eventfd the destructor signals to end the monitor thread
  std::thread monitorThread_;
};

}  // namespace uHidLinux
