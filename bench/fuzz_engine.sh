#!/usr/bin/env bash
# Fuzzes the engine's request handling with libFuzzer for a bounded time.
# How to run:  bash bench/fuzz_engine.sh [seconds]      (default 60; needs clang from Debian)
# Builds in build-fuzz (or $VX_FUZZ_BUILD_DIR); keeps its corpus there between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${VX_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target fuzz_qxd_core
corpus="$build/fuzz-corpus/qxd_core"
mkdir -p "$corpus"
VX_FUZZ_SEED_DIR="$corpus" "$build/bench/fuzz_qxd_core" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 "$corpus"
echo "fuzz_qxd_core: ran ${seconds} s without a failure"
