#!/usr/bin/env bash
# Runs fuzz targets for a fixed number of executions each, over their seed corpora.
# New inputs go to a scratch folder (the committed corpora stay as they are); a crash
# input is kept as <build>/fuzz-artifacts/<target>-crash-<hash>.
# Usage: fuzz/run.sh BUILD_DIR RUNS [JOBS [target...]]
# Prints libFuzzer's final stats line per target and "fuzz: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1 runs=$2 jobs=${3:-1}
shift $(($# < 3 ? $# : 3))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(index settings pop imap smtp http_header http_chunked forms hotmail yahoo utf8 qp_base64 relay)

artifacts=$build/fuzz-artifacts
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

run_one() {
    local t=$1 start end rc
    mkdir -p "$scratch/$t"
    start=$(date +%s)
    "$build/fuzz/fuzz_$t" -runs="$runs" -seed="${TARNWELL_FUZZ_SEED:-1}" -max_len=${TARNWELL_FUZZ_MAX_LEN:-4096} -rss_limit_mb=2048 -timeout=20 -close_fd_mask=3 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "$scratch/$t" "fuzz/corpus/$t" >"$scratch/$t.log" 2>&1
    rc=$?
    end=$(date +%s)
    {
        echo "fuzz_$t: $([ $rc -eq 0 ] && echo ok || echo "FAILED (exit $rc)") in $((end - start)) s"
        grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$scratch/$t.log" | sed 's/^/  /'
        [ $rc -eq 0 ] || grep -E 'ERROR|SUMMARY|fuzz check|Test unit written' "$scratch/$t.log" | head -5 | sed 's/^/  /'
    } >"$scratch/$t.summary"
    return $rc
}

passed=0 failed=0 running=0
declare -A names
# Waits for whichever run ends first and prints its summary.
reap() {
    local pid rc=0
    wait -n -p pid || rc=$?
    if [ $rc -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    cat "$scratch/${names[$pid]}.summary"
    running=$((running - 1))
}
for t in "${targets[@]}"; do
    [ "$running" -lt "$jobs" ] || reap
    run_one "$t" &
    names[$!]=$t
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do reap; done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
