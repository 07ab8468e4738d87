#!/usr/bin/env bash
# Runs the Vellamorix console: installs what is missing, builds the console, the engine and the
# tools vxctl, vxreg and vx-shellbrowser (build-release), then starts the console against the system
# engine when it serves /run/vellamorix to this user, else against an engine of this user's own,
# started in the background when none serves the device folder yet. Such an engine keeps running
# after the console closes, so the entries stay in force.
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
cmake --build "$build" --target Vellamorix qxd-engine vxctl vxreg vx-shellbrowser

engine=$build/qxd/qxd-engine
# The device folder, as the console chooses it.
devdir=$("$engine" --show-device-dir)
system=/run/vellamorix

if [ "$devdir" = "$system" ] && [ "$(stat -c %G "$devdir" 2>/dev/null)" = vellamorix ] &&
  [ -S "$devdir/Global/QXDAnsi" ]; then
  echo "run-console: using the system engine (qxd-engine.service) in $devdir"
else
  if [ "$(id -u)" != 0 ] && [ "$(stat -c %G "$system" 2>/dev/null)" = vellamorix ] && [ ! -x "$system" ]; then
    echo "run-console: the system engine in $system serves only root and the members of group vellamorix" >&2
    echo "             (sudo adduser $(id -un) vellamorix, then log in again); using an engine of this user's own" >&2
  fi
  mkdir -p "$devdir"
  chmod 700 "$devdir"
  # A running engine holds the folder's lock file.
  lock=$devdir/.qxd-engine.lock
  if [ -e "$lock" ] && ! flock -n "$lock" true; then
    echo "run-console: using the qxd-engine that already serves $devdir"
  else
    logdir=${XDG_STATE_HOME:-$HOME/.local/state}/vellamorix
    log=$logdir/qxd-engine.log
    mkdir -p "$logdir"
    touch "$log"
    from=$(($(stat -c %s "$log") + 1))
    nohup "$engine" --device-dir "$devdir" >>"$log" 2>&1 &
    engine_pid=$!
    # It says whether it enforces before it says it is ready.
    ready=
    for _ in $(seq 1 150); do
      if tail -c +"$from" "$log" | grep -q '^qxd-engine: ready'; then
        ready=1
        break
      fi
      if ! kill -0 "$engine_pid" 2>/dev/null; then
        break
      fi
      sleep 0.1
    done
    if [ -z "$ready" ]; then
      echo "run-console: qxd-engine did not start; its last words ($log):" >&2
      tail -c +"$from" "$log" | tail -n 5 >&2
      kill "$engine_pid" 2>/dev/null || true
      exit 1
    fi
    echo "run-console: started qxd-engine (pid $engine_pid) in $devdir; log: $log"
    tail -c +"$from" "$log" | grep -E '^qxd-engine: (enforcing|not enforcing)' | sed 's/^/             /' || true
    echo "             it keeps running after the console closes; stop it with: kill $engine_pid"
  fi
fi

export VELLAMORIX_DEVICE_DIR=$devdir
exec "$build/console/Vellamorix"
