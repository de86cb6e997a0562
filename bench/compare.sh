#!/usr/bin/env bash
# Two builds side by side on this machine, for figures that a noisy machine
# cannot spoil: each round runs the old build, then the new, so that both
# meet the same load.
#   bench/compare.sh springs OLD_BUILD NEW_BUILD [FILTER] [ROUNDS]
#       springs_bench: the minimum of 30 short repetitions per benchmark
#       (noise only ever adds time), one line per build and round
#   bench/compare.sh steps OLD_BUILD NEW_BUILD [STEPS] [ROUNDS]
#       zibbet-bench --drag 30 20 on the default scene for each path
#       (ZIBBET_ISA) and the processor's own choice: each build's median
#       steps/s and the median of the rounds' new/old ratios
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,12p' "$0" >&2; exit 2; }
mode=$1
old=$(cd "$2" && pwd)
new=$(cd "$3" && pwd)

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

case "$mode" in
springs)
  filter=${4:-'BM_Springs/Moon/.*/threads:1/|BM_Divider|BM_SpringsGeneral/Moon|BM_SpringsPlain/Moon'}
  rounds=${5:-2}
  for round in $(seq "$rounds"); do
    for side in old new; do
      dir=$old; [ "$side" = new ] && dir=$new
      "$dir/bench/springs_bench" --benchmark_filter="$filter" --benchmark_repetitions=30 \
        --benchmark_report_aggregates_only=true --benchmark_min_time=0.05 2>/dev/null |
        awk -v side="$side" -v round="$round" '/_min / {
          for (i = 2; i <= NF; i++) if ($i ~ /^ns\/spring=/) { sub(/^ns\/spring=/, "", $i); sub(/s$/, "", $i); ns = $i }
          name = $1; sub(/\/real_time_min$/, "", name)
          printf "%-4s round %d  %-45s %s ns/spring\n", side, round, name, ns }'
    done
  done | sort -k4,4 -k1,1r -k3,3
  ;;
steps)
  steps=${4:-3000}
  rounds=${5:-7}
  run=$new/run
  [ -f "$run/bmoon1m.3ds" ] || { echo "no default scene in $run" >&2; exit 1; }
  for isa in baseline avx2 avx512 ""; do
    : > /tmp/compare-old.$$ ; : > /tmp/compare-new.$$ ; : > /tmp/compare-ratio.$$
    for round in $(seq "$rounds"); do
      o=$(cd "$run" && ZIBBET_ISA=$isa "$old/tools/zibbet-bench" --steps "$steps" --drag 30 20 2>/dev/null | awk '/^run/ {print $4}')
      n=$(cd "$run" && ZIBBET_ISA=$isa "$new/tools/zibbet-bench" --steps "$steps" --drag 30 20 2>/dev/null | awk '/^run/ {print $4}')
      echo "$o" >> /tmp/compare-old.$$
      echo "$n" >> /tmp/compare-new.$$
      awk -v o="$o" -v n="$n" 'BEGIN {print n / o}' >> /tmp/compare-ratio.$$
    done
    printf '%-9s old %8.1f  new %8.1f steps/s  new/old %.3f (median of %d rounds)\n' "${isa:-own}" \
      "$(median < /tmp/compare-old.$$)" "$(median < /tmp/compare-new.$$)" \
      "$(median < /tmp/compare-ratio.$$)" "$rounds"
  done
  rm -f /tmp/compare-old.$$ /tmp/compare-new.$$ /tmp/compare-ratio.$$
  ;;
*) sed -n '2,12p' "$0" >&2; exit 2 ;;
esac
