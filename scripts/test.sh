#!/usr/bin/env bash
# Sets up the machine, builds Cuewell and runs every test: once in a normal
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer, then a short
# fixed-time fuzzing run of the OSC reader and of the key/value and cue file
# readers.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== build and test =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test under ASan + UBSan =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCUEWELL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

if [ -f scripts/fuzz.sh ]; then
  echo "== fuzz =="
  bash scripts/fuzz.sh 30 osc
  bash scripts/fuzz.sh 30 store
fi
echo "All tests passed."
