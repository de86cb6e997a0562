// The tile kernel on 512-bit vectors: a block row of eight cells per
// instruction. Built with -mavx512f -mavx512dq and run only when the processor
// has them. Vector square roots and divisions round exactly like the scalar
// ones, nothing is fused (-ffp-contract=off), lanes are kept by masks.
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

using V8 = __m512d;

inline V8 vLoad(const double* p) {
    return _mm512_load_pd(p);
}
inline void vStore(double* p, V8 v) {
    _mm512_store_pd(p, v);
}
inline V8 vSet1(double x) {
    return _mm512_set1_pd(x);
}
inline V8 vZero() {
    return _mm512_setzero_pd();
}
inline V8 vAdd(V8 a, V8 b) {
    return _mm512_add_pd(a, b);
}
inline V8 vSub(V8 a, V8 b) {
    return _mm512_sub_pd(a, b);
}
inline V8 vMul(V8 a, V8 b) {
    return _mm512_mul_pd(a, b);
}
inline V8 vDiv(V8 a, V8 b) {
    return _mm512_div_pd(a, b);
}
inline V8 vSqrt(V8 a) {
    return _mm512_sqrt_pd(a);
}
inline uint32_t vLengthOk(V8 len) {
    return _mm512_cmp_pd_mask(len, _mm512_setzero_pd(), _CMP_GT_OQ) &
           _mm512_cmp_pd_mask(len, _mm512_set1_pd(__builtin_inf()), _CMP_LT_OQ);
}
inline V8 vAddIf(V8 acc, uint32_t lanes, V8 x) {
    return _mm512_mask_add_pd(acc, static_cast<__mmask8>(lanes), acc, x);
}
inline V8 vSubIf(V8 acc, uint32_t lanes, V8 x) {
    return _mm512_mask_sub_pd(acc, static_cast<__mmask8>(lanes), acc, x);
}
// The arrays carry a block's worth of padding: the full load never leaves them.
inline V8 vCells(const double* cells, uint32_t present) {
    const V8 packed = _mm512_loadu_pd(cells);
    return present == 0xffu ? packed
                            : _mm512_maskz_expand_pd(static_cast<__mmask8>(present), packed);
}
inline void vPrefetch(const double* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_NTA);
}

void vTranspose(const V8 r[8], V8 t[8]) {
    const V8 a0 = _mm512_unpacklo_pd(r[0], r[1]);
    const V8 a1 = _mm512_unpackhi_pd(r[0], r[1]);
    const V8 a2 = _mm512_unpacklo_pd(r[2], r[3]);
    const V8 a3 = _mm512_unpackhi_pd(r[2], r[3]);
    const V8 a4 = _mm512_unpacklo_pd(r[4], r[5]);
    const V8 a5 = _mm512_unpackhi_pd(r[4], r[5]);
    const V8 a6 = _mm512_unpacklo_pd(r[6], r[7]);
    const V8 a7 = _mm512_unpackhi_pd(r[6], r[7]);
    const __m512i lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const __m512i hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    const V8 b0 = _mm512_permutex2var_pd(a0, lo, a2); // rows 0-3 of columns 0 and 4
    const V8 b1 = _mm512_permutex2var_pd(a0, hi, a2); // columns 2 and 6
    const V8 b2 = _mm512_permutex2var_pd(a1, lo, a3); // columns 1 and 5
    const V8 b3 = _mm512_permutex2var_pd(a1, hi, a3); // columns 3 and 7
    const V8 b4 = _mm512_permutex2var_pd(a4, lo, a6); // the same for rows 4-7
    const V8 b5 = _mm512_permutex2var_pd(a4, hi, a6);
    const V8 b6 = _mm512_permutex2var_pd(a5, lo, a7);
    const V8 b7 = _mm512_permutex2var_pd(a5, hi, a7);
    t[0] = _mm512_shuffle_f64x2(b0, b4, 0x44);
    t[4] = _mm512_shuffle_f64x2(b0, b4, 0xee);
    t[2] = _mm512_shuffle_f64x2(b1, b5, 0x44);
    t[6] = _mm512_shuffle_f64x2(b1, b5, 0xee);
    t[1] = _mm512_shuffle_f64x2(b2, b6, 0x44);
    t[5] = _mm512_shuffle_f64x2(b2, b6, 0xee);
    t[3] = _mm512_shuffle_f64x2(b3, b7, 0x44);
    t[7] = _mm512_shuffle_f64x2(b3, b7, 0xee);
}

#include "sim/springs_tiles.inc"

} // namespace

void springTilesAvx512(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(plan, pk, tileBegin, tileEnd, qEnd, next);
}

#else

// Built without the instruction set: never chosen, but defined for the linker.
void springTilesAvx512(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    springTilesBaseline(plan, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
