#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each in turn.
#
# Usage: scripts/fuzz.sh [--seconds N] [--runs N] [--only profile|settings|import] [--seeds]
#   --seconds N   run each target for N seconds (default 60)
#   --runs N      stop each target after N executions instead (the time limit still holds if given)
#   --only NAME   run one target
#   --seeds       rewrite the checked-in seed corpus with fuzz/make_inputs and stop
# New inputs go to build-fuzz/corpus/NAME, so the checked-in seeds under fuzz/corpus/NAME
# only change by hand: copy an input that found a fault there, beside the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
runs=""
only=""
seeds=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --runs) runs="$2"; seconds=""; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --seeds) seeds=1; shift ;;
    *) echo "usage: $0 [--seconds N] [--runs N] [--only profile|settings|import] [--seeds]" >&2; exit 2 ;;
  esac
done

build=build-fuzz
compiler=clang++-14
common=(-std=c++20 -g -Wall -Wextra -fno-sanitize-recover=all -I.)
mkdir -p "$build"

if [ "$seeds" -eq 1 ]; then
  "$compiler" "${common[@]}" -O2 fuzz/make_inputs.cpp profile/encoder.cpp recorder/*.cpp -o "$build/make_inputs"
  "$build/make_inputs" corpus fuzz/corpus
  echo "seeds written to fuzz/corpus"
  exit 0
fi

# Only the module under test carries coverage instrumentation; the harness and its oracle
# are sanitized but give the fuzzer no feedback, so it chases paths in the loader alone.
build_target() {
  local name="$1"
  shift
  local objects=()
  for module in "$@"; do
    local object="$build/$name-$(basename "$module" .cpp).o"
    "$compiler" "${common[@]}" -O2 -fsanitize=fuzzer-no-link,address,undefined "${module_flags[@]}" -c "$module" -o "$object"
    objects+=("$object")
  done
  "$compiler" "${common[@]}" -O2 -fsanitize=address,undefined -c "fuzz/${name}_fuzz.cpp" -o "$build/$name-harness.o"
  "$compiler" -fsanitize=fuzzer,address,undefined "${objects[@]}" "$build/$name-harness.o" \
    -o "$build/${name}_fuzz"
}

run_target() {
  local name="$1"
  local log="$build/$name.log"
  local limits=(-rss_limit_mb=2048 -timeout=10 -max_len="$2" -print_final_stats=1)
  [ -n "$seconds" ] && limits+=(-max_total_time="$seconds")
  [ -n "$runs" ] && limits+=(-runs="$runs")
  mkdir -p "$build/corpus/$name" "$build/artifacts/$name"
  echo "== ${name}_fuzz: ${runs:+$runs runs}${seconds:+$seconds s}"
  local status=0
  "$build/${name}_fuzz" "${limits[@]}" -dict="fuzz/$name.dict" -artifact_prefix="$build/artifacts/$name/" \
    "$build/corpus/$name" "fuzz/corpus/$name" > "$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "${name}_fuzz failed (status $status); the input is in $build/artifacts/$name/" >&2
  fi
  return "$status"
}

targets=(profile settings import)
module_flags=()
[ -n "$only" ] && targets=("$only")
failed=0
for name in "${targets[@]}"; do
  case "$name" in
    profile) build_target profile profile/loader.cpp profile/frames.cpp profile/append.cpp profile/walker.cpp ;;
    settings) build_target settings settings/settings.cpp ;;
    # RapidJSON 1.1 adds to its stack pointer while it is still null, before its first push.
    import) module_flags=(-fno-sanitize=pointer-overflow)
      build_target import tools/import/trace.cpp tools/import/trace_file.cpp tools/import/trace_json.cpp tools/import/frames.cpp \
        tools/import/sections.cpp tools/import/layout.cpp
      module_flags=() ;;
    *) echo "unknown target $name" >&2; exit 2 ;;
  esac
done
for name in "${targets[@]}"; do
  # Inputs stay small so runs stay fast: a recording that crosses a value chunk (1025 frames)
  # is in the seeds and the replay test; settings lines split at 511 characters.
  case "$name" in
    profile) run_target profile 4096 || failed=1 ;;
    settings) run_target settings 4096 || failed=1 ;;
    import) run_target import 4096 || failed=1 ;;
  esac
done
exit "$failed"
