#!/bin/sh
# An intercepted build end to end: the sample C program's Makefile (examples/stats) through
# qzConsole /COMMAND="make -j2" with 2 local slots and no cluster (every compile caught, handed to
# Tasksmith's broker and run in a slot), beside plain make -j2; and the same console build with a
# profile that names no tool (the console and Tasksmith without interception), so the cost of the
# interception itself shows apart from the cost of running a build through the console. Each
# figure is the median of several runs taken in this one run, with its baseline measured the same
# way; the goal is within 10% of make -j2. The same sources are then built through ninja the same
# three ways.
#
#   bench/intercept-build-bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR holds the built programs (default build/release). A private agent service runs for
# the benchmark in a temporary folder (registry, agent folder; named objects in a folder under
# /dev/shm) and is stopped at the end. Tasksmith and the tools it runs run at nice 0, as plain
# make does.
set -eu

build=${1:-build/release}
runs=${2:-7}
build=$(cd "$build" && pwd)
console=$build/QzConsole/qzConsole
agentd=$build/AgentService/qzagentd
source=$(cd "$(dirname "$0")/.." && pwd)

. "$(dirname "$0")/lib.sh" # median_ms, ratio, object_dir, agent_settings

work=$(mktemp -d)
objects=$(object_dir)
export TamrelRegistryRoot="$work/reg" TamrelObjectDir="$objects"
export TamrelObjectPrefix="bench$$"
mkdir -p "$work/reg" "$work/agent/resources" "$work/agent/Temp"
ln -s "$build/Tasksmith/Tasksmith" "$work/agent/Tasksmith"
ln -s "$build/Interceptor/qzrelay" "$work/agent/qzrelay"
ln -s "$build/Interceptor/libqzintercept.so" "$work/agent/libqzintercept.so"
cp "$source/resources/intercept-profile.xml" "$work/agent/resources/"
agent_settings "$work/reg" "$work/agent"
cleanup() {
    "$agentd" --stop >/dev/null 2>&1 || true
    rm -rf "$work" "$objects"
}
trap cleanup EXIT INT TERM
"$agentd" --background >/dev/null
echo '<InterceptProfile version="1"/>' >"$work/none.xml"

cp -r "$source/examples/stats" "$work/stats"
cd "$work/stats"
make_build() { rm -rf build && make -s -j2; }
intercepted() { rm -rf build && "$console" /NOLOGO /MAXCPUS=2 "/COMMAND=make -s -j2" "$@"; }
plain_console() {
    rm -rf build && "$console" /NOLOGO /MAXCPUS=2 "/PROFILE=$work/none.xml" "/COMMAND=make -s -j2"
}

# The intercepted build must work before it is timed: the program is made, every compile a step.
if ! intercepted "/MON=$work/last.nv_mon" >"$work/check.out" 2>&1 || [ ! -x build/stats ]; then
    echo "the intercepted build failed:" >&2
    cat "$work/check.out" >&2
    exit 1
fi
steps=$("$build/tools/qzdump" monitor "$work/last.nv_mon" 2>/dev/null | grep -c "tool-" || true)

echo "runs per figure: $runs (medians); compile steps recorded in the last check: $steps"
# The added cost of one intercepted run through the real broker: a Makefile of 200 runs of
# /bin/true with the profile naming it, beside the same Makefile with a profile naming nothing.
runs_per_make=200
mkdir -p "$work/many"
awk -v n=$runs_per_make 'BEGIN { printf "all:"; for (i = 0; i < n; i++) printf " t%d", i
    printf "\n"; for (i = 0; i < n; i++) printf "t%d:\n\ttrue %d\n", i, i }' >"$work/many/Makefile"
echo '<InterceptProfile version="1"><Tool program="true"/></InterceptProfile>' >"$work/true.xml"
many() { "$console" /NOLOGO /MAXCPUS=2 "/PROFILE=$work/$1" "/COMMAND=make -s -j2 -C $work/many"; }
many_caught() { many true.xml; }
many_uncaught() { many none.xml; }
interleave many_caught many_uncaught
true_ms=$(median_of many_caught)
none_ms=$(median_of many_uncaught)
per_run=$(awk -v a="$true_ms" -v b="$none_ms" -v n=$runs_per_make 'BEGIN { printf "%.2f", (a - b) / n }')
echo "$runs_per_make runs of true through make -j2 with 2 local slots: intercepted ${true_ms} ms," \
    "not intercepted ${none_ms} ms; added cost per intercepted run ${per_run} ms (goal under 5)"

# Each figure is a median; the three builds take turns, round after round, so that a busy spell
# of the machine falls on all of them.
# Prints the three figures of one build tool: TOOL PLAIN INTERCEPTED CONSOLE (the names of the
# commands interleave timed).
report_builds() {
    plain_ms=$(median_of "$2")
    icept_ms=$(median_of "$3")
    console_ms=$(median_of "$4")
    printf '  %-43s%s ms\n' "$1 -j2" "$plain_ms"
    echo "  qzConsole /COMMAND=\"$1 -j2\" intercepted  ${icept_ms} ms," \
        "ratio to $1 $(ratio "$icept_ms" "$plain_ms"); $(paired_ratio "$3" "$2")"
    echo "  qzConsole /COMMAND=\"$1 -j2\", no tools    ${console_ms} ms," \
        "ratio to $1 $(ratio "$console_ms" "$plain_ms"); $(paired_ratio "$4" "$2")"
    echo "  interception's own share: $(ratio "$icept_ms" "$console_ms") of the console build;" \
        "$(paired_ratio "$3" "$4")"
}

interleave make_build intercepted plain_console
echo "sample Makefile (13 compiles, 1 link), 2 local slots (ratios: of the medians; of the rounds' pairs):"
report_builds make make_build intercepted plain_console

# The same sources through ninja, which runs every command through /bin/sh -c: the shell's exec
# of each compile hands its run off to ninja (docs/interception.md).
{
    echo "rule cc"
    echo "  command = cc -O2 -Wall -c \$in -o \$out"
    echo "rule link"
    echo "  command = cc -o \$out \$in -lm"
    ninja_objects=""
    for source_file in src/*.c; do
        object=build/$(basename "$source_file" .c).o
        echo "build $object: cc $source_file"
        ninja_objects="$ninja_objects $object"
    done
    echo "build build/stats: link$ninja_objects"
} >build.ninja
ninja_fresh() { rm -rf build .ninja_log .ninja_deps; }
ninja_build() { ninja_fresh && ninja -j2 >/dev/null; }
ninja_intercepted() { ninja_fresh && "$console" /NOLOGO /MAXCPUS=2 "/COMMAND=ninja -j2" >/dev/null; }
ninja_console() {
    ninja_fresh && "$console" /NOLOGO /MAXCPUS=2 "/PROFILE=$work/none.xml" "/COMMAND=ninja -j2" \
        >/dev/null
}
interleave ninja_build ninja_intercepted ninja_console
echo "the same sources through ninja -j2:"
report_builds ninja ninja_build ninja_intercepted ninja_console
