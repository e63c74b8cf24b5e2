#pragma once
// The platform HID layer: present HID devices and one-report-at-a-time I/O on them, behind
// one small contract with two backends (Linux hidraw, simulated devices).
//
// Threads and ownership: every operation may be called from any thread. Devices are
// shared-owned: an entry or provider that still holds a device after the controller's list
// moved on keeps a valid object (a gone device just reports Plugged() false and fails its
// I/O). Nothing here blocks but WaitReadable: reads poll, writes are one write() of one
// report.
//
// Report layout: as the Windows HID API has it. Both report lengths include the leading
// report-id byte (0 for a device without report ids), and every report read or written
// starts with that byte.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace uHidPlatform {

// Identity and strings of one device, as its backend read them once.
struct THidDeviceInfo {
  std::string Path;  // "/dev/hidraw3", "sim:1", ...
  std::uint16_t VendorID = 0;
  std::uint16_t ProductID = 0;
  std::string Manufacturer;  // UTF-8
  std::string Product;       // UTF-8
  std::string SerialNumber;  // UTF-8; empty when the device has none
  int InputReportByteLength = 0;
  int OutputReportByteLength = 0;
};

// What opening a device gave: Code 0 when it is open, otherwise the system error number with
// a message that names the device and, where there is one, what fixes it.
struct THidOpenResult {
  int Code = 0;
  std::string Message;
  bool Ok() const noexcept { return Code == 0; }
};

class IHidPlatformDevice {
 public:
  virtual ~IHidPlatformDevice() = default;

  virtual const THidDeviceInfo& Info() const = 0;
  virtual bool Plugged() const = 0;

  // Writes one whole report (report-id byte first); the bytes written, or -1 on failure.
  // Opens the device on first use.
  virtual int WriteReport(const std::string& report) = 0;
  // The next waiting input report (report-id byte first, at most maxLength bytes), or an
  // empty string at once when none waits or the read failed. Opens the device on first use.
  virtual std::string ReadReport(int maxLength) = 0;
  // Opens the device now for one holder (a HID provider), so that a device that cannot be
  // opened says so here and not by silence later. Each successful Open is matched by one
  // Close; the handles stay open while any holder has the device open.
  virtual THidOpenResult Open() = 0;
  virtual void Close() = 0;
  // Closes what the I/O opened, unless a holder has the device open (its queued input
  // reports would be lost); later I/O opens it again.
  virtual void CloseHandles() = 0;

  // Waits at most timeoutMs until an input report waits, the device reports an error or
  // Wake() is called; true when a read may find something. Opens the device on first use; a
  // device that cannot be opened just waits. One thread waits at a time (the reading one).
  virtual bool WaitReadable(std::uint32_t timeoutMs) = 0;
  // Ends a wait in progress, or the next one when none is: any thread, any time.
  virtual void Wake() = 0;

  // How many input reports wait at most between reads.
  virtual int GetNumInputBuffers() = 0;
  virtual bool SetNumInputBuffers(int count) = 0;

  // The last failure of an open, read or write, for messages; empty when none.
  virtual std::string LastError() const = 0;
};

using THidPlatformDevicePtr = std::shared_ptr<IHidPlatformDevice>;

// A source of devices: the Linux hidraw backend, the simulated one.
class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  // The devices present now, in a stable order; a device keeps its object while present.
  virtual std::vector<THidPlatformDevicePtr> PresentDevices() = 0;
};

// The controller: the devices of all its backends in one list, with check out and check in.
// One exists per process (the HID device manager owns it); creating a second one while the
// first lives raises std::logic_error.
class THidPlatformController {
 public:
  // Starts with the backends of the process's backend factory.
  THidPlatformController();
  ~THidPlatformController();
  THidPlatformController(const THidPlatformController&) = delete;
  THidPlatformController& operator=(const THidPlatformController&) = delete;

  void AddBackend(std::shared_ptr<IHidBackend> backend);
  void RemoveBackend(const std::shared_ptr<IHidBackend>& backend);

  // Lists the present devices afresh and calls handler with each plugged-in one and its
  // index in the list, in list order, until the handler returns false.
  void Enumerate(const std::function<bool(const THidPlatformDevicePtr&, int index)>& handler);
  // The device at index of the last listing, marked as in use; nullptr when it is already
  // checked out or the index is out of range.
  THidPlatformDevicePtr CheckOut(int index);
  // Unmarks the device and closes its handles, unless a holder has it open.
  void CheckIn(const THidPlatformDevicePtr& device);

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<IHidBackend>> backends_;
  std::vector<THidPlatformDevicePtr> listing_;
  std::vector<THidPlatformDevicePtr> checkedOut_;
};

// Chooses the backends a controller starts with (tests: a simulated backend; the program:
// the Linux one; the demo mode: both). Without a factory a controller starts with none.
using TBackendFactory = std::function<std::vector<std::shared_ptr<IHidBackend>>()>;
void SetBackendFactory(TBackendFactory factory);

}  // namespace uHidPlatform
