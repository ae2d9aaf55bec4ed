#!/bin/sh
# Checks the benchmark scripts' shared timing helpers (bench/lib.sh): medians of odd and even
# counts, tenths of a millisecond, ratios (also against 0), differences, and that median_ms
# times the command it is given.
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
runs=3
. "$(dirname "$0")/../../bench/lib.sh"

failed=0
expect() { # what got wanted
    if [ "$2" != "$3" ]; then
        echo "FAILED: $1: got '$2', wanted '$3'" >&2
        failed=1
    fi
}

expect "median of three" "$(printf '30\n10\n20\n' | median)" 2.0
expect "median of four (the lower middle)" "$(printf '40\n10\n30\n20\n' | median)" 2.0
expect "median of one, tenths kept" "$(printf '12345\n' | median)" 1234.5
expect "sorted as numbers" "$(printf '9\n100\n11\n' | median)" 1.1
expect "ratio" "$(ratio 3 2)" 1.50
expect "ratio against 0" "$(ratio 3 0)" 3.00
expect "difference" "$(difference 10.5 2.25)" 8.2

# median_ms runs the command $runs times, output and failure swallowed.
counter() {
    echo run >>"$work/count"
    echo noise
    return 1
}
value=$(median_ms counter)
expect "runs of median_ms" "$(wc -l <"$work/count")" 3
case "$value" in
[0-9]*.[0-9]) ;;
*) expect "median_ms prints ms with one decimal" "$value" "N.N" ;;
esac
slow=$(median_ms sleep 0.05)
awk -v v="$slow" 'BEGIN { exit !(v >= 50) }' || expect "sleep 0.05 takes at least 50 ms" "$slow" ">= 50"

[ "$failed" -eq 0 ] && echo "bench/lib.sh: all checks passed"
exit "$failed"
