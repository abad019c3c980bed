#!/usr/bin/env bash
# Times the toolbox operations through pelloric-run against wimlib-imagex doing the same work
# on the same files, and prints per step the ratios (pelloric / wimlib-imagex) of wall time,
# CPU time (user + system) and peak memory:
#
#   export to ESD, split, apply from a split set, optimize, verify   (a tree of about 160 MB)
#   extract one file, list every entry                               (a 100 000-file image)
#
#   bench/toolbox_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# PELLORIC_RUN defaults to build-release/src/app/pelloric-run, then build/src/app/pelloric-run.
# WORK_DIR (default: a new folder under ${TMPDIR:-/tmp}) is removed at the end unless KEEP=1.
# REPEAT=n (default 3) runs every step n times per tool, alternating which goes first, and
# keeps the median of each figure. STEPS picks steps by name (default: all).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
find_run "${1:-}"
use_work toolbox-compare "${2:-}"
repeat=${REPEAT:-3}
steps=${STEPS:-esd split apply-split optimize verify extract list}

# compare NAME PREPARE -- PELLORIC_ARGS... -- IMAGEX_ARGS...: PREPARE runs before each run.
compare() {
    local name=$1 prepare=$2
    shift 3
    local pArgs=() wArgs=()
    while [[ $1 != -- ]]; do pArgs+=("$1"); shift; done
    shift
    wArgs=("$@")
    [[ " $steps " == *" $name "* ]] || return 0
    local wallP=() wallW=() cpuP=() cpuW=() rssP=() rssW=() wall user sys rss tool
    for ((i = 0; i < repeat; i++)); do
        for tool in $( ((i % 2 == 0)) && echo "p w" || echo "w p"); do
            eval "$prepare"
            sync
            if [[ $tool == p ]]; then
                read -r wall user sys rss <<<"$(measure "$run" "${pArgs[@]}")"
                wallP+=("$wall"); cpuP+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
                rssP+=("$rss")
            else
                read -r wall user sys rss <<<"$(measure wimlib-imagex "${wArgs[@]}")"
                wallW+=("$wall"); cpuW+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
                rssW+=("$rss")
            fi
        done
    done
    local a b c d e f
    a=$(median "${wallP[@]}"); b=$(median "${wallW[@]}")
    c=$(median "${cpuP[@]}"); d=$(median "${cpuW[@]}")
    e=$(median "${rssP[@]}"); f=$(median "${rssW[@]}")
    printf '%-12s %7.2f %7.2f %6s  %7.2f %7.2f %6s  %6.0f %6.0f %6s\n' "$name" "$a" "$b" \
        "$(ratio "$a" "$b")" "$c" "$d" "$(ratio "$c" "$d")" "$(awk -v k="$e" 'BEGIN{print k/1024}')" \
        "$(awk -v k="$f" 'BEGIN{print k/1024}')" "$(ratio "$e" "$f")"
}

echo "generating the trees in $work ..."
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(20250117)
words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 10)))
         for _ in range(4000)]
corpus = bytearray()
while len(corpus) < 16 << 20:
    corpus += (' '.join(rng.choices(words, k=4096)) + '\n').encode()
corpus = bytes(corpus)
# Text-like data (about 3:1) and some that does not compress: 1 600 files, about 160 MB.
tree = os.path.join(work, 'tree')
for i in range(1600):
    d = os.path.join(tree, 'd%02d' % (i % 40))
    os.makedirs(d, exist_ok=True)
    size = rng.choice([2000, 30000, 90000, 250000, 400000])
    with open(os.path.join(d, 'f%04d.dat' % i), 'wb') as f:
        if i % 8 == 0:
            f.write(os.urandom(size))
        else:
            start = rng.randrange(0, len(corpus) - size)
            f.write(b'%d\n' % i + corpus[start:start + size])
# 100 000 small files in 200 folders.
many = os.path.join(work, 'many')
for d in range(200):
    folder = os.path.join(many, 'd%03d' % d)
    os.makedirs(folder)
    for i in range(500):
        with open(os.path.join(folder, 'file%d.txt' % i), 'w') as f:
            f.write('file %d of folder %d\n' % (i, d))
PY
wimlib-imagex capture "$work/tree" "$work/tree.wim" --compress=XPRESS >/dev/null
wimlib-imagex capture "$work/many" "$work/many.wim" --compress=XPRESS >/dev/null
# For optimize: the tree twice, the second image deleted (its data stays until a rebuild).
cp "$work/tree.wim" "$work/waste.wim"
wimlib-imagex append "$work/tree" "$work/waste.wim" second --compress=XPRESS >/dev/null
wimlib-imagex delete "$work/waste.wim" 2 --soft
wimlib-imagex split "$work/tree.wim" "$work/set.swm" 40 >/dev/null
tar -cf - -C "$work" . | cat >/dev/null

W=$work/tree.wim
printf '%-12s %7s %7s %6s  %7s %7s %6s  %6s %6s %6s\n' step "wall P" "wall W" ratio \
    "cpu P" "cpu W" ratio "MB P" "MB W" ratio
compare esd "rm -f $work/out.esd" -- 1081 "exportSource=$W" exportIndex=1 \
    "exportTarget=$work/out.esd" "exportCompression=LZMS 固实 (ESD)" -- \
    export "$W" 1 "$work/out.esd" --solid --compress=LZMS
compare split "rm -f $work/p*.swm" -- 1125 "splitSource=$W" "splitTarget=$work/p.swm" \
    splitSize=40 -- split "$W" "$work/p.swm" 40
compare apply-split "rm -rf $work/applied; mkdir $work/applied" -- 1025 \
    "applySource=$work/set.swm" "applyTarget=$work/applied" -- \
    apply "$work/set.swm" 1 "$work/applied" "--ref=$work/set*.swm"
compare optimize "cp $work/waste.wim $work/opt.wim" -- 1143 "optimizeSource=$work/opt.wim" -- \
    optimize "$work/opt.wim"
compare verify ":" -- 1146 "verifySource=$W" -- verify "$W"
compare extract "rm -rf $work/x; mkdir $work/x" -- 1112 "extractSource=$work/many.wim" \
    extractIndex=1 extractPaths=/d100/file7.txt "extractTarget=$work/x" -- \
    extract "$work/many.wim" 1 /d100/file7.txt "--dest-dir=$work/x"
compare list ":" -- list "browseSource=$work/many.wim" browseIndex=1 -- \
    dir "$work/many.wim" 1
