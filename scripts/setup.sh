#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need, then
# configures and builds into build/ (or TARNWELL_BUILD_DIR: absolute, or relative to the
# checkout). Idempotent; works as root or through sudo.
# Usage: scripts/setup.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config
  libssl-dev openssl libplist-dev
  libgtest-dev googletest
  dovecot-core dovecot-pop3d dovecot-imapd python3-aiosmtpd
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  fetchmail time
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev dbus-daemon dbus-bin libglib2.0-bin xvfb xauth fonts-dejavu-core
  desktop-file-utils appstream librsvg2-bin lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  # Test servers are started by the tests themselves; the packages must not start the
  # system's own instances.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod +x "$policy"
    trap '$sudo rm -f "$policy"' EXIT
  fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

. scripts/build-dir.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$build"
