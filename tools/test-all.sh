#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh

build=${VX_TEST_BUILD_DIR:-build-asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen

# Threaded code runs once more under ThreadSanitizer.
if [ -f tests/tsan-targets.txt ]; then
  tsan=${VX_TSAN_BUILD_DIR:-build-tsan}
  mapfile -t targets < <(grep -v '^#' tests/tsan-targets.txt | grep -v '^$')
  if [ ${#targets[@]} -gt 0 ]; then
    cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_TSAN=ON >/dev/null
    cmake --build "$tsan" -j"$(nproc)" --target "${targets[@]}"
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ctest --test-dir "$tsan" --output-on-failure -R "^($(IFS='|'; echo "${targets[*]}"))\$"
  fi
fi

# The whole suite last, so its summary closes the output. Every test makes its own device
# directory, registry and home, so nothing of the user's is touched.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600
