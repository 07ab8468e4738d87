#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from the build tree into a temporary folder (cpack, no rebuild) and
# checks it: its files and their modes, its control fields and maintainer scripts, the unit
# (systemd-analyze verify where it exists), the desktop entry, the programs' hardening
# (hardening-check and the tree's compile flags), lintian without errors or hardening tags, and what
# the maintainer scripts do with and without a running systemd (in a stand-in root with the
# system commands they call replaced by recorders).
#
#   test_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$1
src=$2
for tool in cpack dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing"
    exit 77
  fi
done

tmp=$(mktemp -d /tmp/vxpkg-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

failures=0
check() { # what expected actual
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    printf 'FAILED: %s:\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAILED: cpack"
  exit 1
fi
deb=$tmp/out/vellamorix_${version}_amd64.deb
if [ ! -f "$deb" ]; then
  ls -l "$tmp/out"
  echo "FAILED: no $deb"
  exit 1
fi

# --- Files, owners and modes.
expected="drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/Vellamorix
-rwxr-xr-x root/root ./usr/bin/vx-shellbrowser
-rwxr-xr-x root/root ./usr/bin/vxctl
-rwxr-xr-x root/root ./usr/bin/vxreg
drwxr-xr-x root/root ./usr/lib/
drwxr-xr-x root/root ./usr/lib/systemd/
drwxr-xr-x root/root ./usr/lib/systemd/system/
-rw-r--r-- root/root ./usr/lib/systemd/system/qxd-engine.service
drwxr-xr-x root/root ./usr/sbin/
-rwxr-xr-x root/root ./usr/sbin/qxd-engine
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/applications/
-rw-r--r-- root/root ./usr/share/applications/vellamorix.desktop
drwxr-xr-x root/root ./usr/share/bash-completion/
drwxr-xr-x root/root ./usr/share/bash-completion/completions/
-rw-r--r-- root/root ./usr/share/bash-completion/completions/vxctl
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/vellamorix/
-rw-r--r-- root/root ./usr/share/doc/vellamorix/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/vellamorix/copyright
drwxr-xr-x root/root ./usr/share/icons/
drwxr-xr-x root/root ./usr/share/icons/hicolor/
drwxr-xr-x root/root ./usr/share/icons/hicolor/256x256/
drwxr-xr-x root/root ./usr/share/icons/hicolor/256x256/apps/
-rw-r--r-- root/root ./usr/share/icons/hicolor/256x256/apps/vellamorix.png
drwxr-xr-x root/root ./usr/share/icons/hicolor/48x48/
drwxr-xr-x root/root ./usr/share/icons/hicolor/48x48/apps/
-rw-r--r-- root/root ./usr/share/icons/hicolor/48x48/apps/vellamorix.png
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/Vellamorix.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vx-shellbrowser.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vxctl.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vxreg.1.gz
drwxr-xr-x root/root ./usr/share/man/man8/
-rw-r--r-- root/root ./usr/share/man/man8/qxd-engine.8.gz
drwxr-xr-x root/root ./usr/share/vellamorix/
-rw-r--r-- root/root ./usr/share/vellamorix/Vellamorix.hlp
-rw-r--r-- root/root ./usr/share/vellamorix/vellamorix.png"
check "files, owners and modes" "$expected" \
  "$(dpkg-deb -c "$deb" | awk '$6 != "./" { print $1, $2, $6 }' | LC_ALL=C sort -k3)"

# --- Control fields and maintainer scripts.
check "package" "vellamorix $version amd64" "$(dpkg-deb -f "$deb" Package Version Architecture | cut -d' ' -f2 | paste -sd' ')"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6core6 libqt6widgets6 libsqlite3-0 libsystemd0 passwd; do
  case ", $depends," in
  *", $lib "* | *", $lib,"*) echo "ok: depends on $lib" ;;
  *) check "depends on $lib" "$lib" "$depends" ;;
  esac
done
check "maintainer scripts" "-rwxr-xr-x ./postinst
-rwxr-xr-x ./postrm
-rwxr-xr-x ./prerm" "$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - | awk '$6 ~ /post|pre/ { print $1, $6 }' | sort -k2)"
dpkg-deb -e "$deb" "$tmp/control"
for script in postinst prerm postrm; do
  check "$script is the project's" "" "$(cmp "$tmp/control/$script" "$src/packaging/deb/$script" 2>&1 || true)"
