#!/usr/bin/env bash
# Enforcement benchmark: the cost of the engine's views against no engine, as ratios measured in
# the same run. Needs root.
# How to run:  bash bench/enforce_bench.sh [rounds]
# Builds an optimised, unsanitised copy in build-bench (or $VX_BENCH_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target enforce_bench qxd-engine
"$build/bench/enforce_bench" "$build/qxd/qxd-engine" "${1:-5}"
