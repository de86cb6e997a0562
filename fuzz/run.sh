#!/bin/sh
# Builds every fuzz/fuzz_*.cpp with clang (libFuzzer, ASan, UBSan) into
# build-fuzz, writes each target's seed corpus with our own writers and runs
# each target for FUZZ_SECONDS (300 by default). FUZZ_TARGETS, a list of names
# such as "loadtga load3ds", runs only those. A target fuzz_loadX.cpp takes
# the first dictionary present of fuzz/fuzz_loadX.dict, fuzz/loadX.dict and
# fuzz/X.dict (so fuzz_load3ds uses 3ds.dict and fuzz_loadtga tga.dict).
# Findings land in build-fuzz/findings/NAME.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-300}
targets=${FUZZ_TARGETS:-}
jobs=${FUZZ_BUILD_JOBS:-2}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"

# The targets write each input to a temporary file: keep it in memory.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    TMPDIR=/dev/shm
    export TMPDIR
fi

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
    mkdir -p "$corpus" "$findings"
    if ! "$build/zibbet-assets" --seeds "$name" "$corpus"; then
        echo "run.sh: no seeds for $name, starting from an empty corpus"
    fi
    set -- -max_total_time="$seconds" -artifact_prefix="$findings/" -print_final_stats=1
    for dict in "$here/$target.dict" "$here/$name.dict" "$here/${name#load}.dict"; do
        if [ -f "$dict" ]; then
            set -- "$@" -dict="$dict"
            break
        fi
    done
    echo "run.sh: fuzzing $target for $seconds s"
    if ! nice -n 19 "$build/$target" "$@" "$corpus"; then
        echo "run.sh: $target found a fault, see $findings"
        status=1
    fi
done
exit $status
