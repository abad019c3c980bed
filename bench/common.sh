# shellcheck shell=bash disable=SC2154
# Shell functions shared by the bench scripts (sourced, never run on its own).
#
# A script that sources it sets, before calling anything:
#   work    the work folder (measure writes time.txt and last.log there)
#   repeat  how many times compare runs every step per tool
#   run     the pelloric-run to time (find_run sets it)
# and reads back:
#   results the lines compare printed, to print again at the end

# Sets run to the given pelloric-run, else the Release build's, else the default build's;
# exits 2 when there is none, or when wimlib-imagex is missing.
find_run() {
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    run=${1:-}
    if [[ -z $run ]]; then
        local candidate
        for candidate in "$here/build-release/src/app/pelloric-run" "$here/build/src/app/pelloric-run"; do
            if [[ -x $candidate ]]; then run=$candidate; break; fi
        done
    fi
    [[ -x ${run:-} ]] || { echo "pelloric-run not found; pass its path" >&2; exit 2; }
    command -v wimlib-imagex >/dev/null || { echo "wimlib-imagex is not installed" >&2; exit 2; }
}

# use_work NAME [DIR]: sets work to DIR (made when missing) or to a new folder NAME.XXXXXX
# under ${TMPDIR:-/tmp}, removed when the script exits unless KEEP=1.
use_work() {
    work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")}
    mkdir -p "$work"
    trap '[[ ${KEEP:-0} == 1 ]] || rm -rf "$work"' EXIT
}

# Runs one command; prints its wall time, user and system CPU time (children included) in
# seconds and its peak resident set size in KB. The command's output goes to $work/last.log.
# The figures come from bench/runstat.c (wait4: microseconds, not /usr/bin/time's 10 ms
# steps, so that runs of a few milliseconds still give usable ratios), compiled into $work
# on first use.
measure() {
    local stat=$work/runstat src
    src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/runstat.c"
    if [[ ! -x $stat || $src -nt $stat ]]; then
        cc -O2 -o "$stat" "$src" || { echo "cannot compile $src" >&2; exit 2; }
    fi
    if ! "$stat" "$work/time.txt" "$work/last.log" "$@"; then
        echo "FAILED: $*" >&2
        tail -n 20 "$work/last.log" >&2
        exit 1
    fi
    cat "$work/time.txt"
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }

# The 1-minute load average, and the share of all CPUs' time that was busy since the last
# call (everyone's work, this script's included), as "load busy%".
busy_mark=
busy() {
    local now
    now=$(awk '/^cpu / { idle = $5 + $6; total = 0; for (i = 2; i <= NF; i++) total += $i;
        print idle, total }' /proc/stat)
    local load
    load=$(cut -d' ' -f1 /proc/loadavg)
    if [[ -n $busy_mark ]]; then
        awk -v a="$busy_mark" -v b="$now" -v l="$load" 'BEGIN { split(a, x, " "); split(b, y, " ");
            t = y[2] - x[2]; b = 0; if (t > 0) b = 100 * (1 - (y[1] - x[1]) / t)
            printf "%s %.0f%%", l, b }'
    else
        printf '%s -' "$load"
    fi
    busy_mark=$now
}

