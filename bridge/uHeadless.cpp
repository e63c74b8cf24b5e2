#include "bridge/uHeadless.h"

#include <csignal>
#include <ostream>

#include "bridge/uConfiguratorCore.h"
#include "bridge/uDeviceTypes.h"

namespace uHeadless {

namespace {
sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);  // the terminal went: end as for SIGTERM
  return set;
}
}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunHeadless(const uCommandLine::TOptions& options, const std::filesystem::path& applicationDir,
                std::ostream& out, std::ostream& err) {
  uConfiguratorCore::TConfiguratorCore core(applicationDir);
  core.Server().SetListenAddress(options.Listen);
  int count = 0;
  auto devices = uDeviceTypes::ListSupportedDevices(applicationDir, count);
  if (!options.Serial.empty()) {
    std::erase_if(devices, [&](const auto& d) { return d.SerialNumber != options.Serial; });
    if (devices.empty()) {
      err << "No supported device with serial number " << options.Serial << " is attached.\n";
      return 1;
    }
  }
  if (devices.empty()) {
    err << "err - not found: no supported device is attached.\n";
    return 1;
  }
  if (devices.size() > 1) {
    err << "Several supported devices are attached; choose one with --serial:\n";
    for (const auto& d : devices) err << "  " << d.SerialNumber << "  " << d.ProductName << "\n";
    return 1;
  }

  std::string error;
  switch (core.Connect(devices.front().DeviceType, devices.front().SerialNumber, error)) {
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::NotOpen:
      err << "err - not open: the device " << devices.front().SerialNumber
          << " could not be opened.\n";
      if (!error.empty()) err << error << "\n";
      return 1;
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::ServerFailed:
      err << error << "\n";
      return 1;
    case uConfiguratorCore::TConfiguratorCore::TConnectResult::Connected:
      break;
  }
  if (!options.Listen.empty()) err << uCommandLine::ListenWarning(options.Listen) << std::flush;
  out << core.Url() << std::endl;

  const sigset_t set = TerminationSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  try {
    core.Shutdown();
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace uHeadless
