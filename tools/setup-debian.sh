#!/usr/bin/env bash
# Installs the Debian packages Vellamorix needs; does nothing when all are there.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config
  qt6-base-dev qt6-base-private-dev libgl-dev libsqlite3-dev libgtest-dev
  clang libclang-rt-14-dev
  liburing-dev libsystemd-dev
  fonts-nanum xvfb xauth
  dpkg-dev lintian desktop-file-utils devscripts
  ansible-core ansible-lint
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
