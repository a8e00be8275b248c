#!/usr/bin/env bash
# Leak and race checks: the unit and integration tests under AddressSanitizer with
# LeakSanitizer (the asan preset, a clang build, leaks reported at exit), then under ThreadSanitizer (the tsan
# preset). Too slow for every CI run on two cores; run it before a release and after changing
# threads or queues.   bench/sanitizers.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)
for preset in "${presets[@]}"; do
    build_preset "$preset"
    start=$(date +%s)
    ctest --preset "$preset" -j "$(nproc)"
    echo "sanitizers: $preset passed in $(($(date +%s) - start)) s"
done
