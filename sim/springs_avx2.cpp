// The tile kernel on 256-bit vectors: half a block row per vector. Built with
// -mavx2 (and without -mfma) and run only when the processor has it; lanes are
// kept by blends with lane masks.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace {

constexpr int kWidth = 4;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = false;
using V = __m256d;

constexpr bool kSelectCheap = true;
constexpr auto vLoad = [](const double* p) { return _mm256_load_pd(p); };
constexpr auto vStore = [](double* p, V v) { _mm256_store_pd(p, v); };
constexpr auto vSet1 = [](double x) { return _mm256_set1_pd(x); };
constexpr auto vAdd = [](V a, V b) { return _mm256_add_pd(a, b); };
constexpr auto vSub = [](V a, V b) { return _mm256_sub_pd(a, b); };
constexpr auto vMul = [](V a, V b) { return _mm256_mul_pd(a, b); };
constexpr auto vDiv = [](V a, V b) { return _mm256_div_pd(a, b); };
constexpr auto vSqrt = [](V a) { return _mm256_sqrt_pd(a); };
// One compare (see kSpringLengthShift).
inline uint32_t vLengthOk(V len) {
    const __m256i shift = _mm256_set1_epi64x(kSpringLengthShift);
    const __m256i ok = _mm256_cmpgt_epi64(_mm256_add_epi64(_mm256_castpd_si256(len), shift), shift);
    return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(ok)));
}
// Bit at + l shifted to the top of lane l, where the blend reads it: one
// broadcast and one shift, with no branch.
inline V vSelectBits(uint64_t bits, int at, V yes, V no) {
    const __m256i up = _mm256_setr_epi64x(63 - at, 62 - at, 61 - at, 60 - at);
    const __m256i mask = _mm256_sllv_epi64(_mm256_set1_epi64x(static_cast<int64_t>(bits)), up);
    // Written out: the compiler would turn the intrinsic's mask into a compare.
    V out;
    __asm__("vblendvpd %3, %2, %1, %0" : "=x"(out) : "x"(no), "xm"(yes), "x"(mask));
    return out;
}
inline void vTranspose(const V r[4], V t[4]) {
    const V a0 = _mm256_unpacklo_pd(r[0], r[1]);
    const V a1 = _mm256_unpackhi_pd(r[0], r[1]);
    const V a2 = _mm256_unpacklo_pd(r[2], r[3]);
    const V a3 = _mm256_unpackhi_pd(r[2], r[3]);
    t[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
    t[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
    t[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
    t[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesAvx2(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                     int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
