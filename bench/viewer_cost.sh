#!/usr/bin/env bash
# What an open viewer costs: its processor share at rest and while following a program that
# records 60 frames a second, and that program's frame time alone and with the viewer following.
# Figures, not verdicts: the machine's other load moves them, so run it on a quiet machine.
# Usage: bench/viewer_cost.sh [BUILD] [SECONDS]   (defaults: build, 10)
set -euo pipefail
build=$(realpath "${1:-build}")
seconds=${2:-10}
source_dir=$(realpath "$(dirname "$0")/..")
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" bash "$0" "$build" "$seconds"
fi

game="$build/bench/savrel-paced-game"
mkdir -p "$build/bench"
g++ -O2 -std=c++20 -I"$build/recorder/include" "$source_dir/bench/paced_game.cpp" \
  "$build/recorder/libsavrel_recorder.a" -pthread -o "$game"
driver="$build/tests/savrel-x11-driver"
work=$(mktemp -d /tmp/savrel-viewer-cost-XXXXXX)
viewer_pid=""
game_pid=""
cleanup() {
  [ -n "$game_pid" ] && kill "$game_pid" 2>/dev/null || true
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The X server draws what the viewer's swaps send it, so its share counts too.
server_pid=$(ps -eo pid=,args= | awk -v display="$DISPLAY" '$2 ~ /Xvfb$/ && $3 == display {print $1; exit}')

# Processor time (user + system) of a process in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
shares() {  # VIEWER_PID SECONDS: percent of one core over that span, the viewer's and the server's
  local before server_before after server_after per_second
  before=$(ticks "$1")
  server_before=$(ticks "$server_pid")
  sleep "$2"
  after=$(ticks "$1")
  server_after=$(ticks "$server_pid")
  per_second=$(getconf CLK_TCK)
  echo "$(echo "scale=1; 100 * ($after - $before) / ($per_second * $2)" | bc)% of a core" \
    "(the X server $(echo "scale=1; 100 * ($server_after - $server_before) / ($per_second * $2)" | bc)%)"
}

start_viewer() {  # FOLDER
  (cd "$1" && exec "$build/savrel") &
  viewer_pid=$!
  "$driver" wait > /dev/null
}

stop_viewer() {
  "$driver" close > /dev/null || true
  wait "$viewer_pid" || true
  viewer_pid=""
}

mkdir -p "$work/alone" "$work/idle" "$work/follow"
"$game" "$work/alone/advance_profile.bin" "$seconds" | sed 's/^/program alone: /'

"$build/tools/savrel-demo" "$work/idle/advance_profile.bin" > /dev/null
start_viewer "$work/idle"
sleep 3
echo "viewer at rest on the demo recording: $(shares "$viewer_pid" "$seconds")"
stop_viewer

"$game" "$work/follow/advance_profile.bin" "$((seconds + 5))" > "$work/game.txt" &
game_pid=$!
sleep 1
start_viewer "$work/follow"
"$driver" key f > /dev/null
sleep 2
echo "viewer following it: $(shares "$viewer_pid" "$seconds")"
wait "$game_pid"
game_pid=""
sed 's/^/program with the viewer following: /' "$work/game.txt"
stop_viewer
