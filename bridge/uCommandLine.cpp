#include "bridge/uCommandLine.h"

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
  return true;
}

std::string UsageText() {
  return "Usage: dovela-gsm-configurator [--demo] [--headless [--serial S]] [DST]\n"
         "\n"
         "  --demo        add a simulated Dovela GSM device to the device list\n"
         "  --headless    no window: connect to the supported device, serve its pages and\n"
         "                print their address; runs until SIGINT or SIGTERM\n"
         "  --serial S    in headless mode, the device with serial number S\n"
         "  DST           in headless mode, forward the device traffic to an external\n"
         "                terminal (the window shows it in its log window instead)\n"
         "  --help        this text\n"
         "  --version     the program's version\n";
}

std::string VersionText() {
  return "Dovela GSM Configurator 1.4.0.0\n";
}

}  // namespace uCommandLine
