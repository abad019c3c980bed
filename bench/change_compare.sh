#!/usr/bin/env bash
# Times the changes to an existing 1 GB WIM through pelloric-run against wimlib-imagex doing
# the same change, and prints the medians and ratios (pelloric / wimlib-imagex) of wall time,
# user CPU, CPU (user + system) and peak memory:
#
#   delete   1067 deleteSource=W deleteIndex=2            wimlib-imagex delete W 2 --soft
#   modify   1046 modifySource=W modifyIndex=1 modifyName=N
#                                                         wimlib-imagex info W 1 --image-property NAME=N
#
#   bench/change_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# The WIM holds a 1 GB image of 20 000 files of incompressible data (stored uncompressed)
# and a small second image. Each delete runs on a fresh copy of it (the copy is not timed);
# the modifies run one after another on one copy per tool, each giving a new name (a name the
# image already has is no change, and neither tool writes anything for it). REPEAT=n
# (default 5) runs each step n times per tool, alternating which tool goes first, and keeps
# the medians. KEEP=1 keeps the work folder. The helpers are those of bench/common.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
find_run "${1:-}"
use_work change-compare "${2:-}"
repeat=${REPEAT:-5}

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

p=$work/p.wim w=$work/w.wim
heading
compare delete "cp '$work/base.wim' '$p'" "cp '$work/base.wim' '$w'" \
    -- 1067 "deleteSource=$p" deleteIndex=2 -- delete "$w" 2 --soft
verify_wim "$p"
verify_wim "$w"
cp "$work/base.wim" "$p"
cp "$work/base.wim" "$w"
compare modify : : -- 1046 "modifySource=$p" modifyIndex=1 modifyName=renamed-@N@ \
    -- info "$w" 1 --image-property NAME=renamed-@N@
verify_wim "$p"
verify_wim "$w"
summary
