#!/usr/bin/env bash
# Soak: drives the viewer with random input under a private Xvfb, once with a large
# recording (256 sections, 20,000 frames) and once with a damaged one.
#
# Usage: scripts/soak.sh [--minutes N | --seconds N]
#                        [--viewer PATH --driver PATH --heap-count PATH --make-inputs PATH]
#                        [--seed N] [--only big | damaged]
#   --minutes N / --seconds N   time per recording (default 1 minute)
#   --viewer, --driver,         programs to use; by default build-soak is built as a debug
#   --heap-count,               build that checks glGetError once per frame. The heap count
#   --make-inputs               is the savrel-heap-count library, not needed for a sanitized
#                               viewer; savrel-make-inputs writes the recordings
#   --seed N                    the random input's seed (default 1)
#   --only NAME                 one recording only
# Each run must keep the viewer alive, raise no GL error and end with status 0 on a close
# request. Memory is read in one settled view after the warm-up (the first minute, or the
# first third of a run shorter than three minutes) and at the end:
# - the heap our own code holds (allocations whose nearest caller outside the C and C++
#   runtimes is the viewer) must grow less than 32 KiB. It is exact, and the GL driver's
#   memory is not in it, so it can be strict: the viewer allocates nothing per frame, and
#   32 KiB leaves room for a few one-time buffers (a stdio buffer is 4 KiB).
# - resident memory, almost all of it the software rasteriser's, must stay under twice its
#   warm-up reading. Its spread is wide (a clean run's end reading has been 1.4 times its
#   warm-up one), so this catches only a gross leak through the driver, such as GL objects
#   made and never deleted.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

seconds=60
viewer=""
driver=""
heap_count=""
make_inputs=""
seed=1
only=""
usage="usage: $0 [--minutes N | --seconds N] [--viewer PATH --driver PATH --heap-count PATH --make-inputs PATH]"
usage+=" [--seed N] [--only big | damaged]"
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --viewer) viewer="$2"; shift 2 ;;
    --driver) driver="$2"; shift 2 ;;
    --heap-count) heap_count="$2"; shift 2 ;;
    --make-inputs) make_inputs="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
case "$only" in "" | big | damaged) ;; *) echo "$usage" >&2; exit 2 ;; esac

if [ -z "$viewer" ] || [ -z "$driver" ] || [ -z "$make_inputs" ]; then
  cmake -S "$root" -B "$root/build-soak" -DCMAKE_BUILD_TYPE=Debug -DSAVREL_GL_CHECK=ON -DSAVREL_BENCH=OFF > /dev/null
  cmake --build "$root/build-soak" -j "$(nproc)" --target savrel savrel-x11-driver savrel-heap-count \
    savrel-make-inputs > /dev/null
  [ -n "$viewer" ] || viewer="$root/build-soak/savrel"
  [ -n "$driver" ] || driver="$root/build-soak/tests/savrel-x11-driver"
  [ -n "$heap_count" ] || heap_count="$root/build-soak/tests/libsavrel-heap-count.so"
  [ -n "$make_inputs" ] || make_inputs="$root/build-soak/fuzz/savrel-make-inputs"
fi

viewer="$(realpath "$viewer")"
driver="$(realpath "$driver")"
# AddressSanitizer holds freed blocks back in quarantine, so a sanitized viewer's resident
# memory grows by design, and its runtime must be the one that stands in for malloc: its
# memory is shown but not checked.
memory_checked=1
if grep -q -a '__asan_init' "$viewer"; then
  memory_checked=0
  heap_count=""
  echo "soak: $viewer is built with AddressSanitizer; memory is shown but not checked"
elif [ -z "$heap_count" ]; then
  echo "soak: the memory verdict needs --heap-count with --viewer" >&2
  exit 2
else
  heap_count="$(realpath "$heap_count")"
fi
work="$(mktemp -d /tmp/savrel-soak-XXXXXX)"
xvfb_pid=""
viewer_pid=""
cleanup() {
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2> /dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2> /dev/null || true
}
trap cleanup EXIT

