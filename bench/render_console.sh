#!/usr/bin/env bash
# Renders the main window (with a few entries), the entry editor, the three password dialogs and
# the about box to PNG files under the offscreen platform.
# How to run:  bash bench/render_console.sh [output-folder]      (default: console-render)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-console-render}
build=${VX_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target render_console
QT_QPA_PLATFORM=offscreen "$build/bench/render_console" "$out"
ls "$out"
