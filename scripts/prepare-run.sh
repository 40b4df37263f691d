#!/usr/bin/env bash
# Gives BUILD/run something to show: the demo recording when no advance_profile.bin is there,
# an example sv_config.cfg when none is there. A file already there, such as a user's own
# recording, is never replaced. Usage: prepare-run.sh [BUILD]
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
if [ ! -e "$run/sv_config.cfg" ]; then
  # One "name value" pair per line; the viewer reads them into its settings store and
  # consults none, so these only show the format.
  printf '%s\n' "profile_file advance_profile.bin" "stdout_file my_stdout.txt" "stderr_file my_stderr.txt" \
    > "$run/sv_config.cfg"
fi
