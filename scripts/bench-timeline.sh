#!/bin/sh
# Times "qzdump timeline" on a generated monitor file of 20,000 tasks (TASKS=n to change) beside
# "qzdump monitor" of the same file, measured in the same run (best of 3 each), and prints the
# ratio and the page's size. When chromium is installed it also opens the page (offline) and
# prints the time from navigation to the drawn timeline, as the page itself measures it, beside
# the same for a page of 10 tasks.
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

# Best wall-clock milliseconds of three runs of a command.
best() {
    b=""
    for _ in 1 2 3; do
        s=$(date +%s%N)
        "$@" >/dev/null
        e=$(date +%s%N)
        t=$(((e - s) / 1000000))
        if [ -z "$b" ] || [ "$t" -lt "$b" ]; then b=$t; fi
    done
    echo "$b"
}

monitor=$(best "$BUILD/tools/qzdump" monitor "$work/build.nv_mon")
timeline=$(best "$BUILD/tools/qzdump" timeline "$work/build.nv_mon" "$work/page.html")
"$BUILD/tools/qzdump" timeline "$work/small.nv_mon" "$work/small.html" >/dev/null
echo "monitor file: $TASKS tasks, $(stat -c %s "$work/build.nv_mon") bytes"
echo "qzdump monitor  (baseline): $monitor ms"
echo "qzdump timeline           : $timeline ms"
awk -v a="$timeline" -v b="$monitor" 'BEGIN { printf "ratio timeline/monitor    : %.2f (goal: at most 2)\n", a / (b > 0 ? b : 1) }'
awk -v s="$(stat -c %s "$work/page.html")" 'BEGIN { printf "page size                 : %.2f MB (goal: under 10 MB)\n", s / 1000000 }'

chromium=$(command -v chromium || true)
if [ -z "$chromium" ]; then
    echo "chromium is not installed: the page's opening time was not measured"
    exit 0
fi
# Milliseconds from navigation start to the drawn timeline, from the page's own report.
open_ms() {
    rm -rf "$work/profile"
    timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/profile" --proxy-server=127.0.0.1:9 \
        --host-resolver-rules="MAP * ~NOTFOUND" --window-size=1400,900 --dump-dom \
        "file://$1#selftest" 2>/dev/null | sed -n 's/.*"sinceNavigationMs":\([0-9]*\).*/\1/p'
}
small=$(open_ms "$work/small.html")
large=$(open_ms "$work/page.html")
echo "page open, 10 tasks (baseline): ${small:-?} ms"
echo "page open, $TASKS tasks       : ${large:-?} ms (goal: under 2000 ms)"
