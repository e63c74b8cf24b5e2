#include "bridge/uCommandLine.h"

#include <boost/asio/ip/address.hpp>

#include "ci/uCI_DataSpy.h"

namespace uCommandLine {

bool Parse(const std::vector<std::string>& arguments, TOptions& options, std::string& error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--demo") {
      options.Demo = true;
    } else if (a == "--headless") {
      options.Headless = true;
    } else if (a == "--serial") {
      if (i + 1 >= arguments.size()) {
        error = "--serial needs a serial number";
        return false;
      }
      options.Serial = arguments[++i];
    } else if (a.rfind("--serial=", 0) == 0) {
      options.Serial = a.substr(9);
    } else if (a == "--listen" || a.rfind("--listen=", 0) == 0) {
      if (a == "--listen" && i + 1 >= arguments.size()) {
        error = "--listen needs an address";
        return false;
      }
      options.Listen = a == "--listen" ? arguments[++i] : a.substr(9);
      boost::system::error_code ec;
      boost::asio::ip::make_address(options.Listen, ec);
      if (ec) {
        error = "--listen needs an IP address, such as 192.168.1.10 or ::1: " + options.Listen;
        return false;
      }
    } else if (a == "--help" || a == "-h") {
      options.Help = true;
    } else if (a == "--version") {
      options.Version = true;
    } else if (uCI_DataSpy::IsDataSpySwitch(a)) {
      // the library reads it from the process's command line
    } else {
      error = "unknown switch: " + a;
      return false;
    }
  }
  if (!options.Listen.empty() && !options.Headless) {
    error = "--listen works only with --headless";
    return false;
  }
  return true;
}

std::string ListenWarning(const std::string& listenAddress) {
  return "Warning: listening on " + listenAddress +
         ": whoever reaches that address can configure the device.\n";
}

std::string UsageText() {
  return "Usage: dovela-gsm-configurator [--demo] [--headless [--serial S] [--listen A]] [DST]\n"
         "\n"
         "  --demo        add a simulated Dovela GSM device to the device list\n"
         "  --headless    no window: connect to the supported device, serve its pages and\n"
         "                print their address; runs until SIGINT, SIGTERM or SIGHUP\n"
         "  --serial S    in headless mode, the device with serial number S\n"
         "  --listen A    in headless mode, listen on the address A instead of 127.0.0.1 and\n"
         "                ::1; whoever reaches A can configure the device\n"
         "  DST           in headless mode, forward the device traffic to an external\n"
         "                terminal (the window shows it in its log window instead)\n"
         "  --help        this text\n"
         "  --version     the program's version\n";
}

std::string VersionText() {
  return "Dovela GSM Configurator 1.4.0.0\n";
}

}  // namespace uCommandLine
