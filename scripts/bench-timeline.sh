#!/bin/bash
# Times "qzdump timeline" on a generated monitor file of 20,000 tasks (TASKS=n to change) beside
# "qzdump monitor" of the same file, measured in the same run (best of 5 each, wall clock and
# CPU), and prints the ratios and the page's size. When chromium is installed it also opens the
# page (offline) and prints the time from navigation to the drawn timeline, as the page itself
# measures it, beside the same for a page of 10 tasks. The machine's load moves the wall-clock
# figures; the CPU ratio is the steadier one.
set -e
cd "$(dirname "$0")/.."
BUILD=${QZ_BENCH_BUILD:-build/release}
TASKS=${TASKS:-20000}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" -j 2 --target qzdump TimelineSample >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

"$BUILD/bench/TimelineSample" "$TASKS" 16 "$work/build.nv_mon"
"$BUILD/bench/TimelineSample" 10 2 "$work/small.nv_mon"

# Best of five runs of a command: "wall-ms cpu-ms" (CPU = user + system), each the minimum.
best() {
    local wall="" cpu="" w c t
    for _ in 1 2 3 4 5; do
        t=$( { TIMEFORMAT='%R %U %S'; time "$@" >/dev/null; } 2>&1 | tail -n 1)
        w=$(awk -v r="${t%% *}" 'BEGIN { printf "%d", r * 1000 }')
        c=$(echo "$t" | awk '{ printf "%d", ($2 + $3) * 1000 }')
        if [ -z "$wall" ] || [ "$w" -lt "$wall" ]; then wall=$w; fi
        if [ -z "$cpu" ] || [ "$c" -lt "$cpu" ]; then cpu=$c; fi
    done
    echo "$wall $cpu"
}

read -r monitor monitor_cpu <<<"$(best "$BUILD/tools/qzdump" monitor "$work/build.nv_mon")"
read -r timeline timeline_cpu <<<"$(best "$BUILD/tools/qzdump" timeline "$work/build.nv_mon" "$work/page.html")"
"$BUILD/tools/qzdump" timeline "$work/small.nv_mon" "$work/small.html" >/dev/null
echo "monitor file: $TASKS tasks, $(stat -c %s "$work/build.nv_mon") bytes"
echo "qzdump monitor  (baseline): $monitor ms wall, $monitor_cpu ms CPU"
echo "qzdump timeline           : $timeline ms wall, $timeline_cpu ms CPU"
awk -v a="$timeline" -v b="$monitor" -v c="$timeline_cpu" -v d="$monitor_cpu" 'BEGIN {
    printf "ratio timeline/monitor    : %.2f wall, %.2f CPU (goal: at most 2)\n", a / (b > 0 ? b : 1), c / (d > 0 ? d : 1) }'
awk -v s="$(stat -c %s "$work/page.html")" 'BEGIN { printf "page size                 : %.2f MB (goal: under 10 MB)\n", s / 1000000 }'

chromium=$(command -v chromium || true)
if [ -z "$chromium" ]; then
    echo "chromium is not installed: the page's opening time was not measured"
    exit 0
fi
# The page's own report (milliseconds since navigation: script start, data parsed, prepared,
# drawn) of the best of three openings, as "drawn script parsed prepared".
open_ms() {
    for _ in 1 2 3; do
        rm -rf "$work/profile"
        timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic \
            --no-first-run --disable-background-networking --disable-component-update \
            --disable-sync --user-data-dir="$work/profile" --proxy-server=127.0.0.1:9 \
            --host-resolver-rules="MAP * ~NOTFOUND" --window-size=1400,900 --dump-dom \
            "file://$1#selftest" 2>/dev/null |
            sed -n 's/.*"scriptStartMs":\([0-9]*\),"parsedMs":\([0-9]*\),"preparedMs":\([0-9]*\),"sinceNavigationMs":\([0-9]*\).*/\4 \1 \2 \3/p'
    done | sort -n | head -n 1
}
report() {
    label=$1
    # shellcheck disable=SC2086
    set -- $2
    echo "$label ${1:-?} ms drawn (script started at ${2:-?} ms, data parsed ${3:-?}, prepared ${4:-?})"
}
small=$(open_ms "$work/small.html")
large=$(open_ms "$work/page.html")
report "page open, 10 tasks (baseline):" "$small"
report "page open, $TASKS tasks       :" "$large"
echo "goal for the page of $TASKS tasks: drawn under 2000 ms"
