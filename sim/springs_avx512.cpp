// The tile kernel on 512-bit vectors, a block row of eight cells per vector,
// lanes kept by masks; built with -mavx512f -mavx512dq, run where the processor has them.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__AVX512F__) && defined(__AVX512DQ__)

// GCC 12 reports the deliberately undefined start value inside several
// 512-bit intrinsics (sqrt, unpack, shuffle) as uninitialised, or maybe so,
// depending on how the kernel is inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

namespace {

constexpr int kWidth = 8;
constexpr int kGeometryRows = 8;    // 32 registers hold a block's geometry
constexpr bool kHoldColumns = true; // 32 registers
using V = __m512d;

constexpr bool kSelectCheap = true;
constexpr auto vLoad = [](const double* p) { return _mm512_load_pd(p); };
constexpr auto vStore = [](double* p, V v) { _mm512_store_pd(p, v); };
constexpr auto vSet1 = [](double x) { return _mm512_set1_pd(x); };
constexpr auto vAdd = [](V a, V b) { return _mm512_add_pd(a, b); };
constexpr auto vSub = [](V a, V b) { return _mm512_sub_pd(a, b); };
constexpr auto vMul = [](V a, V b) { return _mm512_mul_pd(a, b); };
constexpr auto vDiv = [](V a, V b) { return _mm512_div_pd(a, b); };
constexpr auto vSqrt = [](V a) { return _mm512_sqrt_pd(a); };
// One compare (see kSpringLengthShift).
inline uint32_t vLengthOk(V len) {
    const __m512i shift = _mm512_set1_epi64(kSpringLengthShift);
    return _mm512_cmpgt_epi64_mask(_mm512_add_epi64(_mm512_castpd_si512(len), shift), shift);
}
constexpr auto vSelectBits = [](uint64_t bits, int at, V yes, V no) {
    return _mm512_mask_mov_pd(no, static_cast<__mmask8>(bits >> at), yes);
};
void vTranspose(const V r[8], V t[8]) {
    const V a0 = _mm512_unpacklo_pd(r[0], r[1]);
    const V a1 = _mm512_unpackhi_pd(r[0], r[1]);
    const V a2 = _mm512_unpacklo_pd(r[2], r[3]);
    const V a3 = _mm512_unpackhi_pd(r[2], r[3]);
    const V a4 = _mm512_unpacklo_pd(r[4], r[5]);
    const V a5 = _mm512_unpackhi_pd(r[4], r[5]);
    const V a6 = _mm512_unpacklo_pd(r[6], r[7]);
    const V a7 = _mm512_unpackhi_pd(r[6], r[7]);
    const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    const V b0 = _mm512_permutex2var_pd(a0, lo, a2); // rows 0-3 of columns 0 and 4
    const V b1 = _mm512_permutex2var_pd(a0, hi, a2); // columns 2 and 6
    const V b2 = _mm512_permutex2var_pd(a1, lo, a3); // columns 1 and 5
    const V b3 = _mm512_permutex2var_pd(a1, hi, a3); // columns 3 and 7
    const V b4 = _mm512_permutex2var_pd(a4, lo, a6); // the same for rows 4-7
    const V b5 = _mm512_permutex2var_pd(a4, hi, a6);
    const V b6 = _mm512_permutex2var_pd(a5, lo, a7);
    const V b7 = _mm512_permutex2var_pd(a5, hi, a7);
    t[0] = _mm512_shuffle_f64x2(b0, b4, 0x44);
    t[4] = _mm512_shuffle_f64x2(b0, b4, 0xee);
    t[2] = _mm512_shuffle_f64x2(b1, b5, 0x44);
    t[6] = _mm512_shuffle_f64x2(b1, b5, 0xee);
    t[1] = _mm512_shuffle_f64x2(b2, b6, 0x44);
    t[5] = _mm512_shuffle_f64x2(b2, b6, 0xee);
    t[3] = _mm512_shuffle_f64x2(b3, b7, 0x44);
    t[7] = _mm512_shuffle_f64x2(b3, b7, 0xee);
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesAvx512(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
