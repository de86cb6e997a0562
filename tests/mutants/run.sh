#!/usr/bin/env bash
# The mutation check: plants each fault of tests/mutants/faults.txt, one at
# a time, in a copy of the tree, rebuilds the copy incrementally, runs the
# Release tests on it and says which faults the tests caught ("killed") and
# which they missed ("survived"). A fault whose text is not in its file
# exactly once "does not apply", and one that does not compile "does not
# build": both are errors of the list, to be mended.
#
#   tests/mutants/run.sh [ID...]     every fault, or only those named
#
# Environment:
#   MUTANTS_DIR      the copy (src/) and its build (build/), kept between
#                    runs so that each rebuild is incremental (build-mutants)
#   MUTANTS_RESULTS  where the table goes (tests/mutants/results.txt)
#   MUTANTS_TIMEOUT  seconds a single test may take (300): a fault that
#                    hangs a test is caught by it
#   JOBS             parallel compiles and tests (2)
#
# Exit status 0 when every fault applied, built and was killed; 1 when one
# survived; 2 when the list or the tree is at fault.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
faults="$here/faults.txt"
work=${MUTANTS_DIR:-$root/build-mutants}
results=${MUTANTS_RESULTS:-$here/results.txt}
timeout=${MUTANTS_TIMEOUT:-300}
jobs=${JOBS:-2}
copy="$work/src"
build="$work/build"
logs="$work/logs"

started=$(date +%s)
mkdir -p "$copy" "$build" "$logs"

