// The tile kernel on 128-bit vectors with the instructions every x86-64
// processor has (SSE2): a quarter of a block row per vector. Without SSE4.1
// there is no blend nor a 64-bit compare: lanes are kept with and/or masks,
// and the length's range takes two compares.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__x86_64__)

#include <emmintrin.h>

namespace {

constexpr int kWidth = 2;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = false;
using V = __m128d;

// All ones in lane l when bit l is set.
alignas(16) constexpr int64_t kLaneMasks[4][2] = {{0, 0}, {-1, 0}, {0, -1}, {-1, -1}};

constexpr bool kSelectCheap = false;
constexpr auto vLoad = [](const double* p) { return _mm_load_pd(p); };
constexpr auto vStore = [](double* p, V v) { _mm_store_pd(p, v); };
constexpr auto vSet1 = [](double x) { return _mm_set1_pd(x); };
constexpr auto vAdd = [](V a, V b) { return _mm_add_pd(a, b); };
constexpr auto vSub = [](V a, V b) { return _mm_sub_pd(a, b); };
constexpr auto vMul = [](V a, V b) { return _mm_mul_pd(a, b); };
constexpr auto vDiv = [](V a, V b) { return _mm_div_pd(a, b); };
constexpr auto vSqrt = [](V a) { return _mm_sqrt_pd(a); };
inline uint32_t vLengthOk(V len) {
    const V ok = _mm_and_pd(_mm_cmpgt_pd(len, _mm_setzero_pd()),
                            _mm_cmplt_pd(len, _mm_set1_pd(__builtin_inf())));
    return static_cast<uint32_t>(_mm_movemask_pd(ok));
}
inline V vSelectBits(uint64_t bits, int at, V yes, V no) {
    const V mask = _mm_load_pd(reinterpret_cast<const double*>(kLaneMasks[bits >> at & 3u]));
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}
inline void vStoreLanes(double* p, size_t stride, V v) {
    _mm_storel_pd(p, v);
    _mm_storeh_pd(p + stride, v);
}
inline void vTranspose(const V r[2], V t[2]) {
    t[0] = _mm_unpacklo_pd(r[0], r[1]);
    t[1] = _mm_unpackhi_pd(r[0], r[1]);
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesSse2(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                     int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
