#!/usr/bin/env bash
# Renders the tray icon and menu, and the preferences window's accounts, account form
# and a validation alert (offscreen, on a private session bus) into docs/screenshots/
# (or the folder given), for the README and for looking at by eye.
# Usage: scripts/screenshots.sh [output folder]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/screenshots}")
scripts/setup.sh >/dev/null
. scripts/build-dir.sh
cmake --build "$build" --target tarnwell_screenshots >/dev/null
QT_QPA_PLATFORM=offscreen dbus-run-session -- "$build/tools/screenshots/tarnwell_screenshots" "$out"
