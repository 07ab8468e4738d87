#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package vellamorix_<version>_amd64.deb in build-release/: a release build of
# everything (hardened, and without -Werror so that a newer compiler's warnings cannot stop the
# package), then cpack. Installs the Debian packages the build needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup-debian.sh

build=${VX_RUN_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_WERROR=OFF >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB)
echo "build-deb: install it with: sudo apt install ./$(ls "$build"/vellamorix_*_amd64.deb | tail -n 1)"
