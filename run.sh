#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the configurator. Extra arguments go to
# the program.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
dovela_ensure_packages
dovela_build build
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the configurator is a desktop program and needs one."
  echo "Run it on a desktop session, or in a virtual one:"
  echo "  sudo apt-get install xvfb && xvfb-run -a build/bin/dovela-gsm-configurator"
  exit 1
fi
exec build/bin/dovela-gsm-configurator "$@"
