#!/usr/bin/env bash
# Each vector path's spring phase on the default scene's moon (one thread)
# against its own divider floor, and against the law alone at its width (what
# the phase costs beyond the arithmetic it cannot skip), from one build:
#   bench/floors.sh BUILD [ROUNDS]
# Each round runs springs_bench once and takes, per benchmark, the minimum of
# 150 repetitions of a millisecond or two (noise only ever adds time, and a
# repetition that short often runs between two preemptions of a busy
# machine); the ratio is taken within the round, so that both sides meet the
# same load. Prints per path the medians over the rounds and the range of the
# ratios.
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,10p' "$0" >&2; exit 2; }
build=$(cd "$1" && pwd)
rounds=${2:-8}
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

for round in $(seq "$rounds"); do
  "$build/bench/springs_bench" \
    --benchmark_filter='BM_Springs/Moon/[a-z0-9]+/threads:1/|BM_Divider|BM_Law' \
    --benchmark_repetitions=150 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.001 2>/dev/null |
    awk -v round="$round" '/_min / {
      for (i = 2; i <= NF; i++) if ($i ~ /^ns\/spring=/) { v = $i; sub(/^ns\/spring=/, "", v); sub(/s$/, "", v) }
      n = split($1, part, "/")
      if (part[1] == "BM_Springs") print round, part[3], "phase", v
      else if (part[1] == "BM_Divider") print round, part[2], "floor", v
      else if (part[1] == "BM_Law") print round, part[2], "law", v
    }' >> "$tmp"
done

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

awk '{print $2}' "$tmp" | sort -u | while read -r path; do
  of() { awk -v p="$path" -v k="$1" '$2 == p && $3 == k {print $4}' "$tmp" | median; }
  # Per round, the phase over the floor named; their median and range.
  ratios() {
    awk -v p="$path" -v k="$1" '$2 == p {v[$1, $3] = $4; r[$1] = 1}
      END {for (n in r) if ((n, "phase") in v && (n, k) in v) print v[n, "phase"] / v[n, k]}' "$tmp" | sort -g
  }
  floor=$(ratios floor)
  [ -n "$floor" ] || continue
  printf '%-9s %.3f ns/spring, floor %.3f: %.2fx its floor (rounds %.2f-%.2f, median of %d)' \
    "$path" "$(of phase)" "$(of floor)" "$(echo "$floor" | median)" \
    "$(echo "$floor" | head -1)" "$(echo "$floor" | tail -1)" "$(echo "$floor" | wc -l)"
  # A build from before the law's floor has none.
  law=$(ratios law)
  [ -z "$law" ] || printf '; law alone %.3f: %.2fx' "$(of law)" "$(echo "$law" | median)"
  printf '\n'
done
