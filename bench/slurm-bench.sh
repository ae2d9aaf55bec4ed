#!/bin/sh
# Remote tasks on the Slurm test cluster (scripts/slurm-test-cluster.sh), each figure beside its
# baseline measured in the same run and the same kind of allocation:
#   - the overhead per remote task: a chain of remote `true` tasks in one remote slot, the
#     per-task time taken from two chain lengths (so the build's fixed costs fall out), beside
#     sequential bare `srun --overlap true` steps in a held allocation;
#   - 200 remote `true` tasks in 4 remote slots (the whole build, allocation included) beside
#     `xargs -P4` of the same srun calls in a held 4-task allocation;
#   - the relay of a remote task that writes 20 MB beside `srun cat` of the same file.
#
#   bench/slurm-bench.sh [BUILD_DIR] [RUNS]
#
# Needs root and Slurm (scripts/install-deps.sh). Starts the test cluster when it is not up and
# then stops it at the end; a private agent service runs in a temporary folder.
set -eu
. "$(dirname "$0")/lib.sh" # median_ms, time_once, median, ratio, difference

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
if [ -z "$build" ]; then
    build=$root/build/release
    [ -x "$build/QzConsole/qzConsole" ] || build=$root/build/asan
fi
runs=${2:-3}
build=$(cd "$build" && pwd)
console=$build/QzConsole/qzConsole
agentd=$build/AgentService/qzagentd
tasksmith=$build/Tasksmith/Tasksmith
cluster=$root/scripts/slurm-test-cluster.sh
export QZ_SLURM_DIR=${QZ_SLURM_DIR:-/tmp/qz-slurm-bench}
conf=$QZ_SLURM_DIR/slurm.conf

started_cluster=0
if ! "$cluster" status >/dev/null 2>&1; then
    "$cluster" up >/dev/null
    started_cluster=1
fi
work=$(mktemp -d /tmp/qz-slurm-bench-work.XXXXXX)
objects=$(object_dir)
export TamrelRegistryRoot="$work/reg" TamrelObjectDir="$objects"
export TamrelObjectPrefix="slurmbench$$"
mkdir -p "$work/reg" "$work/agent" "$work/job"
ln -s "$tasksmith" "$work/agent/Tasksmith"
settings() { # max remote tasks
    agent_settings "$work/reg" "$work/agent" '"Cluster"="slurm"' "\"ClusterConfig\"=\"$conf\"" \
        "\"ClusterMaxRemoteTasks\"=\"$1\""
}
holder=""
cleanup() {
    cd /
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    "$agentd" --stop >/dev/null 2>&1 || true
    rm -rf "$work" "$objects"
    if [ "$started_cluster" = 1 ]; then "$cluster" down; fi
}
trap cleanup EXIT INT TERM
settings 1
"$agentd" --background >/dev/null


# A job of n remote `true` tasks; chained: each waits for the one before.
job() { # n chained
    {
        echo '<job slots="1">'
        i=1
        while [ "$i" -le "$1" ]; do
            dep=""
            [ "$2" = 1 ] && [ "$i" -gt 1 ] && dep=" depends=\"t$((i - 1))\""
            echo "  <task id=\"t$i\" remote=\"true\"$dep><exec><arg>true</arg></exec></task>"
            i=$((i + 1))
        done
        echo '</job>'
    } >"$work/job/job.xml"
}
build_job() { "$console" /NOLOGO "$work/job/job.xml" /AVOIDLOCAL=ON; }

# A held allocation of n tasks for the baselines; its id in $jobid.
hold() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null && sleep 1
    rm -f "$work/fifo"
    mkfifo "$work/fifo"
    SLURM_CONF=$conf salloc -Q -n "$1" --spread-job /bin/sh -c 'echo $SLURM_JOB_ID; exec cat' \
        <"$work/fifo" >"$work/alloc" 2>&1 &
    holder=$!
    exec 9>"$work/fifo"
    for _ in $(seq 100); do
        jobid=$(head -n 1 "$work/alloc" 2>/dev/null || true)
        [ -n "$jobid" ] && break
        sleep 0.1
    done
}
bare_steps() { # n
    i=0
    while [ "$i" -lt "$1" ]; do
        SLURM_CONF=$conf srun -Q --jobid="$jobid" --overlap -N1 -n1 true
        i=$((i + 1))
    done
}
xargs_steps() {
    seq 200 | SLURM_CONF=$conf xargs -P4 -I{} srun -Q --jobid="$jobid" --overlap -N1 -n1 true
}

