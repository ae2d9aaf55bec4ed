#!/bin/sh
# The added cost of an intercepted tool run that the broker lets run here at once (SLOT), each
# figure beside its baseline measured in the same run the same way:
#   - qzrelay starting the tool (connect, RUN, SLOT, spawn, wait, DONE) beside starting the tool
#     directly;
#   - a recipe line through /bin/sh -c, the shell with libqzintercept.so preloaded and the tool
#     in the list (the preload's rewrite and qzrelay), beside the same line without the preload.
# Tools: /bin/true and `gcc --version`. Each figure is the mean of RUNS starts in a shell loop
# (the loop's own cost is in both figures; the best of three rounds); the goal is under 5 ms added per run.
#
#   bench/intercept-bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR: a tree built with -DQZ_BUILD_BENCHMARKS=ON (default build/release; its qzrelay,
# libqzintercept.so and bench/InterceptStandInBroker are used).
set -eu

build=${1:-build/release}
runs=${2:-300}
build=$(cd "$build" && pwd)
relay=$build/Interceptor/qzrelay
library=$build/Interceptor/libqzintercept.so
broker=$build/bench/InterceptStandInBroker
for file in "$relay" "$library" "$broker"; do
    [ -e "$file" ] || { echo "intercept-bench: $file is missing (build it first)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/qz-intercept-bench.XXXXXX)
chmod 700 "$work"
"$broker" "$work/broker.sock" &
broker_pid=$!
cleanup() {
    kill "$broker_pid" 2>/dev/null || true
    wait "$broker_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
i=0
while [ ! -S "$work/broker.sock" ] && [ "$i" -lt 500 ]; do
    sleep 0.01
    i=$((i + 1))
done
[ -S "$work/broker.sock" ] || { echo "intercept-bench: the stand-in broker did not start" >&2; exit 1; }

now_ns() { date +%s%N; }

# Prints the mean time of one run of the command, in microseconds: the best of three rounds of
# RUNS runs (this machine's other work only ever adds time).
mean_us() {
    best=0
    for round in 1 2 3; do
        one=$(round_us "$@")
        if [ "$best" -eq 0 ] || [ "$one" -lt "$best" ]; then
            best=$one
        fi
    done
    echo "$best"
}

round_us() {
    start=$(now_ns)
    n=0
    while [ "$n" -lt "$runs" ]; do
        "$@" >/dev/null 2>&1 || true
        n=$((n + 1))
    done
    end=$(now_ns)
    echo $(((end - start) / runs / 1000))
}

report() { # label baseline_us measured_us
    added=$(($3 - $2))
    printf '%-44s %8d us %8d us %+8d us  (%s)\n' "$1" "$2" "$3" "$added" \
        "$(awk -v a="$3" -v b="$2" 'BEGIN { printf "x%.2f", (b > 0 ? a / b : 0) }')"
}

export QZ_INTERCEPT_SOCKET="$work/broker.sock" QZ_INTERCEPT_RELAY="$relay"
gcc=$(command -v gcc)

echo "intercepted local runs (SLOT at once), mean of $runs runs"
printf '%-44s %11s %11s %11s\n' "" "baseline" "intercepted" "added"
# What one more program start costs on this machine: the floor of the relay's added cost.
base=$(mean_us /bin/true)
meas=$(mean_us /usr/bin/env /bin/true)
report "(one more start: env /bin/true beside it)" "$base" "$meas"
base=$(mean_us /bin/true)
meas=$(mean_us "$relay" /bin/true true)
report "/bin/true: qzrelay beside direct" "$base" "$meas"
base=$(mean_us "$gcc" --version)
meas=$(mean_us "$relay" "$gcc" gcc --version)
report "gcc --version: qzrelay beside direct" "$base" "$meas"

base=$(export QZ_INTERCEPT_TOOLS=true; mean_us /bin/sh -c /bin/true)
meas=$(export LD_PRELOAD=$library QZ_INTERCEPT_TOOLS=true; mean_us /bin/sh -c /bin/true)
report "sh -c /bin/true: preload+relay beside plain" "$base" "$meas"
base=$(mean_us /bin/sh -c "gcc --version")
meas=$(export LD_PRELOAD=$library QZ_INTERCEPT_TOOLS=gcc; mean_us /bin/sh -c "gcc --version")
report "sh -c 'gcc --version': preload+relay beside" "$base" "$meas"
# A start that is no tool of the list pays the preload only.
base=$(mean_us /bin/sh -c /bin/true)
meas=$(export LD_PRELOAD=$library QZ_INTERCEPT_TOOLS=gcc; mean_us /bin/sh -c /bin/true)
report "sh -c /bin/true, not a tool: preload only" "$base" "$meas"
