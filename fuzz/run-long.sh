#!/usr/bin/env bash
# The long fuzzing run: builds the fuzz targets into build-fuzz/ (clang-14, libFuzzer,
# ASan + UBSan) and runs every target for at least a million executions, two at a time.
# Usage: fuzz/run-long.sh [RUNS [JOBS]]   (defaults 1000000 and 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${TARNWELL_FUZZ_BUILD_DIR:-build-fuzz}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWELL_TESTS=OFF -DTARNWELL_FUZZ=ON >/dev/null
cmake --build "$build"
exec fuzz/run.sh "$build" "${1:-1000000}" "${2:-2}"
