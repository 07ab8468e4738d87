#!/usr/bin/env bash
# The system service as its unit runs it: root and the members of its group reach the engine and
# the registry store, nobody else reaches either. The daemon runs with the unit's command lines,
# environment, umask, capability bounding set and no-new-privileges flag, in a temporary folder
# that stands in for /run and /var/lib, with a group and users the test makes and removes. It runs
# with --no-enforce, so nothing is mounted, and with --any-client, so the test's probe is served.
#
#   test_service.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
src=$2
unit=$src/packaging/qxd-engine.service.in
engine=$build/qxd/qxd-engine

if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root (makes a group and users, runs the engine as root)"
  exit 77
fi
for tool in groupadd useradd groupdel userdel runuser setpriv; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing"
    exit 77
  fi
done

tmp=$(mktemp -d /tmp/vxsvc-XXXXXX)
chmod 755 "$tmp"
# The users run the clients from here: the build tree may be closed to them.
mkdir "$tmp/bin"
cp "$build/tests/packaging/engine_probe" "$build/tools/vxreg/vxreg" "$tmp/bin/"
probe=$tmp/bin/engine_probe
vxreg=$tmp/bin/vxreg
suffix=$(printf '%04x%04x' $$ $RANDOM)
group=vxg$suffix
member=vxm$suffix
member2=vxn$suffix
other=vxo$suffix
pid=

cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  for u in "$member" "$member2" "$other"; do
    userdel "$u" 2>/dev/null || true
  done
  groupdel "$group" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
check() { # what expected actual
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: expected '$2', got '$3'"
    failures=$((failures + 1))
  fi
}

groupadd "$group"
for u in "$member" "$member2" "$other"; do
  useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --no-user-group "$u"
done
usermod -a -G "$group" "$member"
usermod -a -G "$group" "$member2"

# The unit's settings, with /run, /var/lib, the group and the engine's place made the test's.
setting() { sed -n "s/^$1=//p" "$unit"; }
localize() {
  sed -e "s#/run/vellamorix#$tmp/run/vellamorix#g" -e "s#/var/lib/vellamorix#$tmp/lib/vellamorix#g" \
    -e "s#@sbindir@/qxd-engine#$engine#g" -e "s#--group vellamorix#--group $group#g" \
    -e "s#-g vellamorix#-g $group#g"
}
start_cmd=$(setting ExecStart | localize)
pre_cmd=$(setting ExecStartPre | localize)
environment=$(setting Environment | localize)
umask_value=$(setting UMask)
caps=$(setting CapabilityBoundingSet)
runtime=$(setting RuntimeDirectory)
runtime_mode=$(setting RuntimeDirectoryMode)
check "the unit names the engine" "@sbindir@/qxd-engine" "$(setting ExecStart | cut -d' ' -f1)"
check "the unit runs the engine without a user of its own" "" "$(setting User)$(setting DynamicUser)"
check "the unit gives no new privileges" "yes" "$(setting NoNewPrivileges)"
check "the engine's runtime folder" "vellamorix" "$runtime"
check "the unit's engine enforces" "" "$(grep -o -e '--no-enforce' -e '--permissive' <<<"$start_cmd" || true)"
check "the unit's engine serves only the project's clients" "" "$(grep -o -e '--any-client' <<<"$start_cmd" || true)"
bounding="-all"
for c in $caps; do
  c=${c#CAP_}
  bounding="$bounding,+${c,,}"
done

registry=$tmp/lib/vellamorix/registry.db
devdir=$tmp/run/vellamorix
mkdir -p "$tmp/run" "$tmp/lib"
# What systemd does before the start: the runtime folder, then ExecStartPre ("-": may fail).
install -d -m "$runtime_mode" "$tmp/run/$runtime"
(umask "$umask_value" && eval "${pre_cmd#-}") || echo "note: ExecStartPre failed (allowed by the unit)"
check "store folder" "root:$group 2770" "$(stat -c '%U:%G %a' "$tmp/lib/vellamorix")"

start_engine() {
  log=$tmp/engine-$1.log
  (
    umask "$umask_value"
    # shellcheck disable=SC2086 # the command line is split as systemd splits it (no quotes in it)
    exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} \
      ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} $environment \
      setpriv --bounding-set "$bounding" --no-new-privs -- $start_cmd --no-enforce --any-client
  ) >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 1 300); do
    grep -q '^qxd-engine: ready' "$log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the engine did not get ready:"
  cat "$log"
  exit 1
}

