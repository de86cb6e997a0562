// The tile kernel on 256-bit vectors: a block row as two halves of four
// lanes. Built with -mavx2 (and without -mfma) and run only when the
// processor has AVX2. Lanes are kept by blends with lane masks.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace {

struct V8 {
    __m256d lo, hi; // lanes 0-3, 4-7
};

// Lane masks for four bits: all ones in lane l when bit l is set.
alignas(32) constexpr int64_t kLaneMasks[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};

// For four bits: the 32-bit word pairs that move the packed values to the
// set lanes (lane l takes the value after those of the set lanes below it).
alignas(32) constexpr int32_t kExpand[16][8] = {
    {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 2, 3, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 2, 3, 0, 1},
    {0, 1, 0, 1, 2, 3, 0, 1}, {0, 1, 2, 3, 4, 5, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 2, 3, 0, 1, 4, 5},
    {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 0, 1, 2, 3, 4, 5}, {0, 1, 0, 1, 2, 3, 4, 5},
    {0, 1, 2, 3, 4, 5, 6, 7}};

inline __m256d laneMask(uint32_t four) {
    return _mm256_castsi256_pd(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneMasks[four & 15u])));
}

inline V8 vLoad(const double* p) {
    return V8{_mm256_load_pd(p), _mm256_load_pd(p + 4)};
}
inline void vStore(double* p, V8 v) {
    _mm256_store_pd(p, v.lo);
    _mm256_store_pd(p + 4, v.hi);
}
inline V8 vSet1(double x) {
    const __m256d v = _mm256_set1_pd(x);
    return V8{v, v};
}
inline V8 vZero() {
    return V8{_mm256_setzero_pd(), _mm256_setzero_pd()};
}
inline V8 vAdd(V8 a, V8 b) {
    return V8{_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)};
}
inline V8 vSub(V8 a, V8 b) {
    return V8{_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)};
}
inline V8 vMul(V8 a, V8 b) {
    return V8{_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)};
}
inline V8 vDiv(V8 a, V8 b) {
    return V8{_mm256_div_pd(a.lo, b.lo), _mm256_div_pd(a.hi, b.hi)};
}
inline V8 vSqrt(V8 a) {
    return V8{_mm256_sqrt_pd(a.lo), _mm256_sqrt_pd(a.hi)};
}
inline uint32_t lengthOk4(__m256d len) {
    const __m256d ok =
        _mm256_and_pd(_mm256_cmp_pd(len, _mm256_setzero_pd(), _CMP_GT_OQ),
                      _mm256_cmp_pd(len, _mm256_set1_pd(__builtin_inf()), _CMP_LT_OQ));
    return static_cast<uint32_t>(_mm256_movemask_pd(ok));
}
inline uint32_t vLengthOk(V8 len) {
    return lengthOk4(len.lo) | lengthOk4(len.hi) << 4;
}
inline V8 vAddIf(V8 acc, uint32_t lanes, V8 x) {
    return V8{_mm256_blendv_pd(acc.lo, _mm256_add_pd(acc.lo, x.lo), laneMask(lanes)),
              _mm256_blendv_pd(acc.hi, _mm256_add_pd(acc.hi, x.hi), laneMask(lanes >> 4))};
}
inline V8 vSubIf(V8 acc, uint32_t lanes, V8 x) {
    return V8{_mm256_blendv_pd(acc.lo, _mm256_sub_pd(acc.lo, x.lo), laneMask(lanes)),
              _mm256_blendv_pd(acc.hi, _mm256_sub_pd(acc.hi, x.hi), laneMask(lanes >> 4))};
}
inline __m256d expand4(const double* cells, uint32_t four) {
    const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(kExpand[four]));
    return _mm256_castps_pd(
        _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(cells)), index));
}
constexpr int kSetBits4[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
// The arrays carry a block's worth of padding: the loads never leave them.
inline V8 vCells(const double* cells, uint32_t present) {
    if (present == 0xffu) return V8{_mm256_loadu_pd(cells), _mm256_loadu_pd(cells + 4)};
    const uint32_t low = present & 15u;
    return V8{expand4(cells, low), expand4(cells + kSetBits4[low], present >> 4)};
}
inline void vPrefetch(const double* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_NTA);
}

// Rows a, b, c, d of a 4 x 4 matrix into its columns.
inline void transpose4(__m256d a, __m256d b, __m256d c, __m256d d, __m256d out[4]) {
    const __m256d t0 = _mm256_unpacklo_pd(a, b);
    const __m256d t1 = _mm256_unpackhi_pd(a, b);
    const __m256d t2 = _mm256_unpacklo_pd(c, d);
    const __m256d t3 = _mm256_unpackhi_pd(c, d);
    out[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    out[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    out[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    out[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

void vTranspose(const V8 in[8], V8 out[8]) {
    __m256d q[4];
    transpose4(in[0].lo, in[1].lo, in[2].lo, in[3].lo, q); // rows 0-3, columns 0-3
    for (int j = 0; j < 4; ++j)
        out[j].lo = q[j];
    transpose4(in[4].lo, in[5].lo, in[6].lo, in[7].lo, q); // rows 4-7, columns 0-3
    for (int j = 0; j < 4; ++j)
        out[j].hi = q[j];
    transpose4(in[0].hi, in[1].hi, in[2].hi, in[3].hi, q); // rows 0-3, columns 4-7
    for (int j = 0; j < 4; ++j)
        out[4 + j].lo = q[j];
    transpose4(in[4].hi, in[5].hi, in[6].hi, in[7].hi, q); // rows 4-7, columns 4-7
    for (int j = 0; j < 4; ++j)
        out[4 + j].hi = q[j];
}

#include "sim/springs_tiles.inc"

} // namespace

void springTilesAvx2(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                     int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(plan, pk, tileBegin, tileEnd, qEnd, next);
}

#else

// Built without the instruction set: never chosen, but defined for the linker.
void springTilesAvx2(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                     int32_t tileEnd, int32_t qEnd, int32_t* next) {
    springTilesBaseline(plan, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