done

# --- The unit and the desktop entry as installed.
root=$tmp/root
dpkg-deb -x "$deb" "$root"
unit=$root/usr/lib/systemd/system/qxd-engine.service
check "the unit starts the installed engine" "/usr/sbin/qxd-engine --device-dir /run/vellamorix --group vellamorix" \
  "$(sed -n 's/^ExecStart=//p' "$unit")"
check "the unit is wanted at boot" "multi-user.target" "$(sed -n 's/^WantedBy=//p' "$unit")"
if command -v systemd-analyze >/dev/null; then
  # A copy that names the engine and finds the manual page where the package was unpacked.
  mkdir "$tmp/verify"
  sed "s#/usr/sbin/qxd-engine#$root/usr/sbin/qxd-engine#" "$unit" >"$tmp/verify/qxd-engine.service"
  if out=$(MANPATH=$root/usr/share/man systemd-analyze verify "$tmp/verify/qxd-engine.service" 2>&1); then
    check "systemd-analyze verify" "" "$out"
  else
    check "systemd-analyze verify" "passes" "$out"
  fi
else
  echo "note: systemd-analyze is missing; the unit is not verified"
fi
if command -v desktop-file-validate >/dev/null; then
  check "desktop entry" "" "$(desktop-file-validate "$root/usr/share/applications/vellamorix.desktop" 2>&1 || true)"
fi
check "desktop entry: name, command, categories" "Name=Vellamorix
Name[ko]=Vellamorix
Exec=Vellamorix
Categories=System;Security;" "$(grep -E '^(Name(\[ko\])?|Exec|Categories)=' "$root/usr/share/applications/vellamorix.desktop")"
check "desktop entry: a comment in Korean" "1" \
  "$(grep -cP '^Comment=.*[\x{AC00}-\x{D7A3}]' "$root/usr/share/applications/vellamorix.desktop" || true)"
check "copyright: the project's, machine-readable, GPL-3+" "$(cat "$src/packaging/copyright")" \
  "$(cat "$root/usr/share/doc/vellamorix/copyright")"
check "copyright: format and licence" "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/|License: GPL-3+|License: GPL-3+" \
  "$(grep -E '^(Format|License):' "$root/usr/share/doc/vellamorix/copyright" | paste -sd'|')"
for page in man1/Vellamorix.1 man1/vxctl.1 man1/vxreg.1 man1/vx-shellbrowser.1 man8/qxd-engine.8; do
  check "manual page $page" "" "$(zcat "$root/usr/share/man/$page.gz" | LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l - 2>&1 >/dev/null || true)"
done