results=()
# compare NAME CLEAN_PELLORIC CLEAN_IMAGEX -- PELLORIC_ARGS... -- IMAGEX_ARGS...
# Runs each tool repeat times, alternating which goes first, and prints the medians of wall
# time, user CPU, CPU (user + system) and peak memory per tool with their ratios
# (pelloric / wimlib-imagex), then the load average and how busy the CPUs were during the
# step. The CLEAN commands are evaluated before every round; "@N@" in an argument becomes
# the round's number (0, 1, ...), so that each round of a change can change something.
compare() {
    local name=$1 cleanP=$2 cleanW=$3
    shift 3
    local pArgs=() wArgs=()
    [[ $1 == -- ]] && shift
    while [[ $1 != -- ]]; do pArgs+=("$1"); shift; done
    shift
    wArgs=("$@")
    local wallP=() wallW=() userP=() userW=() cpuP=() cpuW=() rssP=() rssW=()
    local wall user sys rss tool i
    busy >/dev/null
    for ((i = 0; i < repeat; i++)); do
        # Alternate which tool goes first so neither always meets the same conditions.
        eval "$cleanP"; eval "$cleanW"; sync
        for tool in $( ((i % 2 == 0)) && echo "p w" || echo "w p"); do
            if [[ $tool == p ]]; then
                read -r wall user sys rss <<<"$(measure nice "$run" "${pArgs[@]//@N@/$i}")"
                wallP+=("$wall"); userP+=("$user"); rssP+=("$rss")
                cpuP+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
            else
                read -r wall user sys rss <<<"$(measure nice wimlib-imagex "${wArgs[@]//@N@/$i}")"
                wallW+=("$wall"); userW+=("$user"); rssW+=("$rss")
                cpuW+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
            fi
            sync
        done
    done
    local mwP mwW muP muW mcP mcW mrP mrW
    mwP=$(median "${wallP[@]}"); mwW=$(median "${wallW[@]}")
    muP=$(median "${userP[@]}"); muW=$(median "${userW[@]}")
    mcP=$(median "${cpuP[@]}"); mcW=$(median "${cpuW[@]}")
    mrP=$(median "${rssP[@]}"); mrW=$(median "${rssW[@]}")
    local line
    line=$(printf '%-16s %7.3f %7.3f %6s  %7.3f %7.3f %6s  %7.3f %7.3f %6s  %6.1f %6.1f %6s  %s' \
        "$name" "$mwP" "$mwW" "$(ratio "$mwP" "$mwW")" "$muP" "$muW" "$(ratio "$muP" "$muW")" \
        "$mcP" "$mcW" "$(ratio "$mcP" "$mcW")" "$(awk -v k="$mrP" 'BEGIN { print k / 1024 }')" \
        "$(awk -v k="$mrW" 'BEGIN { print k / 1024 }')" "$(ratio "$mrP" "$mrW")" "$(busy)")
    results+=("$line")
    echo "$line"
}
heading() {
    printf '%-16s %7s %7s %6s  %7s %7s %6s  %7s %7s %6s  %6s %6s %6s  %s\n' step "wall P" \
        "wall W" ratio "user P" "user W" ratio "cpu P" "cpu W" ratio "MB P" "MB W" ratio \
        "load busy"
}
# The closing summary: the machine, then every result again under one heading.
summary() {
    echo
    echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)," \
        "REPEAT=$repeat (medians); times in s, memory in MB; P = pelloric-run, W = wimlib-imagex"
    heading
    printf '%s\n' "${results[@]}"
}

# Warms the page cache with a tree, so the first timed step does not pay for reading it.
warm() { tar -cf - -C "$1" . | cat >/dev/null; }

# make_tiny_tree DIR FOLDERS FILES_PER_FOLDER: FOLDERS folders of FILES_PER_FOLDER files of
# a few bytes each ("file N" and a line feed, so no two are alike).
make_tiny_tree() {
    python3 - "$@" <<'PY'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(folders):
    path = os.path.join(root, 'd%03d' % d)
    os.makedirs(path)
    for f in range(per):
        i = d * per + f
        with open(os.path.join(path, 'f%05d.txt' % f), 'w') as out:
            out.write('file %d\n' % i)
print('%d files in %d folders' % (folders * per, folders))
PY
}

# Checks a WIM with wimlib-imagex verify (every blob read and hashed); prints its output and
# exits 1 when it fails.
verify_wim() {
    wimlib-imagex verify "$1" >"$work/verify.log" 2>&1 || {
        echo "FAILED: wimlib-imagex verify $1" >&2; tail -n 20 "$work/verify.log" >&2; exit 1; }
}
