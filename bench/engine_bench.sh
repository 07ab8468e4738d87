#!/usr/bin/env bash
# Engine benchmarks: request round trip, reading 10,000 entries, memory with 100,000 entries.
# How to run:  bash bench/engine_bench.sh [runs] [--unpinned]
# Builds an optimised, unsanitised copy in build-bench (or $VX_BENCH_BUILD_DIR) and prints ratios
# measured in the same run, each the median of several runs (7 unless given, at least 5) next to
# their minimum and maximum.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target engine_bench qxd-engine
"$build/bench/engine_bench" "$build/qxd/qxd-engine" "$@"
