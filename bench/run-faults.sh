#!/bin/sh
# Builds and runs the fault benchmark: POP3 (mail deleted) and IMAP (mail left) mailboxes
# forwarded through cutting, stalling and refusing relays, with the agent killed at
# random moments, until at least the given number of interruptions struck; prints the
# lost and duplicated counts.
# Usage: bench/run-faults.sh [interruptions (default 1000)] [messages per round (default 20)] [-v]
# Environment: BUILD (default build, configured RelWithDebInfo when new),
# TARNWELL_FAULT_SEED to replay a campaign.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$src/build}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target faults "Tarnwell Agent"
exec "$build/bench/faults" "$@"
