#!/usr/bin/env bash
# Leak and race checks: the unit and integration tests under AddressSanitizer with
# LeakSanitizer (the asan preset, a clang build, leaks reported at exit), then the unit,
# integration and system tests under ThreadSanitizer (the tsan preset,
# tests/tsan-suppressions.txt), the system tests on a private X display. Too slow for every CI run
# on two cores; run it before a release and after changing threads or queues.
#   bench/sanitizers.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)
for preset in "${presets[@]}"; do
    start=$(date +%s)
    build_preset "$preset"
    built=$(date +%s)
    tests=$preset
    if [ "$preset" = tsan ]; then
        # The system tests as well, on an X server of our own.
        [ -n "${QUELM_XVFB_DIR:-}" ] || start_private_display
        tests=tsan-system
    fi
    log=$(mktemp)
    status=0
    ctest --preset "$tests" -j "$(nproc)" | tee "$log" || status=$?
    summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no summary")
    rm -f "$log"
    echo "sanitizers: $preset: $summary; build $((built - start)) s, tests $(($(date +%s) - built)) s"
    [ "$status" -eq 0 ] || exit "$status"
done
