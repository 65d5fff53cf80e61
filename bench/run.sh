#!/bin/sh
# One command for the forwarding benchmark: installs what is missing and builds
# (scripts/setup.sh, RelWithDebInfo, into build/ or $TARNWELL_BUILD_DIR), then runs
# Tarnwell Agent and fetchmail on the same mailboxes and SMTP sink and prints the table.
# Arguments go to the benchmark (e.g. --runs 1 --sinks q for a short look).
# Takes about an hour, most of it fetchmail against the delayed-acknowledgement sink,
# both programs behind the delaying relays ((f), (g)) and fetchmail's per-message deletions
# in (e).
set -e
cd "$(dirname "$0")/.."
build=${TARNWELL_BUILD_DIR:-build}
TARNWELL_BUILD_DIR=$build scripts/setup.sh
exec "$build/bench/forward_bench" "$@"
