#!/bin/sh
# Checks that the console's manual page shows every switch of its usage text.
#   usage-switches.sh QZCONSOLE MANPAGE (roff)
# The usage text is what the program prints (no arguments); a switch is the first word of an
# option line ("  /NAME..." or "  @..."), cut before "[" "=" or "<"; "/HELP /?" gives both. The
# manual page is rendered as a reader sees it (man -l, else nroff -man).
set -e
console=$1
page=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
TamrelRegistryRoot="$work" "$console" </dev/null | tr -d '\r' >"$work/usage"
if command -v man >/dev/null 2>&1; then
    MANWIDTH=200 MAN_KEEP_FORMATTING=0 man -l "$page" 2>/dev/null | col -b >"$work/page"
else
    nroff -man "$page" | col -b >"$work/page"
fi
[ -s "$work/page" ] || { echo "the manual page $page renders as nothing"; exit 1; }
grep -E '^  [/@]' "$work/usage" | sed -E 's/^  //; s/(\/HELP) (\/\?).*/\1\n\2/' |
    sed -E 's/^([^ ]*).*/\1/; s/[=<[].*//' | sort -u >"$work/switches"
count=$(wc -l <"$work/switches")
[ "$count" -ge 60 ] || { echo "only $count switches found in the usage text"; exit 1; }
missing=0
while IFS= read -r switch; do
    if ! grep -qwF -- "$switch" "$work/page"; then
        echo "missing from the manual page: $switch"
        missing=$((missing + 1))
    fi
done <"$work/switches"
echo "$count switches, $missing missing"
[ "$missing" -eq 0 ]
