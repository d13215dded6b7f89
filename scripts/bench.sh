#!/usr/bin/env bash
# Builds the benchmarks in a Release build (build-bench) and runs every one:
# each program under build-bench/bench/ whose name starts with "bench_", so a
# new benchmark joins by being built there. Each prints its figures beside
# its floor (the same work done bare, in the same run) and its goal, and ends
# with a non-zero status when a datagram or file did not match.
#
#   scripts/bench.sh [name-filter]     e.g. scripts/bench.sh golatency
set -uo pipefail
cd "$(dirname "$0")/.."

filter="${1:-}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCUEWELL_BENCH=ON >/dev/null || exit 2
cmake --build build-bench -j "$(nproc)" || exit 2

mapfile -t programs < <(find build-bench/bench -type f -name 'bench_*' -perm -u+x | sort)
if [ "${#programs[@]}" -eq 0 ]; then
  echo "no benchmark programs under build-bench/bench" >&2
  exit 2
fi

failed=()
for program in "${programs[@]}"; do
  name="$(basename "$program")"
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  echo "== $name =="
  if ! "$program"; then
    failed+=("$name")
  fi
  echo
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All benchmarks ran; read each figure against its floor and goal above."
