#!/usr/bin/env bash
# Times mounting through pelloric-run (helper process + FUSE daemon) against wimlib-imagex
# mount on the same WIM, and prints the ratios (pelloric / wimlib-imagex) per step:
#   mount read-only, read every file through the mount, unmount;
#   mount read-write, write a 256 MB file, unmount with commit.
# The file system is libwim's in both cases; the steps show what the helper process and the
# operation around it add (the pelloric times include starting pelloric-run itself, and its
# unmount returns only once the mount has left the mount table).
#
#   bench/mount_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# PELLORIC_RUN defaults to build-release/src/app/pelloric-run, then build/src/app/pelloric-run
# (pelloric-mount-helper must sit beside it). WORK_DIR (default: a new folder under
# ${TMPDIR:-/tmp}) receives a generated tree of about 300 MB, its WIM and the mount folders;
# it is removed at the end unless KEEP=1. FILES=n (default 3000) and BIG_MB=n (default 256)
# make the tree and the written file smaller; ROUNDS=n (default 3) rounds, alternating which
# tool goes first, fastest kept. Needs FUSE (/dev/fuse) and the rights to mount.
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
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/mount-compare.XXXXXX")}
mkdir -p "$work/mnt"
cleanup() {
    mountpoint -q "$work/mnt" && fusermount -u -z "$work/mnt"
    [[ ${KEEP:-0} == 1 ]] || rm -rf "$work"
}
trap cleanup EXIT

if [[ ! -f $work/bench.wim ]]; then
    echo "generating $work/tree ..."
    python3 - "$work/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
block = bytes(rng.getrandbits(8) for _ in range(1 << 16)) * 4
for i in range(int(os.environ.get('FILES', '3000'))):
    d = os.path.join(root, 'd%02d' % (i % 30))
    os.makedirs(d, exist_ok=True)
    size = rng.choice([1 << 10, 16 << 10, 64 << 10, 256 << 10])
    with open(os.path.join(d, 'f%04d' % i), 'wb') as f:
        f.write(('%d\n' % i).encode() + block[:size])
PY
    wimlib-imagex capture "$work/tree" "$work/bench.wim" bench --compress=XPRESS >/dev/null
    cp "$work/bench.wim" "$work/bench-pristine.wim"
fi

now() { date +%s.%N; }
declare -A took
step() { # name command...   (keeps the fastest time of the rounds)
    local name=$1; shift
    local start; start=$(now)
    "$@" >/dev/null
    local t; t=$(echo "$(now) - $start" | bc)
    if [[ -z ${took[$name]:-} ]] || (( $(echo "$t < ${took[$name]}" | bc) )); then
        took[$name]=$t
    fi
}
read_all() { tar -cf - -C "$work/mnt" . | cat >/dev/null; }
write_big() { head -c $((${BIG_MB:-256} << 20)) /dev/urandom >"$work/mnt/big.bin"; }

rounds=${ROUNDS:-3}
for ((round = 0; round < rounds; round++)); do
    # Alternate which tool goes first, so neither always meets a cold cache.
    if ((round % 2 == 0)); then order="pelloric imagex"; else order="imagex pelloric"; fi
    for tool in $order; do
        cp "$work/bench-pristine.wim" "$work/bench.wim"
        if [[ $tool == pelloric ]]; then
            step "$tool mount" "$run" 1060 "mountSource=$work/bench.wim" "mountPath=$work/mnt" mountIndex=1
            step "$tool read" read_all
            step "$tool unmount" "$run" 1061 "mountPath=$work/mnt"
            step "$tool mount-rw" "$run" 1060 "mountSource=$work/bench.wim" "mountPath=$work/mnt" \
                mountIndex=1 mountReadWrite=1
            step "$tool write" write_big
            step "$tool commit" "$run" 1061 "mountPath=$work/mnt" unmountCommit=1
        else
            step "$tool mount" wimlib-imagex mount "$work/bench.wim" 1 "$work/mnt"
            step "$tool read" read_all
            step "$tool unmount" wimlib-imagex unmount "$work/mnt"
            step "$tool mount-rw" wimlib-imagex mountrw "$work/bench.wim" 1 "$work/mnt" \
                --staging-dir="${TMPDIR:-/tmp}"
            step "$tool write" write_big
            step "$tool commit" wimlib-imagex unmount "$work/mnt" --commit
        fi
        # wimlib-imagex returns before its daemon has left the mount table.
        while mountpoint -q "$work/mnt"; do sleep 0.01; done
    done
done

printf '%-10s %12s %12s %8s\n' step pelloric imagex ratio
for s in mount read unmount mount-rw write commit; do
    p=${took[pelloric $s]}; i=${took[imagex $s]}
    printf '%-10s %11.3fs %11.3fs %8.2f\n' "$s" "$p" "$i" "$(echo "$p / $i" | bc -l)"
done
