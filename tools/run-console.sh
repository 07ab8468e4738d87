#!/usr/bin/env bash
# Runs the Vellamorix console: installs what is missing, builds the console, the engine and the
# tools vxreg and vx-shellbrowser (build-release), starts the engine qxd-engine in the background
# when none serves the device folder yet, then starts the console. The engine keeps running after
# the console closes, so the entries stay in force.
#
#   bash tools/run-console.sh                 on a desktop
#   xvfb-run -a bash tools/run-console.sh     on a machine without a display
set -euo pipefail
cd "$(dirname "$0")/.."

# Packages first, so that xvfb-run is there when it is suggested.
bash tools/setup-debian.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run-console: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Run the console on a virtual display instead:" >&2
  echo "    xvfb-run -a bash tools/run-console.sh" >&2
  echo "(xvfb-run comes with the Debian package xvfb, installed above.)" >&2
  exit 2
fi

build=${VX_RUN_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target Vellamorix qxd-engine vxreg vx-shellbrowser

# The device folder, as the engine and the console choose it.
if [ -n "${VELLAMORIX_DEVICE_DIR:-}" ]; then
  devdir=$VELLAMORIX_DEVICE_DIR
elif [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  devdir=$XDG_RUNTIME_DIR/vellamorix
elif [ "$(id -u)" = 0 ]; then
  devdir=/run/vellamorix
else
  devdir=/tmp/vellamorix-$(id -u)
fi
mkdir -p "$devdir"
chmod 700 "$devdir"

# A running engine holds the folder's lock file.
lock=$devdir/.qxd-engine.lock
if [ -e "$lock" ] && ! flock -n "$lock" true; then
  echo "run-console: qxd-engine already serves $devdir"
else
  logdir=${XDG_STATE_HOME:-$HOME/.local/state}/vellamorix
  mkdir -p "$logdir"
  nohup "$build/qxd/qxd-engine" --device-dir "$devdir" >>"$logdir/qxd-engine.log" 2>&1 &
  engine_pid=$!
  for _ in $(seq 1 100); do
    if [ -S "$devdir/Global/QXDAnsi" ] && [ -S "$devdir/Global/QXDUni" ]; then
      break
    fi
    if ! kill -0 "$engine_pid" 2>/dev/null; then
      echo "run-console: qxd-engine did not start; see $logdir/qxd-engine.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "run-console: started qxd-engine (pid $engine_pid) on $devdir; log: $logdir/qxd-engine.log"
  echo "             it keeps running after the console closes; stop it with: kill $engine_pid"
fi

export VELLAMORIX_DEVICE_DIR=$devdir
exec "$build/console/Vellamorix"
