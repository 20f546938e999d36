#!/usr/bin/env bash
# Builds both targets and runs the whole test suite: host tests plain, under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the concurrency scenarios under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
ensure_build_packages

passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== Windows cross build"
build_windows

# run_host_suite DIR LABEL [cmake options...]: builds one host configuration and runs its tests,
# adding its counts to the totals; CTEST_ARGS selects tests.
run_host_suite() {
    local dir=$1 label=$2
    shift 2
    echo "== Host tests: $label"
    configure_build "$dir" -DCMAKE_BUILD_TYPE=Debug "$@"
    cmake --build "$dir" -j2
    local rc=0
    ctest --test-dir "$dir" --output-on-failure -j2 ${CTEST_ARGS:-} 2>&1 | tee "$log" || rc=$?
    local line nfailed=0
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local total
        nfailed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        passed=$((passed + total - nfailed))
        failed=$((failed + nfailed))
    fi
    # A ctest that failed without counting a failed test (a crash of ctest itself, a bad
    # selection) still fails the run.
    if [ "$rc" -ne 0 ] && [ "$nfailed" -eq 0 ]; then
        failed=$((failed + 1))
    fi
    return 0
}

# The shipped uninstaller on Wine, an independent implementation of Win32.
run_wine_stage() {
    echo "== Wine: the uninstaller as a Windows program"
    local rc=0
    tests/wine/uninstaller/run.sh build/windows dist 2>&1 | tee "$log" || rc=$?
    local line
    line=$(grep -E '^wine: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        passed=$((passed + $(sed -E 's/wine: ([0-9]+) passed.*/\1/' <<<"$line")))
        failed=$((failed + $(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
    return 0
}

run_wine_stage
run_host_suite build/host "plain"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_host_suite build/asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DCARDRW_SANITIZE=address
CTEST_ARGS="-L concurrency" TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    run_host_suite build/tsan "ThreadSanitizer (concurrency scenarios)" -DCARDRW_SANITIZE=thread

echo
echo "summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
