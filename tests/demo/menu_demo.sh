#!/usr/bin/env bash
# The demo's menu part, run inside a private session bus (dbus-run-session): starts
# Tarnwell Menu without a display, asks it for mail as the preferences window does, and
# prints every message the menu announces until the run's summary has come, then quits
# the menu. Usage: menu_demo.sh BIN_FOLDER (HOME set to the demo's home).
set -euo pipefail
bin=$1
export QT_QPA_PLATFORM=offscreen
"$bin/Tarnwell Menu" 2>/dev/null &
menu=$!
trap 'kill -TERM $menu 2>/dev/null; wait $menu 2>/dev/null || true' EXIT
gdbus wait --session --timeout 20 com.vexlo.Tarnwell.Menu

# One line per notification; the summary's line feeds are shown as continuation lines.
# "READY" once the monitor's subscription is in place.
watch() {
  gdbus monitor --session --dest com.vexlo.Tarnwell.Menu |
    sed -u -n -e '/is owned by/s/.*/READY/p' -e "s/.*Notification ('Tarnwell Menu Notification', 'com.vexlo.twell.menu', {\(.*\)})$/\1/p" |
    sed -u -e "s/'msgControl': 'status', 'statAcct': '\([^']*\)', 'statMsg': '\(.*\)'/status   \1 | \2/" \
           -e "s/'msgControl': 'summary', 'statSummary': '\(.*\)'/summary  \1/" \
           -e 's/\\n/\n            /g' -e '/^summary  Run completed/s/$/\nEND/'
}
exec {watched}< <(watch)
read -r -t 20 line <&"$watched"
gdbus emit --session --object-path /com/vexlo/Tarnwell \
  --signal com.vexlo.Tarnwell.DistributedNotifications.Notification \
  "'Tarnwell Control Notification'" "'com.vexlo.twell.control'" "{'control': 'getMail'}" >/dev/null
while IFS= read -r -t 120 line <&"$watched"; do
  [ "$line" = END ] && break
  printf '   %s\n' "$line"
done
