#!/usr/bin/env bash
# Times capture (none, XPRESS, LZX), apply and export through pelloric-run against
# wimlib-imagex doing the same work on the same tree, and prints the ratios (pelloric /
# wimlib-imagex) of wall time and of CPU time. On a busy machine the wall times follow the
# other load; the CPU times show the work each tool does.
#
#   bench/wimlib_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# PELLORIC_RUN defaults to build-release/src/app/pelloric-run, then build/src/app/pelloric-run.
# WORK_DIR (default: a new folder under ${TMPDIR:-/tmp}) receives the generated tree (about
# 650 MB, 20 412 files), the WIM files and the applied trees; it is removed at the end unless
# KEEP=1. REPEAT=n (default 1) runs every step n times and keeps the fastest of each tool.
# TREE=DIR uses an existing tree instead of generating one.
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
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/wimlib-compare.XXXXXX")}
mkdir -p "$work"
repeat=${REPEAT:-1}
cleanup() { [[ ${KEEP:-0} == 1 ]] || rm -rf "$work"; }
trap cleanup EXIT

tree=${TREE:-$work/tree}
if [[ -z ${TREE:-} ]]; then
    echo "generating $tree ..."
    python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240607)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
         for _ in range(5000)]
# A corpus of text-like data (compresses about 3:1); files are slices of it at random
# offsets, each with a unique first line so no two files are identical.
corpus = bytearray()
while len(corpus) < 24 << 20:
    corpus += (' '.join(rng.choices(words, k=4096)) + '\n').encode()
corpus = bytes(corpus)
def slice_of(size):
    start = rng.randrange(0, len(corpus) - size)
    return corpus[start:start + size]
sizes = []
sizes += [rng.randint(0, 4096) for _ in range(13000)]                 # small
sizes += [rng.randint(4096, 64 << 10) for _ in range(7000)]           # medium
sizes += [rng.randint(64 << 10, 1 << 20) for _ in range(400)]         # large
sizes += [rng.randint(8 << 20, 20 << 20) for _ in range(12)]          # very large
total = 0
for i, size in enumerate(sizes):
    d = os.path.join(root, 'd%02d' % (i % 40), 's%03d' % (i // 40 % 25))
    os.makedirs(d, exist_ok=True)
    head = ('file %d\n' % i).encode()
    body = b'' if size == 0 else slice_of(max(size - len(head), 1))
    with open(os.path.join(d, 'f%05d.txt' % i), 'wb') as f:
        f.write(head + body)
    total += len(head) + len(body)
print('%d files, %.0f MB' % (len(sizes), total / 1e6))
PY
fi
sync

# Runs one command; prints its wall time and its CPU time (user + system, children
# included) in seconds. The command's output goes to $work/last.log.
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
ratio() { if [[ $(echo "$2 > 0" | bc) == 1 ]]; then echo "scale=3; $1 / $2" | bc; else echo -; fi; }

results=()
# compare NAME CLEAN_PELLORIC CLEAN_IMAGEX -- PELLORIC_ARGS... -- IMAGEX_ARGS...
compare() {
    local name=$1 cleanP=$2 cleanW=$3
    shift 3
    local pArgs=() wArgs=()
    [[ $1 == -- ]] && shift
    while [[ $1 != -- ]]; do pArgs+=("$1"); shift; done
    shift
    wArgs=("$@")
    local wallP=999999 wallW=999999 cpuP=999999 cpuW=999999 wall cpu out tool
    for ((i = 0; i < repeat; i++)); do
        # Alternate which tool goes first so neither always meets the same conditions.
        eval "$cleanP"; eval "$cleanW"; sync
        for tool in $( ((i % 2 == 0)) && echo "p w" || echo "w p"); do
            if [[ $tool == p ]]; then
                out=$(measure nice "$run" "${pArgs[@]}")
                read -r wall cpu <<<"$out"
                wallP=$(min "$wall" "$wallP"); cpuP=$(min "$cpu" "$cpuP")
            else
                out=$(measure nice wimlib-imagex "${wArgs[@]}")
                read -r wall cpu <<<"$out"
                wallW=$(min "$wall" "$wallW"); cpuW=$(min "$cpu" "$cpuW")
            fi
            sync
        done
    done
    local ratio cpuRatio
    ratio=$(ratio "$wallP" "$wallW")
    cpuRatio=$(ratio "$cpuP" "$cpuW")
    results+=("$(printf '%-14s %9.2f %9.2f %7s %9.2f %9.2f %7s' "$name" "$wallP" "$wallW" "$ratio" \
        "$cpuP" "$cpuW" "$cpuRatio")")
    printf '%-14s wall %8.2fs / %8.2fs = %s   cpu %8.2fs / %8.2fs = %s\n' "$name" "$wallP" \
        "$wallW" "$ratio" "$cpuP" "$cpuW" "$cpuRatio"
}

# Warm the page cache with the tree once, so the first timed capture does not pay for it.
tar -cf - -C "$tree" . | cat >/dev/null

for mode in none XPRESS LZX; do
    case $mode in
    none) text=无 ;;
    XPRESS) text=快速 ;;
    LZX) text=最大 ;;
    esac
    compare "capture $mode" "rm -f '$work/p-$mode.wim'" "rm -f '$work/w-$mode.wim'" \
        -- 1019 "captureSource=$tree" "captureTarget=$work/p-$mode.wim" "captureCompression=$text" \
        -- capture "$tree" "$work/w-$mode.wim" "--compress=$mode"
done

# Apply and export work on the same input WIM for both tools (the XPRESS one).
input=$work/w-XPRESS.wim
compare "apply" "rm -rf '$work/p-apply'; mkdir '$work/p-apply'" \
    "rm -rf '$work/w-apply'; mkdir '$work/w-apply'" \
    -- 1025 "applySource=$input" "applyTarget=$work/p-apply" applyIndex=1 \
    -- apply "$input" 1 "$work/w-apply"
compare "export" "rm -f '$work/p-export.wim'" "rm -f '$work/w-export.wim'" \
    -- 1081 "exportSource=$input" "exportTarget=$work/p-export.wim" exportIndex=1 \
    -- export "$input" 1 "$work/w-export.wim" --compress=XPRESS

echo
echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %9s %9s %7s %9s %9s %7s\n' step "wall P" "wall W" ratio "cpu P" "cpu W" ratio
printf '%s\n' "${results[@]}"
for f in p-none w-none p-XPRESS w-XPRESS p-LZX w-LZX p-export w-export; do
    printf '%-10s %12d bytes\n' "$f.wim" "$(stat -c %s "$work/$f.wim")"
done
