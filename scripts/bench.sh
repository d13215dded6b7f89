#!/usr/bin/env bash
# Builds the benchmarks in a Release build (build-bench) and runs every one:
# each program under build-bench/bench/ whose name starts with "bench_", so a
# new benchmark joins by being built there. Each prints its figures beside
# its floor (the same work done bare, in the same run) and its goal, and ends
# with a non-zero status when a datagram or file did not match.
#
# Each goal is also printed on a line of its own ("goal <name> <value> <= <limit>
# met|MISSED"). With --runs N the whole set runs N times and ends with each
# goal's median and worst value over the runs, and in how many it was met.
#
#   scripts/bench.sh [--runs N] [name-filter]     e.g. scripts/bench.sh golatency
set -uo pipefail
cd "$(dirname "$0")/.."

runs=1
if [ "${1:-}" = "--runs" ]; then
  runs="${2:-}"
  shift 2
  if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "--runs takes a positive whole number" >&2
    exit 2
  fi
fi
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
goals="$(mktemp)"
trap 'rm -f "$goals"' EXIT
for ((run = 1; run <= runs; ++run)); do
  [ "$runs" -gt 1 ] && echo "######## run $run of $runs"
  for program in "${programs[@]}"; do
    name="$(basename "$program")"
    [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
    echo "== $name =="
    "$program" | tee -a "$goals"
    [ "${PIPESTATUS[0]}" -ne 0 ] && failed+=("$name (run $run)")
    echo
  done
done

if [ "$runs" -gt 1 ]; then
  echo "Goals over $runs runs: median and worst value, runs met"
  # Names in the order first printed; values sorted per name for the median.
  grep '^goal ' "$goals" | awk '{ print $2, $3, $5 }' | awk '
    !($1 in limit) { order[++n] = $1; limit[$1] = $3 }
    { v[$1, ++count[$1]] = $2 }
    END {
      for (i = 1; i <= n; ++i) {
        name = order[i]; c = count[name]
        for (a = 1; a <= c; ++a) s[a] = v[name, a]
        for (a = 2; a <= c; ++a)
          for (b = a; b > 1 && s[b - 1] + 0 > s[b] + 0; --b) { t = s[b]; s[b] = s[b - 1]; s[b - 1] = t }
        median = c % 2 ? s[(c + 1) / 2] : (s[c / 2] + s[c / 2 + 1]) / 2
        met = 0
        for (a = 1; a <= c; ++a) if (s[a] + 0 <= limit[name] + 0) ++met
        printf "  %-34s median %8.4g  worst %8.4g  goal <= %-6g  met in %d of %d  %s\n",
               name, median, s[c], limit[name], met, c, median + 0 <= limit[name] + 0 ? "met" : "MISSED"
      }
    }'
  echo
fi

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All benchmarks ran; read each figure against its floor and goal above."
