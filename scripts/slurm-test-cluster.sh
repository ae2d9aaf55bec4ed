#!/bin/bash
# A Slurm test cluster on this one machine: munge, one slurmctld and two slurmd nodes ("qzn1" and
# "qzn2", both on 127.0.0.1 with ports of their own), everything under one folder
# (QZ_SLURM_DIR, default /tmp/qz-slurm-test). Needs root and Debian's slurmctld, slurmd,
# slurm-client and munge (scripts/install-deps.sh installs them).
#
#   scripts/slurm-test-cluster.sh up      start it (again) and wait until both nodes are idle
#   scripts/slurm-test-cluster.sh down    stop every daemon it started and remove the folder
#   scripts/slurm-test-cluster.sh status  exit 0 when it runs
#   scripts/slurm-test-cluster.sh up-if-installed   "up" when Slurm is installed and we are root
#
# After "up" the clients find it through SLURM_CONF=$QZ_SLURM_DIR/slurm.conf (the script prints
# the line to use). Every step is bounded in time; "up" on a running cluster restarts it.
# $QZ_SLURM_DIR/unshared is a folder that node qzn2 does not see (a tmpfs of its own there):
# the tests put a build there to see the message about a folder that is not shared.
set -u
DIR=${QZ_SLURM_DIR:-/tmp/qz-slurm-test}
# Three ports in a row from 16817 on, chosen by the folder: clusters of two build trees do not
# meet.
PORT_BASE=$((16817 + $(printf %s "$DIR" | cksum | cut -d' ' -f1) % 400 * 3))
CTLD_PORT=${QZ_SLURM_CTLD_PORT:-$PORT_BASE}
NODE_PORT1=${QZ_SLURM_NODE_PORT:-$((PORT_BASE + 1))}
NODE_PORT2=$((NODE_PORT1 + 1))
NODE_CPUS=${QZ_SLURM_NODE_CPUS:-4}
HOST=$(hostname -s)

fail() {
    echo "slurm-test-cluster: $*" >&2
    exit 1
}

stop_pid_file() {
    local file=$1 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file" 2>/dev/null)
    rm -f "$file"
    case "$pid" in '' | *[!0-9]*) return 0 ;; esac
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
}

down() {
    [ -d "$DIR" ] || return 0
    for f in "$DIR"/run/slurmd-*.pid; do
        [ -e "$f" ] && stop_pid_file "$f"
    done
    stop_pid_file "$DIR/run/slurmctld.pid"
    stop_pid_file "$DIR/run/munged.pid"
    # The step daemons of steps that were running when the nodes stopped.
    for p in $(pgrep -f "slurmstepd: \[" 2>/dev/null); do
        if grep -qs "$DIR" "/proc/$p/environ" 2>/dev/null; then kill -KILL "$p" 2>/dev/null; fi
    done
    rm -rf "$DIR"
}

write_config() {
    cat >"$DIR/slurm.conf" <<CONF
ClusterName=qztest
SlurmctldHost=$HOST(127.0.0.1)
SlurmctldPort=$CTLD_PORT
SlurmdPort=$NODE_PORT1
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$DIR/run/munge.socket
StateSaveLocation=$DIR/state
SlurmdSpoolDir=$DIR/spool/%n
SlurmctldPidFile=$DIR/run/slurmctld.pid
SlurmdPidFile=$DIR/run/slurmd-%n.pid
SlurmctldLogFile=$DIR/log/slurmctld.log
SlurmdLogFile=$DIR/log/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
ReturnToService=2
MessageTimeout=10
SlurmdTimeout=30
SlurmctldTimeout=30
InactiveLimit=0
KillWait=2
MinJobAge=2
UnkillableStepTimeout=20
LaunchParameters=use_interactive_step
NodeName=qzn1 NodeHostname=$HOST NodeAddr=127.0.0.1 Port=$NODE_PORT1 CPUs=$NODE_CPUS State=UNKNOWN
NodeName=qzn2 NodeHostname=$HOST NodeAddr=127.0.0.1 Port=$NODE_PORT2 CPUs=$NODE_CPUS State=UNKNOWN
PartitionName=qzbuild Nodes=qzn1,qzn2 Default=YES MaxTime=INFINITE State=UP
PartitionName=qzcloud Nodes=qzn2 Default=NO MaxTime=INFINITE State=UP
CONF
    : >"$DIR/cgroup.conf"
}

