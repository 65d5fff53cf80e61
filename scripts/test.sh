#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the tests (in build/, or
# TARNWELL_BUILD_DIR: absolute, or relative to the checkout), the same tests built with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), and every fuzz target
# for a short fixed number of executions (build-fuzz/, clang). Every step runs even
# when an earlier one failed; the last line counts them all, and the exit status is
# non-zero when anything failed.
# TARNWELL_FUZZ_RUNS sets the executions per fuzz target (default 20000).
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/build-dir.sh

passed=0 failed=0 timings=()

step_time() { timings+=("$1 $(($(date +%s) - $2)) s"); }

# Adds the counts of ctest's summary line, or one failure when there is none.
count_ctest() {
    local summary
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
    if [ -z "$summary" ]; then
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

t=$(date +%s)
if ! scripts/setup.sh; then
    echo "total: 0 passed, 1 failed"
    exit 1
fi
step_time "set-up and build" "$t"

t=$(date +%s)
ctest --test-dir "$build" --output-on-failure -j2 2>&1 | tee "$log/tests"
count_ctest "$log/tests"
step_time "tests" "$t"

t=$(date +%s)
if TARNWELL_BUILD_DIR=build-asan scripts/setup.sh -DTARNWELL_SANITIZE=ON; then
    step_time "sanitizer build" "$t"
    t=$(date +%s)
    ctest --test-dir build-asan --output-on-failure -j2 2>&1 | tee "$log/asan"
    count_ctest "$log/asan"
    step_time "tests under ASan+UBSan" "$t"
else
    failed=$((failed + 1))
fi

t=$(date +%s)
if CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARNWELL_TESTS=OFF -DTARNWELL_FUZZ=ON >/dev/null && cmake --build build-fuzz; then
    step_time "fuzz build" "$t"
    t=$(date +%s)
    fuzz/run.sh build-fuzz "${TARNWELL_FUZZ_RUNS:-20000}" 2 2>&1 | tee "$log/fuzz"
    summary=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed' "$log/fuzz" | tail -1)
    if [ -n "$summary" ]; then
        passed=$((passed + $(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$summary")))
        failed=$((failed + $(sed -E 's/.* ([0-9]+) failed/\1/' <<<"$summary")))
    else
        failed=$((failed + 1))
    fi
    step_time "fuzz runs" "$t"
else
    failed=$((failed + 1))
fi

echo "time: $(IFS=,; echo "${timings[*]}" | sed 's/,/, /g')"
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