"$make_inputs" big "$work/big.bin"
"$make_inputs" damaged "$work/damaged.bin"

# Xvfb picks a free display itself and writes its number to the given descriptor; without
# -noreset it resets when the last client leaves and refuses the next run for a moment.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3> "$work/display" > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "soak: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"
RANDOM=$seed

width=720
height=566

heap_slack_bytes=32768
resident_ratio_limit=2

resident_kb() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$viewer_pid/status" 2> /dev/null || echo 0
}

alive() {
  [ -r "/proc/$viewer_pid/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$viewer_pid/status" 2> /dev/null
}

# Each random_* function appends one random action to the commands array.
random_drag() {
  local buttons=$((RANDOM % 7 + 1)) steps=$((RANDOM % 6 + 2)) b
  commands+=(move $((RANDOM % width)) $((RANDOM % height)))
  for b in 1 2 3; do (((buttons >> (b - 1)) & 1)) && commands+=(down "$b" sleep $((RANDOM % 40))); done
  for _ in $(seq "$steps"); do commands+=(move $((RANDOM % width)) $((RANDOM % height)) sleep $((RANDOM % 60 + 10))); done
  for b in 3 1 2; do (((buttons >> (b - 1)) & 1)) && commands+=(up "$b"); done
  return 0
}

random_resize() {
  case $((RANDOM % 4)) in
    0) width=1280; height=1024; commands+=(resize 1250 1000 sleep 600) ;;
    1) width=720; height=566; commands+=(resize 720 566 sleep 400) ;;
    *) width=$((RANDOM % 1000 + 200)); height=$((RANDOM % 800 + 150)); commands+=(resize "$width" "$height" sleep 300) ;;
  esac
}

random_keys() {
  local keys=(a z Escape space Return Left Right Up Down Home End Tab BackSpace F1 1 9 Shift_L Control_L) count=1
  [ $((RANDOM % 5)) -eq 0 ] && count=20
  for _ in $(seq "$count"); do commands+=(key "${keys[RANDOM % ${#keys[@]}]}"); done
}

random_action() {
  case $((RANDOM % 10)) in
    0 | 1 | 2 | 3) random_drag ;;
    4 | 5) commands+=(move $((RANDOM % width)) $((RANDOM % height)) down $((RANDOM % 3 + 1)) sleep 30)
           commands+=(up 1 up 2 up 3) ;;
    6) random_keys ;;
    7) random_resize ;;
    *) commands+=(move $((RANDOM % width)) $((RANDOM % height)) sleep $((RANDOM % 200))) ;;
  esac
}

# A loaded machine can time out the driver's window wait, during a mode change for one;
# so a failed call is tried again before it counts.
drive() {
  local attempt
  for attempt in 1 2 3; do
    "$driver" "$@" > /dev/null 2>> "$work/driver.log" && return 0
    alive || return 1
    sleep 0.5
  done
  return 1
}

# The heaviest frames first: the viewer keeps freed memory for reuse, so its resident size
# rises to what its largest frame needed and stays there. Fullscreen, the widest frame
# window a downward left drag gives, and the scene turned and zoomed under it.
heavy_commands() {
  commands=(resize 1250 1000 sleep 800 move 640 40 down 1 sleep 50)
  for y in 200 400 600 800 1000; do commands+=(move 640 "$y" sleep 100); done
  commands+=(up 1 sleep 300 move 640 500 down 3 move 700 700 sleep 200 move 500 300 sleep 200 up 3 sleep 500)
}

# Our heap's counts: sets heap_bytes, heap_blocks and heap_overflowed.
read_heap_count() {
  local words
  read -r -a words < <(od -An -v -w32 -t u8 -N 32 "$folder/heap_count")
  heap_bytes=${words[0]}
  heap_blocks=${words[1]}
  heap_overflowed=${words[3]}
}

