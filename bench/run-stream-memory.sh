#!/bin/sh
# Builds and runs the stream memory benchmark: peak RSS before and after fetching a
# 100 MB message through POP3 and IMAP from a private Dovecot.
# Usage: bench/run-stream-memory.sh [build folder]   (default: build, configured RelWithDebInfo when new)
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target stream_memory
exec "$build/bench/stream_memory"
