#!/usr/bin/env bash
# Instructions per spring of each tile kernel path this processor runs, counted
# by callgrind (repeatable, whatever else the machine does), on the default
# scene's moon and on a generated sphere of about 1.2 million springs:
#   bench/instructions.sh BUILD
# Each path runs zibbet-bench for three steps on one thread under callgrind,
# collecting only inside the tiles' runs; the kernel's instructions over all
# its calls (the planner's trials, the warm-up and the run, each a whole
# phase) are divided by the calls and by the body's springs. valgrind cannot
# run AVX-512 instructions (it hides them from the processor check), so the
# avx512 path is not counted; the sse2 and avx2 paths are, on any x86-64
# machine that has AVX2, and neon on aarch64.
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,12p' "$0" >&2; exit 2; }
build=$(cd "$1" && pwd)
command -v valgrind > /dev/null || { echo "instructions.sh: needs valgrind" >&2; exit 2; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# A build from before the programs had folders of their own keeps them in tools/.
program() { if [ -x "$build/$1/$1" ]; then echo "$build/$1/$1"; else echo "$build/tools/$1"; fi; }

"$(program zibbet-assets)" --sphere 1692 "$tmp/sphere.3ds" > /dev/null
case "$(uname -m)" in
  x86_64) paths="scalar sse2 avx2" ;;
  aarch64) paths="scalar neon" ;;
  *) paths="scalar" ;;
esac

printf '%-8s %12s %12s\n' path moon sphere
for path in $paths; do
  line="$path"
  for scene in "$build/run/bmoon1m.3ds" "$tmp/sphere.3ds"; do
    ZIBBET_ISA=$path valgrind --tool=callgrind --callgrind-out-file="$tmp/out" \
      --collect-atstart=no --toggle-collect='*runTiles*' \
      "$(program zibbet-bench)" --scene "$scene" --steps 3 --threads 1 --repeat 1 \
      > "$tmp/log" 2> "$tmp/err"
    springs=$(sed -n 's/^zibbet-bench: .* masses, \([0-9]*\) springs.*/\1/p' "$tmp/log")
    # The calls into springTiles* and their inclusive cost; names are
    # compressed to "(id)" after their first use.
    perSpring=$(awk -v springs="$springs" '
      match($0, /^c?fn=\([0-9]+\)/) {
        id = substr($0, 1, RLENGTH); sub(/^c?fn=/, "", id)
        if (length($0) > RLENGTH) name[id] = substr($0, RLENGTH + 2)
        callee = (name[id] ~ /^springTiles/)
        next
      }
      /^calls=/ { split($1, c, "="); calls = c[2]; want = callee; next }
      want { cost += $2; phases += calls; want = 0 }
      END { if (phases) printf "%.2f", cost / phases / springs; else print "none" }
    ' "$tmp/out")
    line="$line $perSpring"
  done
  printf '%-8s %12s %12s\n' $line
done
