#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the configurator with the simulated
# Dovela GSM device beside any real ones (--demo). Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
dovela_ensure_packages
dovela_build build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  # No display: the same pages, served without a window. The program prints the address.
  echo "No display found: serving the configurator's pages without a window (headless mode)."
  echo "Open the address printed below in a browser on this machine; Ctrl+C ends it."
  echo "(For the window on a virtual display: sudo apt-get install xvfb &&"
  echo "  xvfb-run -a build/bin/dovela-gsm-configurator --demo)"
  exec build/bin/dovela-gsm-configurator --headless --demo "$@"
fi
exec build/bin/dovela-gsm-configurator --demo "$@"
