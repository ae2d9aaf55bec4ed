#!/bin/sh
# The console's side of a build, end to end: a trivial build beside "sh -c true", and the relay
# of a build's standard output into a file beside cat. Each figure is the median of several runs
# taken in this one run, with its baseline measured the same way.
#
#   bench/console-build-bench.sh [BUILD_DIR] [RUNS] [RELAY_MB]
#
# BUILD_DIR holds the built programs (default build/release). A private agent service runs for
# the benchmark in a temporary folder (registry, named objects, agent folder) and is stopped
# at the end.
set -eu

build=${1:-build/release}
runs=${2:-7}
relay_mb=${3:-200}
build=$(cd "$build" && pwd)
console=$build/QzConsole/qzConsole
agentd=$build/AgentService/qzagentd
tasksmith=$build/Tasksmith/Tasksmith

work=$(mktemp -d)
export TamrelRegistryRoot="$work/reg" TamrelObjectDir="$work/obj"
export TamrelObjectPrefix="bench$$"
mkdir -p "$work/reg" "$work/obj" "$work/agent"
ln -s "$tasksmith" "$work/agent/Tasksmith"
printf 'REGEDIT4\n[SOFTWARE\\Tamrel\\Orvane\\Builder]\n"Folder"="%s"\n' "$work/agent" \
    >"$work/reg/HKLM.reg"
cleanup() {
    "$agentd" --stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
"$agentd" --background >/dev/null

now_ns() { date +%s%N; }

# Prints the median, in milliseconds with one decimal, of RUNS timings of the command.
median_ms() {
    i=0
    : >"$work/times"
    while [ "$i" -lt "$runs" ]; do
        start=$(now_ns)
        "$@" >/dev/null 2>&1 || true
        end=$(now_ns)
        echo $(((end - start) / 100000)) >>"$work/times"
        i=$((i + 1))
    done
    sort -n "$work/times" | awk '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)];
        printf "%d.%d", m / 10, m % 10 }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

cd "$work"
echo "runs per figure: $runs (medians)"

console_ms=$(median_ms "$console" /NOLOGO "/COMMAND=true")
sh_ms=$(median_ms sh -c true)
echo "trivial build: qzConsole /COMMAND=true ${console_ms} ms, sh -c true ${sh_ms} ms," \
    "ratio $(ratio "$console_ms" "$sh_ms")"

# Lines of 100 bytes, as build output looks.
awk -v n=$((relay_mb * 1024 * 1024 / 100)) 'BEGIN {
    line = sprintf("%099d", 0); for (i = 0; i < n; i++) print line }' >"$work/output.txt"
bytes=$(wc -c <"$work/output.txt")
relay() { "$console" /NOLOGO "/COMMAND=cat $work/output.txt" >"$work/relayed.txt"; }
plain() { cat "$work/output.txt" >"$work/copied.txt"; }
relay_ms=$(median_ms relay)
cat_ms=$(median_ms plain)
# The console ends every line it writes with CR LF.
if ! tr -d '\r' <"$work/relayed.txt" | cmp -s - "$work/copied.txt"; then
    echo "relay: the console's output differs from the job's" >&2
fi
mbps() { awk -v b="$bytes" -v ms="$1" 'BEGIN { printf "%.0f", b / 1048576 / (ms / 1000) }'; }
echo "output relay of $((bytes / 1048576)) MB to a file: qzConsole $(mbps "$relay_ms") MB/s" \
    "(${relay_ms} ms), cat $(mbps "$cat_ms") MB/s (${cat_ms} ms)," \
    "share of cat $(ratio "$cat_ms" "$relay_ms")"
