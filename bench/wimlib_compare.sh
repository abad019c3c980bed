#!/usr/bin/env bash
# Times capture, apply and export through pelloric-run against wimlib-imagex doing the same
# work on the same tree, and prints per step the ratios (pelloric / wimlib-imagex) of wall
# time, user CPU time, CPU time (user + system) and peak memory (maximum resident set size).
# On a busy machine the wall times follow the other load; the CPU times show the work each
# tool does.
#
#   bench/wimlib_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# Three trees, chosen with SETS (default "large small"):
#   large  about 650 MB in 20 412 files: capture none / XPRESS / LZX, apply, export
#   small  100 000 files of 0 to 4 KB (about 205 MB): capture XPRESS and apply, where the
#          per-file costs show
#   tiny   100 000 files of a few bytes, 200 folders of 500: capture XPRESS, where nearly
#          all the cost is per file
# PELLORIC_RUN defaults to build-release/src/app/pelloric-run, then build/src/app/pelloric-run.
# WORK_DIR (default: a new folder under ${TMPDIR:-/tmp}) receives the generated trees, the WIM
# files and the applied trees; it is removed at the end unless KEEP=1. REPEAT=n (default 1)
# runs every step n times per tool, alternating which tool goes first, and keeps the median
# of each figure. TREE=DIR, SMALL_TREE=DIR and TINY_TREE=DIR use existing trees instead of
# generating them. The helpers (measure, compare, ...) are those of bench/common.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
find_run "${1:-}"
use_work wimlib-compare "${2:-}"
repeat=${REPEAT:-1}
sets=${SETS:-large small}

large() {
    local tree=${TREE:-$work/tree}
    if [[ -z ${TREE:-} && ! -d $tree ]]; then
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
        sync
    fi
    warm "$tree"

    local mode text
    for mode in none XPRESS LZX; do
        case $mode in
        none) text=无 ;;
        XPRESS) text=快速 ;;
        LZX) text=最大 ;;
        esac
        compare "capture $mode" "rm -f '$work/p-$mode.wim'" "rm -f '$work/w-$mode.wim'" \
            -- 1019 "captureSource=$tree" "captureTarget=$work/p-$mode.wim" \
            "captureCompression=$text" \
            -- capture "$tree" "$work/w-$mode.wim" "--compress=$mode"
    done

    # Apply and export work on the same input WIM for both tools (the XPRESS one).
    local input=$work/w-XPRESS.wim
    compare "apply" "rm -rf '$work/p-apply'; mkdir '$work/p-apply'" \
        "rm -rf '$work/w-apply'; mkdir '$work/w-apply'" \
        -- 1025 "applySource=$input" "applyTarget=$work/p-apply" applyIndex=1 \
        -- apply "$input" 1 "$work/w-apply"
    rm -rf "$work/p-apply" "$work/w-apply"
    compare "export" "rm -f '$work/p-export.wim'" "rm -f '$work/w-export.wim'" \
        -- 1081 "exportSource=$input" "exportTarget=$work/p-export.wim" exportIndex=1 \
        -- export "$input" 1 "$work/w-export.wim" --compress=XPRESS
    local f
    for f in p-none w-none p-XPRESS w-XPRESS p-LZX w-LZX p-export w-export; do
        printf '%-10s %12d bytes\n' "$f.wim" "$(stat -c %s "$work/$f.wim")"
    done
}

small() {
    local tree=${SMALL_TREE:-$work/small}
    if [[ -z ${SMALL_TREE:-} && ! -d $tree ]]; then
        echo "generating $tree ..."
        python3 - "$tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240611)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
         for _ in range(5000)]
corpus = bytearray()
while len(corpus) < 4 << 20:
    corpus += (' '.join(rng.choices(words, k=4096)) + '\n').encode()
corpus = bytes(corpus)
# 100 000 files of 0 to 4 KB, 100 to a folder in 50 folders of 20 folders each; each file
# starts with its own line, so no two are identical.
total = 0
for i in range(100000):
    d = os.path.join(root, 'd%02d' % (i % 50), 's%02d' % (i // 50 % 20))
    if i < 1000:
        os.makedirs(d, exist_ok=True)
    size = rng.randint(0, 4096)
    head = ('file %d\n' % i).encode()
    start = rng.randrange(0, len(corpus) - size)
    body = corpus[start:start + max(size - len(head), 0)]
    with open(os.path.join(d, 'f%06d.txt' % i), 'wb') as f:
        f.write(head + body)
    total += len(head) + len(body)
print('100000 files, %.0f MB' % (total / 1e6))
PY
        sync
    fi
    warm "$tree"

    compare "small capture" "rm -f '$work/p-small.wim'" "rm -f '$work/w-small.wim'" \
        -- 1019 "captureSource=$tree" "captureTarget=$work/p-small.wim" captureCompression=快速 \
        -- capture "$tree" "$work/w-small.wim" --compress=XPRESS
    # Both tools apply the WIM wimlib-imagex captured.
    local input=$work/w-small.wim
    compare "small apply" "rm -rf '$work/p-sapply'; mkdir '$work/p-sapply'" \
        "rm -rf '$work/w-sapply'; mkdir '$work/w-sapply'" \
        -- 1025 "applySource=$input" "applyTarget=$work/p-sapply" applyIndex=1 \
        -- apply "$input" 1 "$work/w-sapply"
    rm -rf "$work/p-sapply" "$work/w-sapply"
    local f
    for f in p-small w-small; do
        printf '%-10s %12d bytes\n' "$f.wim" "$(stat -c %s "$work/$f.wim")"
    done
}

tiny() {
    local tree=${TINY_TREE:-$work/tiny}
    if [[ -z ${TINY_TREE:-} && ! -d $tree ]]; then
        echo "generating $tree ..."
        make_tiny_tree "$tree" 200 500
        sync
    fi
    warm "$tree"
    compare "tiny capture" "rm -f '$work/p-tiny.wim'" "rm -f '$work/w-tiny.wim'" \
        -- 1019 "captureSource=$tree" "captureTarget=$work/p-tiny.wim" captureCompression=快速 \
        -- capture "$tree" "$work/w-tiny.wim" --compress=XPRESS
    local f
    for f in p-tiny w-tiny; do
        printf '%-10s %12d bytes\n' "$f.wim" "$(stat -c %s "$work/$f.wim")"
    done
}

heading
for set in $sets; do
    case $set in
    large) large ;;
    small) small ;;
    tiny) tiny ;;
    *) echo "unknown set '$set' (large, small, tiny)" >&2; exit 2 ;;
    esac
done
summary
