#!/usr/bin/env bash
# Checks that degenerate inputs stay linear: for each one-character input
# (and alternating "/*"), the time at 8 MB must be at most 10x the time at
# 1 MB. Prints one row per input; exits 1 if any ratio is above 10.
# Usage: bench/pathological.sh [QUARNEL_BINARY]   (default: build/quarnel)
set -euo pipefail
quarnel=$(realpath "${1:-build/quarnel}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# make_input PATTERN MEGABYTES: the pattern repeated to the size.
make_input() {
    python3 -c 'import sys; p=sys.argv[1].encode(); n=int(sys.argv[2])<<20; sys.stdout.buffer.write((p*(n//len(p)+1))[:n])' "$1" "$2"
}

# median_seconds FILE: median wall time of five runs.
median_seconds() {
    for _ in 1 2 3 4 5; do
        start=$(date +%s.%N)
        "$quarnel" -c "$1" >/dev/null
        end=$(date +%s.%N)
        echo "$end - $start" | bc -l
    done | sort -g | sed -n 3p
}

worst=0
printf '%-8s %10s %10s %7s\n' input '1 MB (s)' '8 MB (s)' ratio
for pattern in a 0 / '*' '"' '\' '(' - ' ' '/*'; do
    make_input "$pattern" 1 > small.c
    make_input "$pattern" 8 > large.c
    small=$(median_seconds small.c)
    large=$(median_seconds large.c)
    ratio=$(echo "$large / $small" | bc -l)
    printf '%-8s %10.4f %10.4f %7.2f\n' "'$pattern'" "$small" "$large" "$ratio"
    if (( $(echo "$ratio > 10" | bc -l) )); then worst=1; fi
done
exit $worst
