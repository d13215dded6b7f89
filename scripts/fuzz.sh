#!/usr/bin/env bash
# Builds a libFuzzer target with clang (ASan + UBSan) in build-fuzz and runs
# it for the given number of seconds (default 60): "osc", the OSC reader
# (default), or "store", the key/value file and the cue store's readers.
#
#   scripts/fuzz.sh [seconds] [osc|store]
# Exits non-zero when the fuzzer finds a crash; the input that caused it is
# left in build-fuzz/ as crash-<hash>.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
target=${2:-osc}
build=build-fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCUEWELL_FUZZ=ON >/dev/null
cmake --build "$build" --target "fuzz_$target" -j 2

# New inputs go to a working corpus; the committed seeds are read only.
mkdir -p "$build/corpus-$target"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
"$build/fuzz/$target/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" \
  "$build/corpus-$target" "fuzz/$target/corpus"
