#!/usr/bin/env bash
# Sets up the machine, builds Cuewell and starts it. Given no script, it opens
# the bundled demo show; on the first run it seeds a settings file whose sound
# and light targets are local ports 9001 and 9002, where an OSC monitor prints
# every cue that is fired.
#
#   bash scripts/run.sh [script.pdf]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

build="$root/build-run"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target cuewell makedemo oscmonitor

app_dir="$build/app"
demo_dir="$build/demo"
demo="$demo_dir/The Keepers Night.pdf"
if [ ! -f "$demo" ]; then
  "$build/tools/makedemo/makedemo" "$demo_dir" >/dev/null
fi

settings="$app_dir/cuewell.ini"
if [ ! -f "$settings" ]; then
  printf '\xef\xbb\xbf[OSC]\r\nsoundIP=127.0.0.1\r\nsoundPort=9001\r\nsoundAddress=sound\r\nlightIP=127.0.0.1\r\nlightPort=9002\r\nlightAddress=light\r\n\r\n' >"$settings"
fi

script="${1:-$demo}"

monitor_pid=""
if [ -x "$build/tools/oscmonitor/oscmonitor" ]; then
  echo "Every GO sent to the demo's targets is printed below (ports 9001 sound, 9002 light)."
  "$build/tools/oscmonitor/oscmonitor" 9001 9002 &
  monitor_pid=$!
fi
trap '[ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true' EXIT

# Qt wants a private runtime folder; give it one when the session has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="/tmp/runtime-$(id -u)"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

# The pin glyph "Pin_16T3.bmp" is read from the working folder: start beside it.
cd "$app_dir"
"$app_dir/cuewell" "$script"
