#!/usr/bin/env bash
# Installs what the build needs, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh
dovela_ensure_packages
dovela_build build
if [ -x build/bin/dovela-gsm-configurator ]; then
  exec build/bin/dovela-gsm-configurator "$@"
fi
echo "The communication library is built (build/); the configurator application does not exist yet, so there is nothing to start."
