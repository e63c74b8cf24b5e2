#!/usr/bin/env bash
# Retakes the README's screenshots (docs/screenshots/) from the GUI test that drives the
# configurator with the demo device, without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
dovela_ensure_packages
dovela_build build
mkdir -p docs/screenshots
DOVELA_SCREENSHOT_DIR="$PWD/docs/screenshots" QT_QPA_PLATFORM=offscreen \
  QTWEBENGINE_DISABLE_SANDBOX=1 build/bin/test_demo
ls -l docs/screenshots
