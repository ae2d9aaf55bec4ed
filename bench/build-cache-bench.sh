#!/bin/sh
# The build cache, end to end through the console, the agent, Tasksmith and the cache service:
#  - the sample build (examples/stats, every task cacheable) cold (empty cache) and warm (every
#    task restored), goal: warm at least 5 times faster;
#  - the cost of a hit per task beside a task that runs `true` (200 tasks each);
#  - store and restore of one 100 MB output beside `cp` of the same file.
# Every figure is the median of RUNS timings taken in this one run, with its baseline measured
# the same way.
#
#   bench/build-cache-bench.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR holds the built programs (default build/release). A private agent service and a
# private cache service (with its own redis-server) run in a temporary folder and are stopped
# at the end.
set -eu
. "$(dirname "$0")/lib.sh" # time_once, median, ratio

build=${1:-build/release}
runs=${2:-5}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
console=$build/QzConsole/qzConsole
agentd=$build/AgentService/qzagentd
tasksmith=$build/Tasksmith/Tasksmith
cached=$build/BuildCacheService/qzbuildcached

work=$(mktemp -d)
objects=$(object_dir)
export TamrelRegistryRoot="$work/reg" TamrelObjectDir="$objects"
export TamrelObjectPrefix="cachebench$$" PROGRAMDATA="$work/programdata"
mkdir -p "$work/reg" "$work/agent/resources" "$work/programdata"
ln -s "$tasksmith" "$work/agent/Tasksmith"
port=$((20000 + $$ % 20000))
agent_settings "$work/reg" "$work/agent"
printf '{"service":{"port":%d},"localRedisInstance":{"port":0,"dbLocation":"%s"},
"fileSystem":{"cacheDirectoryLocation":"%s"}}\n' "$port" "$work/db" "$work/cache" \
    >"$work/agent/resources/buildcache_service_config.json"
service_pid=""
start_cache() {
    "$cached" --pid-file "$work/cache.pid" >>"$work/service.log" 2>&1 &
    service_pid=$!
    i=0
    until grep -q serving "$work/service.log" 2>/dev/null; do
        i=$((i + 1))
        if [ "$i" -gt 200 ]; then
            echo "the cache service did not start:" >&2
            cat "$work/service.log" >&2
            exit 1
        fi
        sleep 0.05
    done
}
stop_cache() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
        service_pid=""
        : >"$work/service.log"
    fi
}
empty_cache() {
    stop_cache
    rm -rf "$work/cache" "$work/db"
    start_cache
}
cleanup() {
    stop_cache
    "$agentd" --stop >/dev/null 2>&1 || true
    rm -rf "$work" "$objects"
}
trap cleanup EXIT INT TERM
"$agentd" --background >/dev/null
start_cache

build_job() { "$console" /NOLOGO /BUILDCACHELOCAL=ON "$1/job.xml"; }

echo "runs per figure: $runs (medians)"

# The sample build.
cp -r "$source_dir/examples/stats" "$work/stats"
sed -i 's/<task /<task cache="true" /' "$work/stats/job.xml"
: >"$work/cold" && : >"$work/warm"
i=0
while [ "$i" -lt "$runs" ]; do
    empty_cache
    rm -rf "$work/stats/build"
    time_once build_job "$work/stats" >>"$work/cold"
    rm -rf "$work/stats/build"
    time_once build_job "$work/stats" >>"$work/warm"
    i=$((i + 1))
done
[ -x "$work/stats/build/stats" ] || echo "the warm sample build left no program" >&2
cold=$(median <"$work/cold")
warm=$(median <"$work/warm")
echo "sample build (14 tasks): cold ${cold} ms, warm ${warm} ms, warm is $(ratio "$cold" "$warm")x faster"

# The cost of a hit per task.
tasks=200
mkdir -p "$work/plain" "$work/hits"
{
    echo '<job>'
    n=0
    while [ "$n" -lt "$tasks" ]; do
        echo "<task id=\"t$n\"><exec><arg>true</arg></exec></task>"
        n=$((n + 1))
    done
    echo '</job>'
} >"$work/plain/job.xml"
sed 's/<task /<task cache="true" /' "$work/plain/job.xml" >"$work/hits/job.xml"
build_job "$work/hits" >/dev/null 2>&1 # stores every task
: >"$work/plain.t" && : >"$work/hits.t"
i=0
while [ "$i" -lt "$runs" ]; do
    time_once build_job "$work/plain" >>"$work/plain.t"
    time_once build_job "$work/hits" >>"$work/hits.t"
    i=$((i + 1))
done
plain=$(median <"$work/plain.t")
hits=$(median <"$work/hits.t")
per() { awk -v ms="$1" -v n="$tasks" 'BEGIN { printf "%.2f", ms / n }'; }
echo "per task ($tasks tasks): running true $(per "$plain") ms, a cache hit $(per "$hits") ms" \
    "(builds: ${plain} ms and ${hits} ms)"

# Store and restore of 100 MB.
mkdir -p "$work/big"
head -c $((100 * 1024 * 1024)) /dev/urandom >"$work/big/input.bin"
cat >"$work/big/job.xml" <<'JOB'
<job><task id="copy" cache="true"><exec><arg>cp</arg><arg>input.bin</arg><arg>output.bin</arg></exec>
<input>input.bin</input><output>output.bin</output></task></job>
JOB
: >"$work/store.t" && : >"$work/restore.t" && : >"$work/cp.t"
i=0
while [ "$i" -lt "$runs" ]; do
    empty_cache
    rm -f "$work/big/output.bin"
    time_once build_job "$work/big" >>"$work/store.t"
    rm -f "$work/big/output.bin"
    time_once build_job "$work/big" >>"$work/restore.t"
    rm -f "$work/cp.bin"
    time_once cp "$work/big/input.bin" "$work/cp.bin" >>"$work/cp.t"
    i=$((i + 1))
done
cmp -s "$work/big/input.bin" "$work/big/output.bin" || echo "the restored 100 MB differ" >&2
store=$(median <"$work/store.t")
restore=$(median <"$work/restore.t")
cpms=$(median <"$work/cp.t")
mbps() { awk -v ms="$1" 'BEGIN { printf "%.0f", 100 / (ms / 1000) }'; }
echo "100 MB output: build that runs cp and stores ${store} ms, build that restores ${restore} ms" \
    "($(mbps "$restore") MB/s), cp alone ${cpms} ms ($(mbps "$cpms") MB/s)"
