#!/usr/bin/env bash
# Runs the libFuzzer targets (clang, AddressSanitizer, UBSan, leak checks).
#   scripts/fuzz.sh                      every target for 60 seconds
#   scripts/fuzz.sh bytelist 600         one target for 600 seconds
#   scripts/fuzz.sh all runs=10000000    every target for ten million executions
# Targets: bytelist (the ListeCar list), porttext (the Com box), framedecoder (the simulator).
# Each starts from its seed corpus in fuzz/corpus/<target>; new inputs go to build/fuzz/corpus/<target>,
# crashes to build/fuzz/crashes/. Exits non-zero if any target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libclang-rt-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

which=${1:-all}
budget=${2:-60}
case "$budget" in
    runs=*) limit=(-runs="${budget#runs=}") ;;
    *) limit=(-max_total_time="$budget") ;;
esac
[ "$which" = all ] && targets=(bytelist porttext framedecoder) || targets=("$which")

mkdir -p build/fuzz/crashes
for target in "${targets[@]}"; do
    corpus=build/fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "== fuzz_$target (${limit[*]})"
    log=build/fuzz/fuzz_$target.log
    status=0
    build/fuzz/fuzz/fuzz_"$target" "${limit[@]}" -max_len=512 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/crashes/"$target"- "$corpus" fuzz/corpus/"$target" >"$log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done|SUMMARY)|ERROR' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target found a fault (exit $status): see $log and build/fuzz/crashes/" >&2
        exit 1
    fi
done
