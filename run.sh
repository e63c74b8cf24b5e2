#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the configurator with the simulated
# Dovela GSM device beside any real ones (--demo). Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
dovela_ensure_packages
dovela_build build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the configurator's window needs one."
  echo "Without a window, the same pages are served by the headless mode:"
  echo "  build/bin/dovela-gsm-configurator --headless --demo"
  echo "(it prints the address to open in a browser; Ctrl+C ends it)."
  echo "For the window on a virtual display: sudo apt-get install xvfb &&"
  echo "  xvfb-run -a build/bin/dovela-gsm-configurator --demo"
  exit 1
fi
exec build/bin/dovela-gsm-configurator --demo "$@"
