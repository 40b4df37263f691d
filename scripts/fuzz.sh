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
# The fuzzers and the seed writer are CMake targets of a build of their own, with clang for
# libFuzzer; the layers under test get coverage instrumentation there (fuzz/CMakeLists.txt).
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DSAVREL_FUZZ=ON -DSAVREL_VIEWER=OFF -DSAVREL_TOOLS=OFF -DSAVREL_TESTS=OFF -DSAVREL_BENCH=OFF > /dev/null

if [ "$seeds" -eq 1 ]; then
  cmake --build "$build" -j "$(nproc)" --target savrel-make-inputs > /dev/null
  "$build/fuzz/savrel-make-inputs" corpus fuzz/corpus
  echo "seeds written to fuzz/corpus"
  exit 0
fi

run_target() {
  local name="$1"
  local log="$build/$name.log"
  local limits=(-rss_limit_mb=2048 -timeout=10 -max_len="$2" -print_final_stats=1)
  [ -n "$seconds" ] && limits+=(-max_total_time="$seconds")
  [ -n "$runs" ] && limits+=(-runs="$runs")
  mkdir -p "$build/corpus/$name" "$build/artifacts/$name"
  echo "== ${name}_fuzz: ${runs:+$runs runs}${seconds:+$seconds s}"
  local status=0
  "$build/fuzz/${name}_fuzz" "${limits[@]}" -dict="fuzz/$name.dict" -artifact_prefix="$build/artifacts/$name/" \
    "$build/corpus/$name" "fuzz/corpus/$name" > "$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    echo "${name}_fuzz failed (status $status); the input is in $build/artifacts/$name/" >&2
  fi
  return "$status"
}

targets=(profile settings import)
[ -n "$only" ] && targets=("$only")
for name in "${targets[@]}"; do
  case "$name" in
    profile | settings | import) ;;
    *) echo "unknown target $name" >&2; exit 2 ;;
  esac
done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}" > /dev/null
failed=0
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
