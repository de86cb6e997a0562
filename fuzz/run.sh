#!/bin/sh
# Builds every fuzz/fuzz_*.cpp with clang (libFuzzer, ASan, UBSan) into
# build-fuzz, writes each target's seed corpus with our own writers and runs
# each target. Knobs (environment):
#   FUZZ_TARGETS   names such as "loadtga load3ds scene": only those (default all)
#   FUZZ_SECONDS   time limit per target (default 300; 0 for none)
#   FUZZ_RUNS      executions per target, shared out among the workers; when
#                  set, FUZZ_SECONDS defaults to 0 (no time limit)
#   FUZZ_WORKERS   fuzzing processes per target (default 1), e.g. 2 for 2 cores
# A target fuzz_X.cpp takes the first dictionary present of fuzz/fuzz_X.dict,
# fuzz/X.dict and, with "load" taken off X, fuzz/X.dict; the pipeline fuzzer
# reads 3DS files and takes 3ds.dict. Findings land in build-fuzz/findings/X,
# the workers' logs in build-fuzz/logs/X; each target ends with a line giving
# its executions, their rate, its coverage and its findings. The reproducers
# in fuzz/regressions join every target's seeds.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-fuzz"
runs=${FUZZ_RUNS:-0}
if [ "$runs" -gt 0 ]; then
    seconds=${FUZZ_SECONDS:-0}
else
    seconds=${FUZZ_SECONDS:-300}
fi
workers=${FUZZ_WORKERS:-1}
targets=${FUZZ_TARGETS:-}
jobs=${FUZZ_BUILD_JOBS:-2}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"

# The targets write each input to an in-memory scratch file; should the
# system refuse those, keep the fallback files off the disk too.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=/dev/shm
    export TMPDIR
fi

# Sums the workers' final statistics: executions, the largest coverage.
summarise() {
    awk '/^stat::number_of_executed_units:/ { runs += $2 }
         $2 == "DONE" { for (i = 3; i < NF; ++i) if ($i == "cov:" && $(i + 1) > cov) cov = $(i + 1) }
         END { printf "%d %d\n", runs, cov }' "$@"
}

# Reproducers libFuzzer wrote for crashes, leaks, timeouts and memory limits.
faults() {
    ls "$1" | grep -cE '^(crash|leak|timeout|oom)-' || true
}

status=0
for src in "$here"/fuzz_*.cpp; do
    target=$(basename "$src" .cpp)
    name=${target#fuzz_}
    case " $targets " in
    "  " | *" $name "*) ;;
    *) continue ;;
    esac
    corpus="$build/corpus/$name"
    findings="$build/findings/$name"
    logs="$build/logs/$name"
    mkdir -p "$corpus" "$findings" "$logs"
    rm -f "$logs"/*.log
    if ! "$build/zibbet-seeds" "$name" "$corpus"; then
        echo "run.sh: no seeds for $name, starting from an empty corpus"
    fi
    set -- -max_total_time="$seconds" -artifact_prefix="$findings/" -print_final_stats=1
    if [ "$runs" -gt 0 ]; then
        set -- "$@" -runs=$(((runs + workers - 1) / workers))
    fi
    for dict in "$here/$target.dict" "$here/$name.dict" "$here/${name#load}.dict"; do
        if [ -f "$dict" ]; then
            set -- "$@" -dict="$dict"
            break
        fi
    done
    case $name in
    scene)
        # Scenes near the default one take long to build; inputs that run
        # fast are tried more often.
        set -- "$@" -dict="$here/3ds.dict" -entropic_scale_per_exec_time=1
        ;;
    esac
    echo "run.sh: fuzzing $target: ${runs} runs (0: unlimited), ${seconds} s (0: unlimited), $workers worker(s)"
    before=$(faults "$findings")
    started=$(date +%s)
    failed=0
    # The reproducers of earlier findings seed every target as well.
    if [ -d "$here/regressions" ]; then
        set -- "$@" "$corpus" "$here/regressions"
    else
        set -- "$@" "$corpus"
    fi
    if [ "$workers" -gt 1 ]; then
        # libFuzzer's jobs share the corpus; each writes logs/NAME/fuzz-K.log.
        (cd "$logs" && nice -n 19 "$build/$target" -jobs="$workers" -workers="$workers" "$@") ||
            failed=1
    else
        nice -n 19 "$build/$target" "$@" 2>&1 | tee "$logs/fuzz-0.log" || failed=1
        grep -q "^Done " "$logs/fuzz-0.log" || failed=1
    fi
    elapsed=$(($(date +%s) - started))
    [ "$elapsed" -gt 0 ] || elapsed=1
    set -- $(summarise "$logs"/*.log)
    after=$(faults "$findings")
    new=$((after - before))
    [ "$new" -eq 0 ] || failed=1
    echo "run.sh: $name: $1 executions in $elapsed s ($(($1 / elapsed))/s), coverage $2," \
        "$new new finding(s) in $findings"
    if [ "$failed" -ne 0 ]; then
        echo "run.sh: $target found a fault, see $findings and $logs"
        status=1
    fi
done
exit $status
