#!/usr/bin/env bash
# Starts the viewer in BUILD/run so that its output files land there, on the demo recording
# unless a recording of the user's own is already there.
set -euo pipefail
build=${1:-build}
if [ -z "${DISPLAY:-}" ]; then
  echo "savrel: no display (DISPLAY is not set); run it on a desktop or under Xvfb." >&2
  exit 1
fi
bash "$(dirname "$0")/prepare-run.sh" "$build"
cd "$build/run"
cat <<'KEYS'
Keys: F follows the recording while it is written, R reloads it, Home frames the graph.
Mouse: right drag turns, right+left drag zooms, right+middle drag pans, right+middle+left resets;
       left drag sideways scrolls the frames, up or down narrows or widens them.
KEYS
exec ../savrel
