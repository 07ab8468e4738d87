#!/usr/bin/env bash
# Scale benchmark: 10, 1,000 and 10,000 entries on distinct folders; what adding one more costs,
# what the daemon holds, and a covered open. Needs root.
# How to run:  bash bench/enforce_scale.sh [largest]
# Builds an optimised, unsanitised copy in build-bench (or $VX_BENCH_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target enforce_scale qxd-engine
"$build/bench/enforce_scale" "$build/qxd/qxd-engine" "${1:-10000}"
