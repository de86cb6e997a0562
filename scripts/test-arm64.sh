#!/usr/bin/env bash
# The aarch64 build under qemu-user: the core, the headless runner and the
# tests that need no window, cross-built with the toolchain in
# scripts/aarch64.cmake (the spring tests run every path the emulated processor
# has: NEON and scalar); then the runner's digest on the default scene, on
# the NEON path and on the scalar one, which must equal the host build's to
# the bit.
# Usage: scripts/test-arm64.sh [HOST_BUILD [ARM64_BUILD]]. The host build must
# be built already: its asset tool wrote the scene both runs read.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
host_build=$(realpath "${1:-build}")
cross_build=${2:-build-arm64}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
sysroot=/usr/aarch64-linux-gnu
digest_args=(--steps 300 --drag 100 -50 --repeat 1 --threads 1) # one timed run: the digest is all it needs

cmake -S . -B "$cross_build" -DCMAKE_TOOLCHAIN_FILE="$root/scripts/aarch64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZIBBET_WITH_GL=OFF
cmake --build "$cross_build" -j "$jobs"
cross_build=$(realpath "$cross_build")

# The emulator does not enforce the target: the programs must be aarch64 ones.
if ! readelf -h "$cross_build/zibbet-bench/zibbet-bench" | grep -q 'AArch64'; then
    echo "test-arm64: $cross_build/zibbet-bench/zibbet-bench is not an aarch64 program" >&2
    exit 1
fi
# Left out: tests labelled process-memory (see tests/CMakeLists.txt).
ctest --test-dir "$cross_build" --output-on-failure -j "$jobs" -LE process-memory

run_dir="$host_build/run"
if [ ! -f "$run_dir/bmoon1m.3ds" ] || [ ! -x "$host_build/zibbet-bench/zibbet-bench" ]; then
    echo "test-arm64: no default scene or zibbet-bench in $host_build: build it first (make build)" >&2
    exit 1
fi
digest_of() { awk '$1 == "digest" { print $2 }'; }
host_digest=$(cd "$run_dir" && "$host_build/zibbet-bench/zibbet-bench" "${digest_args[@]}" | digest_of)
echo "test-arm64: zibbet-bench ${digest_args[*]} on the default scene"
echo "test-arm64:   x86-64          digest ${host_digest:-(none)}"
failed=0
for isa in neon scalar; do
    cross_digest=$(cd "$run_dir" && ZIBBET_ISA=$isa \
        qemu-aarch64 -L "$sysroot" "$cross_build/zibbet-bench/zibbet-bench" "${digest_args[@]}" | digest_of)
    printf 'test-arm64:   aarch64 %-7s digest %s\n' "$isa" "${cross_digest:-(none)}"
    [ -n "$host_digest" ] && [ "$host_digest" = "$cross_digest" ] || failed=1
done
if [ "$failed" -ne 0 ]; then
    echo "test-arm64: FAILED: an aarch64 digest differs from the x86-64 one" >&2
    exit 1
fi
echo "test-arm64: the digests match"
