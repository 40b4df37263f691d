#!/usr/bin/env bash
# Gives BUILD/run something to show: the demo recording when no advance_profile.bin is there.
# A file already there, such as a user's own recording, is never replaced. No sv_config.cfg
# is written: no setting changes the viewer, and an example would suggest that some do.
# Usage: prepare-run.sh [BUILD]
set -euo pipefail
build=${1:-build}
run="$build/run"
mkdir -p "$run"
if [ ! -e "$run/advance_profile.bin" ]; then
  # Written aside first, so an interrupted demo leaves no half recording that a later run
  # would take for the user's.
  "$build/tools/savrel-demo" "$run/advance_profile.bin.demo" > /dev/null
  [ -e "$run/advance_profile.bin" ] || mv "$run/advance_profile.bin.demo" "$run/advance_profile.bin"
  rm -f "$run/advance_profile.bin.demo"
fi
# The example that earlier versions wrote named settings the viewer does not have.
old_example=$'profile_file advance_profile.bin\nstdout_file my_stdout.txt\nstderr_file my_stderr.txt'
if [ -f "$run/sv_config.cfg" ] && [ "$(cat "$run/sv_config.cfg")" = "$old_example" ]; then
  rm "$run/sv_config.cfg"
fi
