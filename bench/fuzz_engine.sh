#!/usr/bin/env bash
# Fuzzes the engine with libFuzzer: its request handling (fuzz_qxd_core) and its socket layer
# (fuzz_qxd_socket: framing, the memory file offered with the first bytes, READ/WRITE answers).
# How to run:  bash bench/fuzz_engine.sh [seconds] [target...]   (default 60 s for each of both
#              targets; needs clang from Debian). FUZZ_RUNS=N stops a target after N executions
#              instead (the seconds still bound it; 0 seconds: no time bound); FUZZ_MAX_LEN=N
#              bounds the inputs (default 8192).
# Each target's corpus is kept in the repository (bench/fuzz-corpus/NAME): a run starts from it
# and merges back what it found, minimised (-merge=1), so runs add up. The executions of all runs
# are added up in the build folder, build-fuzz (or $VX_FUZZ_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_qxd_core fuzz_qxd_socket)
build=${VX_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target "${targets[@]}"
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  kept="bench/fuzz-corpus/$name"
  work="$build/fuzz-corpus/$name"
  log="$build/$target.log"
  mkdir -p "$kept" "$work"
  # New inputs go to the first folder; the kept corpus is read as well.
  status=0
  VX_FUZZ_SEED_DIR="$work" "$build/bench/$target" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} \
    -max_len="${FUZZ_MAX_LEN:-8192}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/$target-" \
    "$work" "$kept" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # Interrupted (SIGINT: libFuzzer's exit code 72): what it found so far is kept all the same.
  if [ "$status" -eq 72 ]; then
    echo "$target: interrupted"
    status=0
  fi
  if [ "$status" -ne 0 ]; then
    grep -E "ERROR|SUMMARY|Test unit written|artifact" "$log" | head -20 >&2
    echo "$target: FAILED after ${runs:-?} executions (exit $status); see $log" >&2
    exit 1
  fi
  fresh=$(mktemp -d)
  "$build/bench/$target" -merge=1 "$fresh" "$kept" "$work" >>"$log" 2>&1
  find "$kept" -type f -delete
  cp "$fresh"/* "$kept"/ 2>/dev/null || true
  rm -rf "$fresh"
  ledger="$build/$target.executions"
  total=$(( $(cat "$ledger" 2>/dev/null || echo 0) + ${runs:-0} ))
  echo "$total" >"$ledger"
  echo "$target: ${runs:-0} executions without a failure ($(ls "$kept" | wc -l) inputs kept in $kept;" \
    "$total executions in all runs of $build)"
done
