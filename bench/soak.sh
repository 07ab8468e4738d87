#!/usr/bin/env bash
# Soak benchmark: the engine's memory, threads and descriptors every minute under entry churn
# and file operations, and their slopes. Needs root.
# How to run:  bash bench/soak.sh [minutes]      (default 10)
# Builds an optimised, unsanitised copy in build-bench (or $VX_BENCH_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target soak qxd-engine
"$build/bench/soak" "$build/qxd/qxd-engine" "${1:-10}"