wait_for() { # seconds command...
    local limit=$1
    shift
    for _ in $(seq $((limit * 5))); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}

nodes_idle() {
    local states
    states=$(SLURM_CONF="$DIR/slurm.conf" timeout 5 sinfo -h -N -o '%N %t' 2>/dev/null) || return 1
    echo "$states" | grep -q '^qzn1 idle' && echo "$states" | grep -q '^qzn2 idle'
}

up() {
    [ "$(id -u)" -eq 0 ] || fail "needs root"
    for c in munged mungekey slurmctld slurmd sinfo; do
        command -v "$c" >/dev/null 2>&1 || [ -x "/usr/sbin/$c" ] ||
            fail "$c is not installed (scripts/install-deps.sh installs it)"
    done
    down
    for port in "$CTLD_PORT" "$NODE_PORT1" "$NODE_PORT2"; do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            fail "port $port is in use (another test cluster? QZ_SLURM_CTLD_PORT and QZ_SLURM_NODE_PORT choose others)"
        fi
    done
    mkdir -p "$DIR"/{run,state,log,spool/qzn1,spool/qzn2,munge} || fail "cannot create $DIR"
    chmod 700 "$DIR/munge"
    chmod 755 "$DIR/run"
    write_config
    export SLURM_CONF="$DIR/slurm.conf"
    /usr/sbin/mungekey -c -f -k "$DIR/munge/munge.key" >/dev/null 2>&1 ||
        fail "cannot create the munge key"
    timeout 10 /usr/sbin/munged --force -S "$DIR/run/munge.socket" \
        --key-file="$DIR/munge/munge.key" --pid-file="$DIR/run/munged.pid" \
        --log-file="$DIR/log/munged.log" --seed-file="$DIR/munge/munged.seed" ||
        fail "munged did not start (see $DIR/log/munged.log)"
    timeout 10 /usr/sbin/slurmctld -c -i >"$DIR/log/slurmctld.out" 2>&1 ||
        fail "slurmctld did not start (see $DIR/log/slurmctld.log)"
    wait_for 15 timeout 3 scontrol ping || fail "slurmctld does not answer (see $DIR/log/slurmctld.log)"
    kill -0 "$(cat "$DIR/run/slurmctld.pid" 2>/dev/null)" 2>/dev/null ||
        fail "slurmctld ended (see $DIR/log/slurmctld.log)"
    # qzn2 runs in a mount namespace of its own where $DIR/unshared is an empty tmpfs: a folder
    # below it is a build folder that only qzn1 shares with this machine.
    mkdir -p "$DIR/unshared"
    timeout 10 /usr/sbin/slurmd -N qzn1 >"$DIR/log/slurmd-qzn1.out" 2>&1 ||
        fail "slurmd qzn1 did not start (see $DIR/log/slurmd-qzn1.log)"
    timeout 10 unshare -m --propagation private /bin/sh -c \
        "mount -t tmpfs qz-unshared '$DIR/unshared' && exec /usr/sbin/slurmd -N qzn2" \
        >"$DIR/log/slurmd-qzn2.out" 2>&1 ||
        fail "slurmd qzn2 did not start (see $DIR/log/slurmd-qzn2.log)"
    wait_for 30 nodes_idle || fail "the nodes did not become idle (see $DIR/log)"
    echo "export SLURM_CONF=$DIR/slurm.conf"
}

installed() {
    [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/slurmctld ] && [ -x /usr/sbin/slurmd ] &&
        [ -x /usr/sbin/munged ] && command -v srun >/dev/null 2>&1
}

case "${1:-}" in
up) up ;;
up-if-installed)
    # For CTest: without Slurm (or root) the tests skip themselves and say why.
    if installed; then up; else echo "Slurm or root missing: no test cluster"; fi
    ;;
down) down ;;
status) SLURM_CONF="$DIR/slurm.conf" nodes_idle ;;
*)
    echo "usage: $0 up|down|status|up-if-installed" >&2
    exit 2
    ;;
esac