# ---------------------------------------------------------------------------
# The list: "[id] what a user would notice", then "file:", "text:" and
# "into:" lines; consecutive text: or into: lines are joined by newlines.
# ---------------------------------------------------------------------------
ids=() whats=() files=() texts=() intos=()
n=-1
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
  "#"* | "") ;;
  "["*"]"*)
    n=$((n + 1))
    id=${line#[}
    ids[n]=${id%%]*}
    what=${line#*]}
    whats[n]=${what# }
    files[n]="" texts[n]="" intos[n]=""
    text_lines=0 into_lines=0
    ;;
  "file: "*) files[n]=${line#file: } ;;
  "text:"*)
    part=${line#text:}
    part=${part# }
    if [ "$text_lines" -eq 0 ]; then texts[n]=$part; else texts[n]+=$'\n'$part; fi
    text_lines=$((text_lines + 1))
    ;;
  "into:"*)
    part=${line#into:}
    part=${part# }
    if [ "$into_lines" -eq 0 ]; then intos[n]=$part; else intos[n]+=$'\n'$part; fi
    into_lines=$((into_lines + 1))
    ;;
  *)
    echo "mutants: faults.txt: cannot read the line: $line" >&2
    exit 2
    ;;
  esac
done <"$faults"

# The faults to run: all, or those named on the command line.
chosen=()
if [ $# -eq 0 ]; then
  for i in "${!ids[@]}"; do chosen+=("$i"); done
else
  for want in "$@"; do
    found=-1
    for i in "${!ids[@]}"; do [ "${ids[i]}" = "$want" ] && found=$i; done
    [ "$found" -ge 0 ] || { echo "mutants: no fault named $want" >&2; exit 2; }
    chosen+=("$found")
  done
fi

# ---------------------------------------------------------------------------
# The copy: the tree's files (committed or not, but not ignored), each one
# copied only when it differs, so that make rebuilds what changed.
# ---------------------------------------------------------------------------
cd "$root"
git ls-files --cached --others --exclude-standard >"$work/files.txt"
while IFS= read -r f; do
  [ -f "$f" ] || continue
  if ! cmp -s "$f" "$copy/$f"; then
    mkdir -p "$(dirname "$copy/$f")"
    cp "$f" "$copy/$f"
  fi
done <"$work/files.txt"
# Files the tree no longer holds leave the copy too.
(cd "$copy" && find . -type f | sed 's|^\./||') | sort >"$work/copied.txt"
sort "$work/files.txt" | comm -23 "$work/copied.txt" - | while IFS= read -r f; do
  rm -f "$copy/$f"
done

commit=$(git rev-parse --short HEAD)
[ -z "$(git status --porcelain --untracked-files=no)" ] || commit="$commit with uncommitted changes"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)

# Replaces the one occurrence of TEXT in FILE by INTO (both from the
# environment, taken literally); exit 3 with the count when it is not one.
plant() {
  TEXT=$1 INTO=$2 perl -e '
    my $path = $ARGV[0];
    open(my $in, "<", $path) or do { print "0"; exit 3 };
    local $/; my $s = <$in>; close $in;
    my ($text, $into) = ($ENV{TEXT}, $ENV{INTO});
    my ($count, $at) = (0, -1);
    for (my $p = index($s, $text); $p >= 0; $p = index($s, $text, $p + 1)) { $count++; $at = $p if $at < 0; }
    if ($count != 1) { print $count; exit 3 }
    substr($s, $at, length $text) = $into;
    open(my $out, ">", $path) or exit 4; print $out $s; close $out;' "$3"
}

# Every fault must apply to the tree as it is before anything is run.
bad=0
for i in "${chosen[@]}"; do
  f="$copy/${files[i]}"
  cp "$f" "$work/check" 2>/dev/null || { echo "mutants: ${ids[i]}: no file ${files[i]}" >&2; bad=1; continue; }
  if ! count=$(plant "${texts[i]}" "${intos[i]}" "$work/check"); then
    echo "mutants: ${ids[i]}: does not apply: its text appears ${count:-0} times in ${files[i]}" >&2
    bad=1
  fi
done
rm -f "$work/check"

# ---------------------------------------------------------------------------
# The build and the tests, once as they are, then once per fault.
# ---------------------------------------------------------------------------
cmake -S "$copy" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  >"$logs/configure.log" 2>&1 || { echo "mutants: the copy does not configure: $logs/configure.log" >&2; exit 2; }

# Runs the tests, first failure ending the run; prints the failed tests.
run_tests() {
  local log=$1
  if ctest --test-dir "$build" -j "$jobs" --stop-on-failure --timeout "$timeout" \
    --output-on-failure >"$log" 2>&1; then
    return 0
  fi
  sed -n '/The following tests FAILED:/,$p' "$log" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p' |
    paste -sd ' ' -
  return 1
}

echo "mutants: building the copy as it is"
if ! cmake --build "$build" -j "$jobs" >"$logs/baseline-build.log" 2>&1; then
  echo "mutants: the tree does not build: $logs/baseline-build.log" >&2
  exit 2
fi
if failed=$(run_tests "$logs/baseline-tests.log"); then :; else
  echo "mutants: the tests fail with no fault planted ($failed): $logs/baseline-tests.log" >&2
  exit 2
fi
baseline=$(($(date +%s) - started))
echo "mutants: the tests pass with no fault planted (${baseline} s to here)"

rows=()
killed=0 survived=0 unapplied=0 unbuilt=0
for i in "${chosen[@]}"; do
  id=${ids[i]}
  f="$copy/${files[i]}"
  t0=$(date +%s)
  cp -p "$f" "$work/original"
  if ! count=$(plant "${texts[i]}" "${intos[i]}" "$f"); then
    result="does-not-apply" note="text found ${count:-0} times"
    unapplied=$((unapplied + 1))
  elif ! cmake --build "$build" -j "$jobs" >"$logs/$id.build.log" 2>&1; then
    result="does-not-build" note="$logs/$id.build.log"
    unbuilt=$((unbuilt + 1))
  elif failed=$(run_tests "$logs/$id.tests.log"); then
    result="SURVIVED" note="${whats[i]}"
    survived=$((survived + 1))
  else
    result="killed" note="${failed:-see $logs/$id.tests.log}"
    killed=$((killed + 1))
  fi
  # Back as it was, and newer than what the fault built: the next build
  # compiles it again.
  cp "$work/original" "$f"
  touch "$f"
  seconds=$(($(date +%s) - t0))
  row=$(printf '%-28s %-15s %4d s  %s' "$id" "$result" "$seconds" "$note")
  echo "mutants: $row"
  rows+=("$row")
done
rm -f "$work/original"

total=$(($(date +%s) - started))
{
  echo "# make mutants, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit"
  echo "# $cpu, $(nproc) processors, JOBS=$jobs; Release tests (ctest --stop-on-failure)"
  echo "# id                         result          time    first failing tests, or what survived"
  printf '%s\n' "${rows[@]}"
  echo "# ${#chosen[@]} faults: $killed killed, $survived survived, $unapplied do not apply," \
    "$unbuilt do not build; ${total} s in all, ${baseline} s of it the build and tests with no fault"
} >"$results"
tail -n 1 "$results"
echo "mutants: the table is in $results"

[ "$bad" -eq 0 ] && [ "$unapplied" -eq 0 ] && [ "$unbuilt" -eq 0 ] || exit 2
[ "$survived" -eq 0 ] || exit 1
exit 0
