#!/bin/sh
# Static page serving of the program against nginx on the same files, over loopback.
# Installs nginx from Debian when it is missing (for this benchmark only), builds the program
# and the benchmark into build/, and prints the figures and ratios.
set -e
cd "$(dirname "$0")/.."
if [ ! -x /usr/sbin/nginx ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends nginx
fi
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja
cmake --build build --target dovela-gsm-configurator static_bench
exec build/bin/static_bench build/bin/dovela-gsm-configurator /usr/sbin/nginx
