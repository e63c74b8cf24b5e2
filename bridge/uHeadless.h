#pragma once
// The headless mode: no window. Connects to the supported device (the only one, or the one
// named by --serial), serves its pages (on the --listen address when given, with a warning
// on stderr), prints their address on stdout and runs until
// SIGINT, SIGTERM or SIGHUP; then shuts down as the window does (server stopped, config.xml
// written, channel closed).

#include <filesystem>
#include <iosfwd>

#include "bridge/uCommandLine.h"

namespace uHeadless {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread; call it first thing in main, before any
// thread starts, so that every thread inherits the mask and RunHeadless receives them.
void BlockTerminationSignals();

// The exit status: 0 after a signal ended a good run, 1 when it could not connect or serve.
int RunHeadless(const uCommandLine::TOptions& options, const std::filesystem::path& applicationDir,
                std::ostream& out, std::ostream& err);

}  // namespace uHeadless
