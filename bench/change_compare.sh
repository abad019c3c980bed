#!/usr/bin/env bash
# Times the changes to an existing 1 GB WIM through pelloric-run against wimlib-imagex doing
# the same change, and prints the ratios (pelloric / wimlib-imagex) of wall and CPU time:
#
#   delete   1067 deleteSource=W deleteIndex=2            wimlib-imagex delete W 2 --soft
#   modify   1046 modifySource=W modifyIndex=1 modifyName=N
#                                                         wimlib-imagex info W 1 --image-property NAME=N
#
#   bench/change_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# The WIM holds a 1 GB image of 20 000 files of incompressible data (stored uncompressed)
# and a small second image. Each delete runs on a fresh copy of it (the copy is not timed);
# the modifies run one after another on one copy, alternating the tools. REPEAT=n (default
# 5) keeps the fastest of n runs per tool. KEEP=1 keeps the work folder.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
run=${1:-}
if [[ -z $run ]]; then
    for candidate in "$here/build-release/src/app/pelloric-run" "$here/build/src/app/pelloric-run"; do
        if [[ -x $candidate ]]; then run=$candidate; break; fi
    done
fi
[[ -x ${run:-} ]] || { echo "pelloric-run not found; pass its path" >&2; exit 2; }
command -v wimlib-imagex >/dev/null || { echo "wimlib-imagex is not installed" >&2; exit 2; }
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/change-compare.XXXXXX")}
mkdir -p "$work"
repeat=${REPEAT:-5}
cleanup() { [[ ${KEEP:-0} == 1 ]] || rm -rf "$work"; }
trap cleanup EXIT

if [[ ! -f $work/base.wim ]]; then
    echo "generating a 1 GB tree and its WIM in $work ..."
    python3 - "$work/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261208)
block = os.urandom(4 << 20)
total = 0
for i in range(20000):
    size = rng.randint(0, 100 << 10)
    d = os.path.join(root, 'd%02d' % (i % 40), 's%03d' % (i // 40 % 25))
    os.makedirs(d, exist_ok=True)
    start = rng.randrange(0, len(block) - size - 16)
    with open(os.path.join(d, 'f%05d.bin' % i), 'wb') as f:
        f.write(('%d' % i).encode() + block[start:start + size])
    total += size
print('20000 files, %.0f MB' % (total / 1e6))
PY
    mkdir -p "$work/small"
    echo small >"$work/small/s.txt"
    wimlib-imagex capture "$work/tree" "$work/base.wim" big --compress=none >/dev/null
    wimlib-imagex append "$work/small" "$work/base.wim" small >/dev/null
    rm -rf "$work/tree"
fi
ls -l "$work/base.wim"

measure() {
    if ! /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >"$work/last.log" 2>&1; then
        echo "FAILED: $*" >&2
        tail -n 20 "$work/last.log" >&2
        exit 1
    fi
    read -r wall user sys <"$work/time.txt"
    echo "$wall $(echo "$user + $sys" | bc)"
}
min() { echo "if ($1 < $2) $1 else $2" | bc; }
ratio() { if [[ $(echo "$2 > 0" | bc) == 1 ]]; then echo "scale=2; $1 / $2" | bc; else echo -; fi; }

results=()
# step NAME FRESH_COPY(0/1) -- PELLORIC_ARGS... -- IMAGEX_ARGS...
step() {
    local name=$1 fresh=$2
    shift 2
    local pArgs=() wArgs=()
    [[ $1 == -- ]] && shift
    while [[ $1 != -- ]]; do pArgs+=("$1"); shift; done
    shift
    wArgs=("$@")
    local wallP=999999 wallW=999999 cpuP=999999 cpuW=999999 out wall cpu tool
    cp "$work/base.wim" "$work/w.wim"
    for ((i = 0; i < repeat; i++)); do
        for tool in $( ((i % 2 == 0)) && echo "p w" || echo "w p"); do
            if [[ $fresh == 1 ]]; then cp "$work/base.wim" "$work/w.wim"; fi
            sync
            if [[ $tool == p ]]; then
                out=$(measure "$run" "${pArgs[@]}")
                read -r wall cpu <<<"$out"
                wallP=$(min "$wall" "$wallP"); cpuP=$(min "$cpu" "$cpuP")
            else
                out=$(measure wimlib-imagex "${wArgs[@]}")
                read -r wall cpu <<<"$out"
                wallW=$(min "$wall" "$wallW"); cpuW=$(min "$cpu" "$cpuW")
            fi
        done
    done
    wimlib-imagex verify "$work/w.wim" >/dev/null
    results+=("$(printf '%-8s %8.3f %8.3f %6s %8.3f %8.3f %6s' "$name" "$wallP" "$wallW" \
        "$(ratio "$wallP" "$wallW")" "$cpuP" "$cpuW" "$(ratio "$cpuP" "$cpuW")")")
}

w=$work/w.wim
step delete 1 -- 1067 "deleteSource=$w" deleteIndex=2 -- delete "$w" 2 --soft
step modify 0 -- 1046 "modifySource=$w" modifyIndex=1 modifyName=renamed \
    -- info "$w" 1 --image-property NAME=renamed

echo
echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %8s %8s %6s %8s %8s %6s\n' step "wall P" "wall W" ratio "cpu P" "cpu W" ratio
printf '%s\n' "${results[@]}"
