#!/usr/bin/env bash
# Builds the Debian package of Cuewell (Release) and prints its path.
#
#   bash scripts/package.sh
#   sudo apt install ./build-package/cuewell_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >&2

build=build-package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >&2
cmake --build "$build" -j "$(nproc)" --target cuewell oscmonitor >&2
rm -f "$build"/cuewell_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$PWD/$build"/cuewell_*.deb