# Back to one state, so that readings compare like with like: a new GL context at the
# starting window size (a resize through another size makes SDL build one), the camera reset
# (right, middle and left together), ten frames shown and no button held. After half a
# second there, resident memory as the lowest of forty readings 0.1 s apart, so one frame's
# passing allocations do not count, then our heap's counts (left empty when the heap is not
# counted). Sets settled_kb, heap_bytes, heap_blocks; fails when the driver lost the window.
#
# An upward left drag across the window shows the fewest frames (and stops the scroll), but
# on a loaded machine it can fall short: the viewer measures it from where it last saw the
# pointer before the press. The graph's scratch arrays, ours, are sized by the frames shown,
# so the drag is repeated while our heap keeps shrinking (twice without a count).
settle() {
  width=720
  height=566
  local narrow=(move 360 560 sleep 500 down 1 sleep 100 move 360 300 sleep 100 move 360 5 sleep 300 up 1 sleep 500)
  drive up 1 up 2 up 3 resize 700 550 sleep 600 resize 720 566 sleep 600 \
    move 360 283 down 3 sleep 100 down 2 down 1 sleep 200 up 1 up 2 up 3 sleep 100 "${narrow[@]}" || return 1
  if [ -z "$heap_count" ]; then
    drive "${narrow[@]}" || return 1
  else
    local drags=1 before
    read_heap_count
    while [ $drags -lt 5 ]; do
      before=$heap_bytes
      drive "${narrow[@]}" || return 1
      drags=$((drags + 1))
      read_heap_count
      [ "$heap_bytes" -lt "$before" ] || break
    done
  fi
  local now
  settled_kb=$(resident_kb)
  for _ in $(seq 40); do
    now=$(resident_kb)
    [ "$now" -lt "$settled_kb" ] && settled_kb=$now
    sleep 0.1
  done
  heap_bytes=""
  heap_blocks=""
  [ -z "$heap_count" ] || read_heap_count
}

