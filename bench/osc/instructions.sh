#!/usr/bin/env bash
# Instructions per call of each op of bench_osc, counted by callgrind: a
# figure that a busy machine does not change, beside the CPU times.
#
#   bench/osc/instructions.sh [path/to/bench_osc]
set -euo pipefail
program=${1:-build-bench/bench/osc/bench_osc}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$dir/out" \
  "$program" >/dev/null 2>"$dir/log"
for file in "$dir"/out.*; do
  name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$file")
  total=$(sed -n 's/^totals: //p' "$file")
  [ -n "$name" ] && printf '%-24s %8.1f instructions per call\n' "$name" "$(echo "$total / 10000" | bc -l)"
done | sort -k1,1