stop_engine() {
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "FAILED: the engine did not stop on SIGTERM"
    failures=$((failures + 1))
    kill -9 "$pid"
  fi
  wait "$pid" || true
  pid=
}

as() { # user command...
  local u=$1
  shift
  # Leaks are not looked for here: the sanitizers' files may be closed to these users.
  runuser -u "$u" -- env -i PATH=/usr/bin:/bin VELLAMORIX_DEVICE_DIR="$devdir" VELLAMORIX_REGISTRY="$registry" \
    HOME=/nonexistent ASAN_OPTIONS=detect_leaks=0 "$@"
}

# --- First start: no store yet.
start_engine 1
check "not enforcing with --no-enforce" 1 "$(grep -c '^qxd-engine: not enforcing' "$tmp/engine-1.log")"
check "device folder" "root:$group 750 directory" "$(stat -c '%U:%G %a %F' "$devdir")"
check "Global folder" "root:$group 750 directory" "$(stat -c '%U:%G %a %F' "$devdir/Global")"
for s in QXDAnsi QXDUni Global/QXDAnsi Global/QXDUni; do
  check "socket $s" "root:$group 660 socket" "$(stat -c '%U:%G %a %F' "$devdir/$s")"
done
check "NoNewPrivs of the engine" "1" "$(sed -n 's/^NoNewPrivs:[[:space:]]*//p' "/proc/$pid/status")"

check "root reaches the engine" "count 0" "$(VELLAMORIX_DEVICE_DIR=$devdir "$probe" count || true)"
check "a member reaches the engine" "count 0" "$(as "$member" "$probe" count || true)"
check "the engine serves a member" "serves" "$(as "$member" "$probe" serves "$devdir" "$group" || true)"
check "another user is refused" "open error 5" "$(as "$other" "$probe" count || true)"
check "the engine does not serve another user" "does not serve" \
  "$(as "$other" "$probe" serves "$devdir" "$group" || true)"

# --- The store: a member writes it, the other members read it, nobody else does.
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TOVRA\\Vellamorix\\Entry]\r\n"EntryCount"=dword:00000002\r\n"0"="C:\\\\srv\\\\a,*,,,2052"\r\n"1"="C:\\\\srv\\\\b,notepad*,,,512"\r\n' \
  >"$tmp/entries.reg"
chmod 644 "$tmp/entries.reg"
check "a member writes the store" "0" "$(as "$member" "$vxreg" import "$tmp/entries.reg" >/dev/null 2>&1; echo $?)"
check "the store is the group's" "$member:$group 660" "$(stat -c '%U:%G %a' "$registry")"
check "nothing else is left in the store's folder" "registry.db" "$(ls -A "$tmp/lib/vellamorix" | tr '\n' ' ' | sed 's/ $//')"
check "another member reads it" "0" "$(as "$member2" "$vxreg" query 'HKLM\SOFTWARE\TOVRA\Vellamorix\Entry' >/dev/null 2>&1; echo $?)"
other_read=$(as "$other" "$vxreg" query 'HKLM\SOFTWARE\TOVRA\Vellamorix\Entry' 2>&1 || true)
check "another user cannot read it" "vxreg: cannot read the registry store $registry: permission denied" "$other_read"
check "another user cannot write it" "1" "$(as "$other" "$vxreg" import "$tmp/entries.reg" >/dev/null 2>&1; echo $?)"
stop_engine
check "the sockets are gone after a stop" "" "$(ls "$devdir/Global" 2>/dev/null)"

# --- Second start, as after a reboot: the engine loads what the member stored.
(umask "$umask_value" && eval "${pre_cmd#-}") || true
start_engine 2
check "the engine loaded the stored entries" "count 2" "$(as "$member2" "$probe" count || true)"
check "the store keeps its group" "$member:$group 660" "$(stat -c '%U:%G %a' "$registry")"
stop_engine

# --- A group that does not exist is a clear error.
"$engine" --device-dir "$tmp/x" --group "nosuch$suffix" --no-enforce >"$tmp/nogroup.log" 2>&1 && status=0 || status=$?
check "unknown group: exit status" "2" "$status"
check "unknown group: message" "qxd-engine: no group named nosuch$suffix (--group)" "$(cat "$tmp/nogroup.log")"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
