#pragma once
// The program's command line.

#include <string>
#include <vector>

namespace uCommandLine {

struct TOptions {
  bool Demo = false;      // --demo: a simulated Dovela GSM device beside any real ones
  bool Headless = false;  // --headless: no window; serve the device's pages until a signal
  std::string Serial;     // --serial S: the device to connect to in headless mode
  std::string Listen;     // --listen ADDRESS: in headless mode, where the server listens
  bool Help = false;
  bool Version = false;
};

// Reads the arguments after the program path. The data-spy switch ("DST", "/dst", "-DST",
// any case) is accepted and left to the library. False with a message for an unknown
// switch, a missing value, a listen address that is no IP address, or --listen without
// --headless.
bool Parse(const std::vector<std::string>& arguments, TOptions& options, std::string& error);

std::string UsageText();
// What headless mode prints on stderr when it listens on listenAddress.
std::string ListenWarning(const std::string& listenAddress);
std::string VersionText();

}  // namespace uCommandLine
