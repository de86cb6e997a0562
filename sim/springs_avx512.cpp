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
[[gnu::always_inline]] inline void vTranspose(const V r[8], V t[8]) {
    const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    V a[8], b[8];
    for (int i = 0; i < 8; i += 2) { // rows i and i + 1 interleaved
        a[i] = _mm512_unpacklo_pd(r[i], r[i + 1]);
        a[i + 1] = _mm512_unpackhi_pd(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) // rows i to i + 3 of columns 0 and 4, 2 and 6, 1 and 5, 3 and 7
        for (int k = 0; k < 2; ++k) {
            b[i + 2 * k] = _mm512_permutex2var_pd(a[i + k], lo, a[i + k + 2]);
            b[i + 2 * k + 1] = _mm512_permutex2var_pd(a[i + k], hi, a[i + k + 2]);
        }
    const int column[4] = {0, 2, 1, 3};
    for (int j = 0; j < 4; ++j) {
        t[column[j]] = _mm512_shuffle_f64x2(b[j], b[j + 4], 0x44);
        t[column[j] + 4] = _mm512_shuffle_f64x2(b[j], b[j + 4], 0xee);
    }
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesAvx512(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
