#!/usr/bin/env bash
# Sets up and builds, then shows one agent run in a throwaway HOME: three accounts
# configured with tarnwell-settings and no SMTP host yet, so the run stops with the
# alert a user sees before the outgoing server is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
bin="$PWD/${TARNWELL_BUILD_DIR:-build}/bin"

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
settings() { HOME="$home" "$bin/tarnwell-settings" "$@"; }

echo "== Settings written with tarnwell-settings (HOME=$home)"
settings write dftFwd me@example.org
settings account add --address ann@example.com --password 'pop secret' \
    --server pop.example.com:995 --secure 1 --leave 0 --type POP
settings account add --address bob@example.net --password hunter2 \
    --server imap.example.net --leave 1 --type IMAP --enable 0
settings account add --address carol@example.com --password pw \
    --server mail.example.com --forward carol@example.org --login carol
settings account list
echo
echo "== Tarnwell Agent -d (status lines on standard output)"
HOME="$home" "$bin/Tarnwell Agent" -d
echo
echo "== ~/Library/Logs/Tarnwell.log"
cat "$home/Library/Logs/Tarnwell.log"
echo
echo "== ~/Library/Logs/Tarnwell Trace.log (settings as the agent read them)"
grep -E '^(Tarnwell|smtp|dftFwd|auto|Account[0-3]:|Memory)' "$home/Library/Logs/Tarnwell Trace.log"
