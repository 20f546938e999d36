#!/usr/bin/env bash
# Builds both targets and runs the whole test suite: host tests plain, under AddressSanitizer
# with UndefinedBehaviorSanitizer, the concurrency scenarios under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
ensure_build_packages

echo "== Windows cross build"
build_windows

run_host_suite() {
    local dir=$1 label=$2
    shift 2
    echo "== Host tests: $label"
    configure_build "$dir" -DCMAKE_BUILD_TYPE=Debug "$@"
    cmake --build "$dir" -j2
    ctest --test-dir "$dir" --output-on-failure -j2 ${CTEST_ARGS:-}
}

run_host_suite build/host "plain"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_host_suite build/asan "AddressSanitizer + UndefinedBehaviorSanitizer" -DCARDRW_SANITIZE=address
CTEST_ARGS="-L concurrency" TSAN_OPTIONS=halt_on_error=1 \
    run_host_suite build/tsan "ThreadSanitizer (concurrency scenarios)" -DCARDRW_SANITIZE=thread