# Runs the viewer on one recording; prints a summary line and returns non-zero on a failure.
soak_one() {
  local name="$1" recording="$2" folder="$work/$1"
  mkdir -p "$folder"
  cp "$recording" "$folder/advance_profile.bin"
  printf 'speed 2.5\ntitle soak\n' > "$folder/sv_config.cfg"
  if [ -n "$heap_count" ]; then
    (cd "$folder" && MESA_DEBUG=1 SAVREL_HEAP_COUNT="$folder/heap_count" LD_PRELOAD="$heap_count" exec "$viewer") \
      > "$folder/console.txt" 2>&1 &
  else
    (cd "$folder" && MESA_DEBUG=1 exec "$viewer") > "$folder/console.txt" 2>&1 &
  fi
  viewer_pid=$!
  drive wait || { echo "soak $name: no window" >&2; return 1; }
  if [ -n "$heap_count" ] && [ ! -s "$folder/heap_count" ]; then
    echo "soak $name: the heap count did not load into the viewer" >&2
    return 1
  fi
  local start=$SECONDS warm=$((seconds < 180 ? seconds / 3 : 60)) batches=0 minute=1
  local first_kb base_kb="" base_bytes="" base_blocks="" peak_kb=0 now_kb minutes_kb="" minutes_bytes=""
  local settled_kb heap_bytes heap_blocks heap_overflowed=0
  local lost="the driver lost the window while settling"
  first_kb=$(resident_kb)
  heavy_commands
  drive "${commands[@]}" || { echo "soak $name: the driver lost the window" >&2; return 1; }
  while [ $((SECONDS - start)) -lt "$seconds" ]; do
    alive || { echo "soak $name: the viewer died after $((SECONDS - start)) s" >&2; return 1; }
    if [ -z "$base_kb" ] && [ $((SECONDS - start)) -ge "$warm" ]; then
      settle || { echo "soak $name: $lost" >&2; return 1; }
      base_kb=$settled_kb base_bytes=$heap_bytes base_blocks=$heap_blocks
    fi
    if [ $((SECONDS - start)) -ge $((minute * 60)) ]; then
      settle || { echo "soak $name: $lost" >&2; return 1; }
      minutes_kb+=" $settled_kb"
      minutes_bytes+="${heap_bytes:+ $heap_bytes}"
      minute=$((minute + 1))
    fi
    commands=()
    for _ in $(seq 8); do random_action; done
    if ! drive "${commands[@]}"; then
      echo "soak $name: the driver lost the window after $((SECONDS - start)) s" >&2
      return 1
    fi
    batches=$((batches + 1))
    now_kb=$(resident_kb)
    [ "$now_kb" -gt "$peak_kb" ] && peak_kb=$now_kb
  done
  alive || { echo "soak $name: the viewer died at the end" >&2; return 1; }
  if [ -z "$base_kb" ]; then
    settle || { echo "soak $name: $lost" >&2; return 1; }
    base_kb=$settled_kb base_bytes=$heap_bytes base_blocks=$heap_blocks
  fi
  settle || { echo "soak $name: $lost" >&2; return 1; }
  drive close
  local status=0 waited=0
  while alive && [ $waited -lt 200 ]; do sleep 0.1; waited=$((waited + 1)); done
  wait "$viewer_pid" || status=$?
  viewer_pid=""
  local gl_errors ratio loaded heap="our heap not counted"
  loaded=$(grep -m 1 '^Profile "' "$folder/my_stdout.txt" || echo "Profile loaded")
  gl_errors=$(cat "$folder/my_stderr.txt" "$folder/console.txt" | grep -c -E 'GL error|Mesa: User error' || true)
  ratio=$(awk -v b="$base_kb" -v e="$settled_kb" 'BEGIN { printf "%.3f", e / b }')
  if [ -n "$heap_bytes" ]; then
    heap="our heap $base_bytes bytes in $base_blocks blocks after warm-up, $heap_bytes bytes in $heap_blocks blocks"
    heap+=" at end (growth $((heap_bytes - base_bytes)) bytes)"
  fi
  echo "soak $name: $seconds s, $batches input batches; $loaded; $heap;" \
    "resident memory $first_kb kB at start, $base_kb kB after warm-up, $settled_kb kB at end" \
    "(ratio $ratio), peak $peak_kb kB;" \
    "${minutes_kb:+at each minute, kB:$minutes_kb${minutes_bytes:+, our heap bytes:$minutes_bytes};}" \
    "GL errors $gl_errors; exit status $status"
  local failed=0
  [ "$status" -eq 0 ] || { echo "soak $name: exit status $status" >&2; failed=1; }
  [ "$gl_errors" -eq 0 ] || { grep -h -m 5 -E 'GL error|Mesa: User error' "$folder/my_stderr.txt" "$folder/console.txt" >&2; failed=1; }
  [ "$memory_checked" -eq 1 ] || return $failed
  if [ "$heap_overflowed" -ne 0 ]; then
    echo "soak $name: our heap held more live blocks than the count's table" >&2
    failed=1
  fi
  if [ $((heap_bytes - base_bytes)) -ge "$heap_slack_bytes" ]; then
    echo "soak $name: our heap grew $((heap_bytes - base_bytes)) bytes after the warm-up (limit $heap_slack_bytes)" >&2
    failed=1
  fi
  if ! awk -v b="$base_kb" -v e="$settled_kb" -v limit="$resident_ratio_limit" 'BEGIN { exit !(e < b * limit) }'; then
    echo "soak $name: resident memory at the end is $ratio times its warm-up reading (limit $resident_ratio_limit)" >&2
    failed=1
  fi
  return $failed
}

if ! grep -q -a 'GL error 0x' "$viewer"; then
  echo "soak: $viewer does not check glGetError itself; GL errors are caught through Mesa's MESA_DEBUG alone"
fi
failed=0
for name in big damaged; do
  [ -z "$only" ] || [ "$only" = "$name" ] || continue
  soak_one "$name" "$work/$name.bin" || failed=1
done
if [ $failed -eq 0 ]; then
  rm -rf "$work"
  echo "soak passed"
else
  echo "soak failed; the run folders are in $work" >&2
fi
exit $failed