cd "$work/job"
echo "runs per figure: $runs (medians); programs from $build"

# 1. Per remote task. The three timings take turns in each round, so that a change of the
# machine's load between them moves all three alike.
short=10
long=40
job $short 1
cp "$work/job/job.xml" "$work/job/short.xml"
job $long 1
cp "$work/job/job.xml" "$work/job/long.xml"
hold 1
: >"$work/t_short"
: >"$work/t_long"
: >"$work/t_bare"
i=0
while [ "$i" -lt "$runs" ]; do
    time_once "$console" /NOLOGO "$work/job/short.xml" /AVOIDLOCAL=ON >>"$work/t_short"
    time_once "$console" /NOLOGO "$work/job/long.xml" /AVOIDLOCAL=ON >>"$work/t_long"
    time_once bare_steps $long >>"$work/t_bare"
    i=$((i + 1))
done
t_short=$(median <"$work/t_short")
t_long=$(median <"$work/t_long")
t_bare=$(median <"$work/t_bare")
per_task=$(awk -v a="$t_long" -v b="$t_short" -v n=$((long - short)) 'BEGIN { printf "%.1f", (a - b) / n }')
per_bare=$(awk -v a="$t_bare" -v n="$long" 'BEGIN { printf "%.1f", a / n }')
echo "per remote task: ${per_task} ms (builds of $short and $long chained tasks:" \
    "${t_short} and ${t_long} ms), bare srun step ${per_bare} ms," \
    "ratio $(ratio "$per_task" "$per_bare") (goal at most 1.1)"

# 2. 200 tasks in 4 remote slots.
settings 4
job 200 0
t_200=$(median_ms build_job)
hold 4
t_xargs=$(median_ms xargs_steps)
echo "200 remote true tasks, 4 slots: build ${t_200} ms (allocation and node check included)," \
    "xargs -P4 srun ${t_xargs} ms, ratio $(ratio "$t_200" "$t_xargs") (goal at most 1)"

# 3. 20 MB relay from a remote task.
awk -v n=$((20 * 1024 * 1024 / 100)) 'BEGIN { line = sprintf("%099d", 0); for (i = 0; i < n; i++) print line }' \
    >"$work/job/output.txt"
printf '<job><task id="cat" remote="true"><exec><arg>cat</arg><arg>%s</arg></exec></task></job>\n' \
    "$work/job/output.txt" >"$work/job/job.xml"
settings 1
relay() { "$console" /NOLOGO "$work/job/job.xml" /AVOIDLOCAL=ON >"$work/relayed.txt"; }
plain() { SLURM_CONF=$conf srun -Q --jobid="$jobid" --overlap -N1 -n1 cat "$work/job/output.txt" >"$work/copied.txt"; }
t_relay=$(median_ms relay)
# The same build with a task that writes nothing: its fixed costs (console, agent, allocation,
# node check), taken off the relay's time for the net figure.
printf '<job><task id="cat" remote="true"><exec><arg>true</arg></exec></task></job>\n' \
    >"$work/job/empty.xml"
empty() { "$console" /NOLOGO "$work/job/empty.xml" /AVOIDLOCAL=ON; }
t_empty=$(median_ms empty)
hold 1
t_cat=$(median_ms plain)
t_true=$(median_ms bare_steps 1)
if ! tr -d '\r' <"$work/relayed.txt" | grep -v '^\[1/1\]\|^Cluster allocation\|^Build succeeded' | cmp -s - "$work/copied.txt"; then
    echo "relay: the console's output differs from the task's" >&2
fi
net_relay=$(difference "$t_relay" "$t_empty")
net_cat=$(difference "$t_cat" "$t_true")
echo "20 MB relay from a remote task: build ${t_relay} ms (${net_relay} ms beyond a build of" \
    "\`true\`), srun cat ${t_cat} ms (${net_cat} ms beyond srun true)," \
    "ratio $(ratio "$t_relay" "$t_cat"), net ratio $(ratio "$net_relay" "$net_cat")"
