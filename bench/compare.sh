#!/usr/bin/env bash
# Two builds side by side on this machine, for figures that a noisy machine
# cannot spoil: each round runs the old build, then the new, so that both
# meet the same load.
#   bench/compare.sh springs OLD_BUILD NEW_BUILD [FILTER] [ROUNDS]
#       springs_bench: the minimum of 30 short repetitions per benchmark
#       (noise only ever adds time), one line per build and round
#   bench/compare.sh steps OLD_BUILD NEW_BUILD [STEPS] [ROUNDS]
#       zibbet-bench --drag 30 20 --threads 1 on the default scene for each
#       path (ZIBBET_ISA) and the processor's own choice, one run of each
#       build a round; each build's runs pooled into one result file, and
#       the two weighed by NEW_BUILD's zibbet-bench --compare (ratio of the
#       medians with an interval, Mann-Whitney U test)
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
mode=$1
old=$(cd "$2" && pwd)
new=$(cd "$3" && pwd)

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
  # A build from before the programs had folders of their own keeps it in tools/.
  bench_of() { if [ -x "$1/zibbet-bench/zibbet-bench" ]; then echo "$1/zibbet-bench/zibbet-bench"
               else echo "$1/tools/zibbet-bench"; fi; }
  "$(bench_of "$new")" --help | grep -q -- '--compare' ||
    { echo "$(bench_of "$new") cannot --compare" >&2; exit 1; }
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # A build that repeats its runs itself times one a round here: the rounds
  # are the repetitions, each meeting the load the other build met.
  once() { if "$(bench_of "$1")" --help | grep -q -- '--repeat'; then echo --repeat 1; fi; }
  for isa in baseline avx2 avx512 ""; do
    for round in $(seq "$rounds"); do
      for side in old new; do
        dir=$old; [ "$side" = new ] && dir=$new
        # shellcheck disable=SC2046 # once gives two words or none
        (cd "$run" && ZIBBET_ISA=$isa "$(bench_of "$dir")" --steps "$steps" --drag 30 20 \
          --threads 1 $(once "$dir") --json - 2>/dev/null) >> "$tmp/$side.json"
      done
    done
    echo "== ${isa:-own} path, $rounds rounds"
    "$(bench_of "$new")" --compare "$tmp/old.json" "$tmp/new.json"
    rm -f "$tmp/old.json" "$tmp/new.json"
  done
  ;;
*) sed -n '2,14p' "$0" >&2; exit 2 ;;
esac
