// The tile kernel on 256-bit vectors: half a block row per vector. Built with
// -mavx2 -mpopcnt (and without -mfma) and run only when the processor has
// them; lanes are kept by blends with lane masks.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__AVX2__)

#include <immintrin.h>

namespace {

constexpr int kWidth = 4;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = false;
using V = __m256d;

// All ones in lane l when bit l is set.
alignas(32) constexpr int64_t kLaneMasks[16][4] = {
    {0, 0, 0, 0},   {-1, 0, 0, 0},   {0, -1, 0, 0},   {-1, -1, 0, 0},
    {0, 0, -1, 0},  {-1, 0, -1, 0},  {0, -1, -1, 0},  {-1, -1, -1, 0},
    {0, 0, 0, -1},  {-1, 0, 0, -1},  {0, -1, 0, -1},  {-1, -1, 0, -1},
    {0, 0, -1, -1}, {-1, 0, -1, -1}, {0, -1, -1, -1}, {-1, -1, -1, -1}};
// The 32-bit word pairs that move packed values to the set lanes (lane l
// takes the value after those of the set lanes below it).
alignas(32) constexpr int32_t kExpand[16][8] = {
    {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 2, 3, 0, 1, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1}, {0, 1, 0, 1, 2, 3, 0, 1},
    {0, 1, 0, 1, 2, 3, 0, 1}, {0, 1, 2, 3, 4, 5, 0, 1}, {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 2, 3, 0, 1, 4, 5},
    {0, 1, 0, 1, 0, 1, 2, 3}, {0, 1, 0, 1, 2, 3, 4, 5}, {0, 1, 0, 1, 2, 3, 4, 5},
    {0, 1, 2, 3, 4, 5, 6, 7}};

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
constexpr auto vSelect = [](uint32_t lanes, V yes, V no) {
    return _mm256_blendv_pd(no, yes,
                            _mm256_load_pd(reinterpret_cast<const double*>(kLaneMasks[lanes])));
};
inline V vCells(const double* cells, uint32_t lanes) {
    if (lanes == 15u) return _mm256_loadu_pd(cells);
    const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(kExpand[lanes]));
    return _mm256_castps_pd(
        _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(cells)), index));
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
