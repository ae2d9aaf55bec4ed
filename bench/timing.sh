# Timing helpers of the benchmark scripts (sourced): median_ms runs a command $runs times and
# prints the median in milliseconds with one decimal (timing files go to $work); ratio a b
# prints a / b with two decimals.

now_ns() { date +%s%N; }

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

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 1) }'; }
