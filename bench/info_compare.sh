#!/usr/bin/env bash
# Times the information steps through pelloric-run against wimlib-imagex doing the same
# work on the same WIM, and prints the medians and ratios (pelloric / wimlib-imagex) of wall
# time, user CPU, CPU (user + system) and peak memory:
#
#   start-up  --help                                  --version
#   report    report infoSource=W                     info W
#   modify    1046 modifySource=W modifyIndex=2 modifyName=X
#                                                     info W 2 --image-property NAME=X
#
# on two generated WIMs (wimlib-imagex's default LZX compression):
#   20k    one image of 20 000 files (40 folders of 500 files of a few bytes)
#   3x100k three images of the same 100 000 files (200 folders of 500), as the editions of an
#          install.wim share their files
# Then it makes EDITS (default 10) name changes to a fresh copy of each WIM with each tool
# and prints the file's size before and after, the growth per edit and the size of the XML
# (UTF-16, as stored), and checks that both copies verify and carry the last name.
#
#   bench/info_compare.sh [PELLORIC_RUN] [WORK_DIR]
#
# PELLORIC_RUN defaults to build-release/src/app/pelloric-run, then build/src/app/pelloric-run.
# WORK_DIR (default: a new folder under ${TMPDIR:-/tmp}) receives the trees and WIMs; it is
# removed at the end unless KEEP=1 (a kept WORK_DIR is reused: its WIMs are not made again).
# REPEAT=n (default 11) runs every step n times per tool, alternating which tool goes first,
# and keeps the medians; each round of a modify gives a new name (the same name again is no
# change, and neither tool writes anything for it). The helpers are those of bench/common.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
find_run "${1:-}"
use_work info-compare "${2:-}"
repeat=${REPEAT:-11}
edits=${EDITS:-10}

# make_wim NAME FOLDERS IMAGES: a WIM of IMAGES images of one generated tree.
make_wim() {
    local name=$1 folders=$2 images=$3 i
    [[ -f $work/$name.wim ]] && return
    echo "generating $work/$name.wim ..."
    rm -rf "$work/tree-$name"
    make_tiny_tree "$work/tree-$name" "$folders" 500
    wimlib-imagex capture "$work/tree-$name" "$work/$name.wim" "$name image 1" >/dev/null
    for ((i = 2; i <= images; i++)); do
        wimlib-imagex append "$work/tree-$name" "$work/$name.wim" "$name image $i" >/dev/null
    done
    rm -rf "$work/tree-$name"
}
make_wim 20k 40 1
make_wim 3x100k 200 3
ls -l "$work/20k.wim" "$work/3x100k.wim"

xml_size() {
    wimlib-imagex info "$1" --extract-xml "$work/xml.out" >/dev/null
    stat -c %s "$work/xml.out"
}
# The name of image INDEX as the file's XML holds it.
image_name() {
    wimlib-imagex info "$1" "$2" | awk -F': *' '/^Name:/ { print $2; exit }'
}

heading
compare start-up : : -- --help -- --version
for name in 20k 3x100k; do
    wim=$work/$name.wim
    index=2
    [[ $name == 20k ]] && index=1
    compare "report $name" : : -- report "infoSource=$wim" -- info "$wim"
    cp "$wim" "$work/p.wim"
    cp "$wim" "$work/w.wim"
    compare "modify $name" : : \
        -- 1046 "modifySource=$work/p.wim" "modifyIndex=$index" "modifyName=renamed @N@" \
        -- info "$work/w.wim" "$index" --image-property "NAME=renamed @N@"
done

sizes=() steps=()
for name in 20k 3x100k; do
    wim=$work/$name.wim
    index=2
    [[ $name == 20k ]] && index=1
    cp "$wim" "$work/p.wim"
    cp "$wim" "$work/w.wim"
    last=$(stat -c %s "$wim") growthP="" growthW=""
    lastW=$last
    for ((i = 1; i <= edits; i++)); do
        "$run" 1046 "modifySource=$work/p.wim" "modifyIndex=$index" "modifyName=edit $i" \
            >"$work/last.log" 2>&1 || { cat "$work/last.log" >&2; exit 1; }
        wimlib-imagex info "$work/w.wim" "$index" --image-property "NAME=edit $i" >/dev/null
        now=$(stat -c %s "$work/p.wim") nowW=$(stat -c %s "$work/w.wim")
        growthP+=" $((now - last))" growthW+=" $((nowW - lastW))"
        last=$now lastW=$nowW
    done
    steps+=("$name, each pelloric-run edit:$growthP" "$name, each wimlib-imagex edit:$growthW")
    for f in p w; do
        verify_wim "$work/$f.wim"
        got=$(image_name "$work/$f.wim" "$index")
        [[ $got == "edit $edits" ]] || { echo "$f.wim: image $index is named '$got'" >&2; exit 1; }
    done
    before=$(stat -c %s "$wim")
    sizeP=$(stat -c %s "$work/p.wim")
    sizeW=$(stat -c %s "$work/w.wim")
    sizes+=("$(printf '%-7s %12d %12d %+10d %+8.0f %12d %+10d %+8.0f %8d' "$name" "$before" \
        "$sizeP" $((sizeP - before)) "$(awk -v d=$((sizeP - before)) -v n="$edits" \
        'BEGIN { print d / n }')" "$sizeW" $((sizeW - before)) "$(awk -v d=$((sizeW - before)) \
        -v n="$edits" 'BEGIN { print d / n }')" "$(xml_size "$work/p.wim")")")
done

summary
echo
echo "file sizes in bytes, before and after $edits name changes by each tool (both verify):"
printf '%-7s %12s %12s %10s %8s %12s %10s %8s %8s\n' WIM before "after P" growth "/edit" \
    "after W" growth "/edit" "XML"
printf '%s\n' "${sizes[@]}"
echo "growth in bytes per edit:"
printf '  %s\n' "${steps[@]}"
