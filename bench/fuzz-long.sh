#!/usr/bin/env bash
# The long fuzz run: every libFuzzer target for N runs (default 10 million) from its seed
# corpus, on one core, printing per target the runs done, the coverage (libFuzzer's "cov:"
# edges and "ft:" features) and the findings. Builds the fuzz preset first.
#   bench/fuzz-long.sh [runs] [target ...]
# QUELM_FUZZ_BIN=<folder> runs prebuilt targets from there instead of building.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

runs=${1:-10000000}
shift || true
bin=${QUELM_FUZZ_BIN:-build-fuzz/fuzz}
[ -z "${QUELM_FUZZ_BIN:-}" ] && build_preset fuzz >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in fuzz/*Fuzzer.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

out=${QUELM_FUZZ_OUT:-build-fuzz/long}
mkdir -p "$out"
printf '%-26s %12s %8s %8s %9s %8s\n' target runs cov ft seconds findings
for target in "${targets[@]}"; do
    corpus="$out/corpus-$target"
    mkdir -p "$corpus"
    cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    log="$out/$target.log"
    start=$(date +%s)
    status=0
    "$bin/$target" -runs="$runs" -print_final_stats=1 \
        -artifact_prefix="$out/$target-" "$corpus" >"$log" 2>&1 || status=$?
    seconds=$(($(date +%s) - start))
    done_runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    findings=$(find "$out" -maxdepth 1 -name "$target-*" | wc -l)
    [ "$status" -ne 0 ] && [ "$findings" -eq 0 ] && findings="exit $status"
    printf '%-26s %12s %8s %8s %9s %8s\n' "$target" "${done_runs:-?}" "${cov:-?}" "${ft:-?}" \
        "$seconds" "$findings"
done
