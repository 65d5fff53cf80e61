#!/usr/bin/env bash
# Builds the Debian package from a clean build folder (build-deb/, or the folder given)
# and checks it with lintian: prints the package's path last; exits non-zero when the
# build fails or lintian reports an error. Installs what the build needs (apt-get) first.
# Usage: scripts/package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

rm -rf "$build"
if ! command -v dpkg-buildflags >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends dpkg-dev
fi
# Debian's hardening flags, as a package built by dpkg-buildpackage would have them.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
TARNWELL_BUILD_DIR=$build scripts/setup.sh -DCMAKE_INSTALL_PREFIX=/usr -DTARNWELL_TESTS=OFF
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tarnwell_*.deb)
# Only errors fail the package; the warnings left are explained in the README.
lintian --fail-on error "$deb" || exit 1
echo "$deb"
