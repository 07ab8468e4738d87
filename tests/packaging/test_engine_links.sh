#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The engine daemon runs as root and loads no Qt: ldd lists every library it loads (libc among
# them, or the listing was not read) and none of Qt's.
#
#   test_engine_links.sh ENGINE
set -euo pipefail

engine=$1
listing=$(ldd "$engine")
echo "$listing"
failures=0
if ! grep -q 'libc\.so\.6 => /' <<<"$listing"; then
  echo "FAILED: ldd does not list libc for $engine"
  failures=$((failures + 1))
fi
if grep -q 'not found' <<<"$listing"; then
  echo "FAILED: a library of $engine is not found"
  failures=$((failures + 1))
fi
if grep -qi 'libqt' <<<"$listing"; then
  echo "FAILED: $engine loads Qt:"
  grep -i 'libqt' <<<"$listing"
  failures=$((failures + 1))
fi
if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "ok: $(grep -c '=>' <<<"$listing") libraries, none of Qt"
