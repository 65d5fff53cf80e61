#!/usr/bin/env bash
# Sets up and builds, then forwards real mail on this machine: two private Dovecot
# mailboxes (POP3 over TLS with a test CA, IMAP in plain text), the Hotmail web-mail
# stand-in (sim/) and an SMTP sink, all on 127.0.0.1. The POP and Hotmail accounts delete
# what they forwarded, the IMAP account leaves it; a second run shows that nothing is
# forwarded twice. Every server is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
. scripts/build-dir.sh
bin="$build/bin"

home=$(mktemp -d)
coproc SERVERS { "$build/tests/demo_servers"; }
servers_in=${SERVERS[1]}
cleanup() {
  exec {servers_in}>&- 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT

declare -A at
while read -r key value <&"${SERVERS[0]}"; do
  [ "$key" = READY ] && break
  at[$key]=$value
done
export SSL_CERT_FILE=${at[CA]} # the TLS mailbox and the stand-in sign-in are certified by the test CA

settings() { HOME="$home" "$bin/tarnwell-settings" "$@"; }
agent() { HOME="$home" "$bin/Tarnwell Agent" "$@" | sed 's/^/   | /'; }

echo "== Settings (tarnwell-settings, HOME=$home)"
settings write SMTPHost "${at[SMTP]}"
settings write dftFwd me@example.org
# Passwords go through standard input ("-"): printf is built into the shell, so the
# password never shows in the process table.
printf '%s\n' "${at[PASSWORD]}" | settings account add --address ann@example.com --password - \
    --login "${at[USER]}" --server "${at[POP3S]}" --secure 1 --leave 0 --type POP
printf '%s\n' "${at[PASSWORD]}" | settings account add --address ann@example.net --password - \
    --login "${at[USER]}" --server "${at[IMAP]}" --secure 0 --leave 1 --type IMAP
# The Hotmail account signs in through the stand-in's pages; the two hidden settings
# point the agent at it instead of the service.
settings write HotmailStartURL "${at[HOTMAIL_START]}"
settings write HotmailLoginHost "${at[HOTMAIL_LOGIN]}"
printf '%s\n' secret | settings account add --address tester@hotmail.com --password - --type Hotmail --leave 0
settings write YahooStartURL "${at[YAHOO_START]}"
settings write YahooLoginHost "${at[YAHOO_LOGIN]}"
printf '%s\n' secret | settings account add --address tester@yahoo.com --password - --type Yahoo --leave 0
settings account list

echo
echo "== First run: Tarnwell Agent (status lines as they come)"
agent
echo
echo "== What the SMTP server received"
for env in "${at[SINK]}"/*.env; do
  eml=${env%.env}.eml
  subject=$(grep -m1 -i '^Subject:' "$eml" | tr -d '\r')
  match="no copy of a stored message"
  for stored in "${at[STORED]}"/*.eml; do
    if cmp -s "$stored" "$eml"; then match="byte-identical to $(basename "$stored")"; fi
  done
  # Yahoo gives no raw source: its messages are rebuilt, and judged by the MIME checker.
  if [ "$match" = "no copy of a stored message" ]; then
    for stored in "${at[STORED]}"/yahoo-*.eml; do
      if /usr/bin/python3 sim/mimecheck.py "$stored" "$eml" >/dev/null 2>&1; then
        match="MIME-equivalent to $(basename "$stored")"
      fi
    done
  fi
  printf '   %s  %-38s %6d bytes  %s\n' "$(basename "$eml")" "$subject" "$(stat -c %s "$eml")" "$match"
done
echo "LEFT" >&"$servers_in"
read -r line <&"${SERVERS[0]}"
echo "   $line"

echo
echo "== Second run: nothing is forwarded twice"
agent
echo "   messages at the SMTP server: $(ls "${at[SINK]}"/*.eml | wc -l)"

echo
echo "== Tarnwell Menu without a display, on a private session bus: a new message arrives, the"
echo "   preferences window's \"getMail\" request is sent, and the menu's announcements are shown"
echo "NEW" >&"$servers_in"
read -r line <&"${SERVERS[0]}"
HOME="$home" dbus-run-session -- tests/demo/menu_demo.sh "$bin" 2>/dev/null
echo "   messages at the SMTP server: $(ls "${at[SINK]}"/*.eml | wc -l)"

echo
echo "== Tarnwell Preferences without a display, on a private session bus: the window starts the"
echo "   menu as it does for a user, another message arrives, and \"Get Mail\" is pressed in its Status tab"
echo "NEW" >&"$servers_in"
read -r line <&"${SERVERS[0]}"
HOME="$home" QT_QPA_PLATFORM=offscreen dbus-run-session -- "$build/tests/window_demo" "$bin" "$build/demo-status-tab.png" 2>/dev/null
echo "   messages at the SMTP server: $(ls "${at[SINK]}"/*.eml | wc -l)"
echo "   the window as it looked: $build/demo-status-tab.png"

echo
echo "== ~/Library/Logs/Tarnwell.log"
sed 's/^/   | /' "$home/Library/Logs/Tarnwell.log"
