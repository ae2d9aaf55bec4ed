# Timing helpers of the benchmark scripts, sourced after the script has set $runs (timings per
# figure) and $work (its temporary folder):
#   . "$(dirname "$0")/lib.sh"
# A timing is kept in tenths of a millisecond; a median is printed in milliseconds with one
# decimal, so that sub-millisecond figures keep a digit.

now_ns() { date +%s%N; }

# Runs the command once, output discarded and failure ignored; prints its time (tenths of a ms).
time_once() {
    start=$(now_ns)
    "$@" >/dev/null 2>&1 || true
    end=$(now_ns)
    echo $(((end - start) / 100000))
}

# The median of the timings (tenths of a ms, one a line) on standard input, in ms.
median() {
    sort -n | awk '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)]; printf "%d.%d", m / 10, m % 10 }'
}

# The median, in ms, of $runs timings of the command.
median_ms() {
    i=0
    : >"$work/times"
    while [ "$i" -lt "$runs" ]; do
        time_once "$@" >>"$work/times"
        i=$((i + 1))
    done
    median <"$work/times"
}

# Runs each of the named commands (functions or programs without arguments) once a round, $runs
# rounds, in turn, so that a machine that slows down or speeds up over the run touches every
# figure alike. The timings of command NAME land in $work/times.NAME (tenths of a ms).
interleave() {
    for name in "$@"; do : >"$work/times.$name"; done
    i=0
    while [ "$i" -lt "$runs" ]; do
        for name in "$@"; do time_once "$name" >>"$work/times.$name"; done
        i=$((i + 1))
    done
}

# The median, in ms, of the timings interleave took of command $1.
median_of() { median <"$work/times.$1"; }

# The median of the per-round ratios of command $1's timings to command $2's (two decimals):
# each round's pair ran back to back, so this ratio holds up better on a noisy machine than the
# ratio of the two medians.
paired_ratio() {
    paste "$work/times.$1" "$work/times.$2" | awk '{ print $1 / ($2 != 0 ? $2 : 1) }' | sort -n |
        awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }'
}

# a / b with two decimals (b of 0 counts as 1).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / (b != 0 ? b : 1) }'; }

# a - b with one decimal.
difference() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a - b }'; }

# A private folder for the named objects of a benchmark's agent, under /dev/shm as an installed
# agent keeps them (on a disk file system every named object costs more). The caller removes it.
object_dir() { mktemp -d /dev/shm/qz-bench.XXXXXX; }

# The settings store (HKLM.reg in folder $1) of a benchmark's private agent with its folder $2
# and any further "Name"="value" lines given. Tasksmith runs at the normal priority class (nice 0),
# as the baselines do: the default class is "high", which gives Tasksmith and the tools it starts
# nice -10 when the agent runs as root.
agent_settings() {
    reg=$1
    folder=$2
    shift 2
    {
        printf 'REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"Folder"="%s"\n' "$folder"
        printf '"TasksmithPriorityClass"="32"\n'
        for line in "$@"; do printf '%s\n' "$line"; done
    } >"$reg/HKLM.reg"
}
