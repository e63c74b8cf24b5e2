#pragma once
// A Dovela GSM unit behind a pseudo-terminal: the host opens PortPath() (/dev/pts/N) as its
// serial port, or COMn once LinkAs has put the link in a port-map folder; the unit reads and
// writes the master end. Both ends are in raw mode, and the unit keeps a descriptor of the
// port side open, so the host may open and close the port any number of times.
//
// A reader thread ("Dovela GSM pty") waits in poll(2) on the master end and on a wake-up
// descriptor; the destructor wakes and joins it, stops the unit and removes the link.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "ci/uFileUtils.h"
#include "providers/uSerialTty.h"
#include "sim/uSerialDovelaGsm.h"

namespace uPtyDovelaGsm {

class TPtyDovelaGsm {
 public:
  // Raises std::system_error when no pseudo-terminal can be had.
  explicit TPtyDovelaGsm(std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model = nullptr);
  ~TPtyDovelaGsm();
  TPtyDovelaGsm(const TPtyDovelaGsm&) = delete;
  TPtyDovelaGsm& operator=(const TPtyDovelaGsm&) = delete;

  const std::string& PortPath() const { return portPath_; }
  uSerialDovelaGsm::TSerialDovelaGsm& Unit() { return *unit_; }
  // Adds the link folder/com<number> -> PortPath() (folder created when missing); raises
  // std::filesystem::filesystem_error when it cannot.
  void LinkAs(const std::filesystem::path& folder, std::uint16_t number);

 private:
  void ReadLoop();
  void Send(const std::string& bytes);

  uFileUtils::TFd master_;
  uFileUtils::TFd keeper_;  // the port side, held open
  std::string portPath_;
  uSerialTty::TWakeFd stop_;
  std::filesystem::path link_;
  std::unique_ptr<uSerialDovelaGsm::TSerialDovelaGsm> unit_;
  std::thread reader_;
};

}  // namespace uPtyDovelaGsm
