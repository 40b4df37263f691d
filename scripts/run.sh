#!/usr/bin/env bash
# Starts the viewer in BUILD/run so that its output files land there.
set -euo pipefail
build=${1:-build}
if [ -z "${DISPLAY:-}" ]; then
  echo "savrel: no display (DISPLAY is not set); run it on a desktop or under Xvfb." >&2
  exit 1
fi
mkdir -p "$build/run"
cd "$build/run"
exec ../savrel