# --- What the maintainer scripts do, in a stand-in root (DPKG_ROOT) with recorders in place of
# the commands that change the system.
sys=$tmp/sys
mkdir -p "$sys" "$tmp/stubs"
calls=$tmp/calls
groups=$tmp/groups
touch "$groups"
for cmd in groupadd chown deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$cmd" "$calls" >"$tmp/stubs/$cmd"
done
printf 'for a; do group=$a; done; echo "$group" >>"%s"\n' "$groups" >>"$tmp/stubs/groupadd"
printf '#!/bin/sh\n[ "$1" = group ] && grep -qx "$2" "%s"\n' "$groups" >"$tmp/stubs/getent"
chmod 755 "$tmp/stubs"/*
run() { # script args...
  : >"$calls"
  local script=$1
  shift
  DPKG_ROOT=$sys PATH="$tmp/stubs:$PATH" sh "$tmp/control/$script" "$@"
}
recorded() { grep -E "$1" "$calls" | paste -sd'|' || true; }

# A first install where systemd does not run: group, store, enabled for the next boot, not started.
run postinst configure
check "install: makes the group" "groupadd --system vellamorix" "$(recorded '^groupadd')"
check "install: store folder and file" "2770 660" "$(stat -c %a "$sys/var/lib/vellamorix" "$sys/var/lib/vellamorix/registry.db" | paste -sd' ')"
check "install: owned by the group" "chown root:vellamorix $sys/var/lib/vellamorix|chown root:vellamorix $sys/var/lib/vellamorix/registry.db" "$(recorded '^chown')"
check "install: enabled" "deb-systemd-helper enable qxd-engine.service" "$(recorded 'enable ')"
check "install without systemd: nothing started" "" "$(recorded '^(systemctl|deb-systemd-invoke)')"

# With systemd running: reloaded and started; an existing group and store are kept.
mkdir -p "$sys/run/systemd/system"
echo '{}' >"$sys/var/lib/vellamorix/registry.db"
run postinst configure
check "with systemd: started" "systemctl --system daemon-reload|deb-systemd-invoke start qxd-engine.service" \
  "$(recorded '^(systemctl|deb-systemd-invoke)')"
check "with systemd: the store is kept" "{}" "$(cat "$sys/var/lib/vellamorix/registry.db")"
check "with systemd: the group is kept" "" "$(recorded '^groupadd')"
run prerm remove
check "remove: stopped first" "deb-systemd-invoke stop qxd-engine.service" "$(recorded '^deb-systemd-invoke')"
run postrm remove
check "remove: the store stays" "yes" "$([ -f "$sys/var/lib/vellamorix/registry.db" ] && echo yes || echo no)"
run postrm purge
check "purge: the store is gone" "no" "$([ -e "$sys/var/lib/vellamorix" ] && echo yes || echo no)"
check "purge: forgotten by systemd" "deb-systemd-helper purge qxd-engine.service" "$(recorded 'helper purge')"

# --- Hardening: every installed program is built as Debian hardens a root service.
if ! command -v hardening-check >/dev/null; then
  echo "FAILED: hardening-check is missing (Debian's devscripts; tools/setup-debian.sh installs it)"
  failures=$((failures + 1))
else
  # Control-flow markers reach a program's note only when every object linked into it has them;
  # where the C runtime's start files have none, no program linked here can show them, and each
  # program's own code is checked for them instead.
  cfi=()
  printf 'int main(void) { return 0; }\n' >"$tmp/cet.c"
  if "${CC:-cc}" -fcf-protection -o "$tmp/cet" "$tmp/cet.c" && readelf -n "$tmp/cet" | grep -q 'x86 feature: IBT, SHSTK'; then
    echo "note: hardening-check requires control-flow protection"
  else
    cfi=(--nocfprotection)
    echo "note: a program linked here with -fcf-protection carries no IBT/SHSTK note (the C runtime's start files have none); hardening-check does not require it, the programs' own code is checked for it"
  fi
  for prog in "$root"/usr/bin/* "$root"/usr/sbin/*; do
    name=${prog#"$root"}
    if out=$(hardening-check "${cfi[@]}" "$prog" 2>&1); then
      echo "ok: hardening-check $name"
    else
      check "hardening-check $name" "passes" "$out"
    fi
    built=$(find "$build" -type f -name "$(basename "$prog")" -perm -u+x -print -quit)
    check "$name: its main function starts with a control-flow marker" "endbr64" \
      "$(objdump -d --no-show-raw-insn --disassemble=main "$built" | awk '/<main>:/ { getline; print $2; exit }')"
  done
  # Every compilation of the tree carries the flags (fortifying only where it optimises).
  flags="-fstack-protector-strong -fstack-clash-protection -fcf-protection -Werror=format-security"
  if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Debug' "$build/CMakeCache.txt"; then
    flags="$flags -D_FORTIFY_SOURCE=2"
  fi
  for flag in $flags; do
    check "every compilation has $flag" "0" \
      "$(grep '"command":' "$build/compile_commands.json" | grep -c -v -e " $flag " || true)"
  done
fi

# --- lintian: no errors, and no hardening tag (informational ones shown too).
if command -v lintian >/dev/null; then
  lintian --allow-root --display-info --tag-display-limit 0 "$deb" >"$tmp/lintian.log" 2>&1 || true
  sed 's/^/lintian: /' "$tmp/lintian.log"
  check "lintian errors" "" "$(grep '^E:' "$tmp/lintian.log" || true)"
  check "lintian hardening tags" "" "$(grep 'hardening-' "$tmp/lintian.log" || true)"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
if ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is missing (everything else passed)"
  exit 77
fi
echo "all checks passed"
