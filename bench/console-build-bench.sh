#!/bin/sh
# Builds end to end through the console, the agent service and Tasksmith, each beside the usual
# tool: a trivial build beside "sh -c true"; the relay of a build's standard output into a file
# beside cat; a job file of 1,000 tasks running true with 2 slots beside ninja -j2 on the same
# graph; the sample C program (examples/stats) as a job file with 2 slots beside make -j2. Each
# figure is the median of several runs taken in this one run, with its baseline measured the same
# way.
#
#   bench/console-build-bench.sh [BUILD_DIR] [RUNS] [RELAY_MB]
#
# BUILD_DIR holds the built programs (default build/release). A private agent service runs for
# the benchmark in a temporary folder (registry, agent folder; named objects in a folder under
# /dev/shm) and is stopped at the end. Tasksmith runs at nice 0, as the baselines do.
set -eu
. "$(dirname "$0")/lib.sh" # median_ms, ratio

build=${1:-build/release}
runs=${2:-7}
relay_mb=${3:-200}
build=$(cd "$build" && pwd)
console=$build/QzConsole/qzConsole
agentd=$build/AgentService/qzagentd
tasksmith=$build/Tasksmith/Tasksmith

work=$(mktemp -d)
objects=$(object_dir)
export TamrelRegistryRoot="$work/reg" TamrelObjectDir="$objects"
export TamrelObjectPrefix="bench$$"
mkdir -p "$work/reg" "$work/agent"
ln -s "$tasksmith" "$work/agent/Tasksmith"
agent_settings "$work/reg" "$work/agent"
cleanup() {
    "$agentd" --stop >/dev/null 2>&1 || true
    rm -rf "$work" "$objects"
}
examples=$(cd "$(dirname "$0")/../examples" && pwd)
trap cleanup EXIT INT TERM
"$agentd" --background >/dev/null

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

# Scheduling: each task waits for up to three earlier ones (the graph of the job engine's
# benchmark). No task declares outputs, so every run runs every task, as ninja does here.
tasks=1000
awk -v n=$tasks 'BEGIN {
    print "<job slots=\"2\">" >"jobs.xml"
    print "rule run\n  command = true" >"build.ninja"
    for (i = 0; i < n; i++) {
        split("", seen); deps = ""; nd = 0
        c[1] = int(i / 2) - 1; c[2] = i - 7; c[3] = i - 100
        for (k = 1; k <= 3; k++) {
            d = c[k]
            if (d >= 0 && !(d in seen)) { seen[d] = 1; dep[++nd] = d }
        }
        line = "<task id=\"t" i "\""
        ninja = "build t" i ": run"
        if (nd > 0) {
            line = line " depends=\""; ninja = ninja " |"
            for (k = 1; k <= nd; k++) {
                line = line (k > 1 ? " " : "") "t" dep[k]; ninja = ninja " t" dep[k]
            }
            line = line "\""
        }
        print line "><exec><arg>true</arg></exec></task>" >"jobs.xml"
        print ninja >"build.ninja"
    }
    print "</job>" >"jobs.xml"
}'
graph_ms=$(median_ms "$console" /NOLOGO jobs.xml)
ninja_ms=$(median_ms ninja -j2 -f build.ninja)
if ! "$console" /NOLOGO jobs.xml >"$work/jobs.out" 2>&1; then
    echo "scheduling: the job file failed" >&2
fi
echo "scheduling $tasks tasks with 2 slots: qzConsole jobs.xml ${graph_ms} ms," \
    "ninja -j2 ${ninja_ms} ms, ratio $(ratio "$graph_ms" "$ninja_ms")"

# A real compile: the sample's sources from scratch each time.
cp -r "$examples/stats" "$work/stats"
cd "$work/stats"
job_build() { rm -rf build && "$console" /NOLOGO /MAXCPUS=2 job.xml; }
make_build() { rm -rf build && make -s -j2; }
job_ms=$(median_ms job_build)
make_ms=$(median_ms make_build)
if ! job_build >/dev/null 2>&1 || [ ! -x build/stats ]; then
    echo "compile: the sample's job file did not build" >&2
fi
echo "sample compile with 2 slots: qzConsole job.xml ${job_ms} ms, make -j2 ${make_ms} ms," \
    "ratio $(ratio "$job_ms" "$make_ms")"
