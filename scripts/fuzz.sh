#!/bin/sh
# Builds the libFuzzer targets with clang into the folder given (default: build-fuzz), writes
# their seed inputs with the test fixtures' code and runs each target for SECONDS (default 60)
# on a scratch corpus that starts from the seeds. Inputs that crash a target are kept in
# DIR/fuzz-scratch/artifacts; any crash, leak or time-out makes the script fail.
# Extra arguments go to CMake's configure step.
# Usage: fuzz.sh [DIR [SECONDS [CMAKE-ARGS...]]]
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-fuzz}
[ $# -gt 0 ] && shift
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets="xml_fuzz config_fuzz pe_fuzz hive_fuzz wim_open_fuzz"

CXX=clang++ cmake -S "$here" -B "$here/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLORIC_FUZZ=ON "$@"
# shellcheck disable=SC2086
cmake --build "$here/$dir" -j"$(nproc)" --target $targets fuzz_seeds

scratch="$here/$dir/fuzz-scratch"
rm -rf "$scratch"
mkdir -p "$scratch/seeds" "$scratch/artifacts"
"$here/$dir/tests/fuzz/fuzz_seeds" "$scratch/seeds"
mkdir -p "$scratch/seeds/config_fuzz"
cp "$here"/tests/config/cases/*.case "$scratch/seeds/config_fuzz/"

# libwim allocates whatever size a hostile WIM header claims before it reads the data. Such an
# allocation returns null here, as on a machine without that much memory, and the library's
# error reaches our code, which must handle it; a failed C++ allocation still stops the run.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=1024"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/tests/lsan.supp:print_suppressions=0}"

failed=""
for t in $targets; do
    mkdir -p "$scratch/corpus/$t"
    echo "== $t: $seconds s"
    # New inputs go to the scratch corpus (the first folder); the seeds are only read.
    if ! "$here/$dir/tests/fuzz/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$scratch/artifacts/$t-" "$scratch/corpus/$t" "$scratch/seeds/$t" \
        >"$scratch/$t.log" 2>&1; then
        tail -n 60 "$scratch/$t.log"
        failed="$failed $t"
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$scratch/$t.log" || true
done
if [ -n "$failed" ]; then
    echo "fuzz targets failed:$failed (inputs in $scratch/artifacts)"
    exit 1
fi
