// The tile kernel on 128-bit NEON vectors (every aarch64 processor): a quarter
// of a block row per vector; lanes are kept by bit selects.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace {

constexpr int kWidth = 2;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = true; // 32 registers
using V = float64x2_t;

// All ones in lane l when bit l is set.
alignas(16) constexpr uint64_t kLaneMasks[4][2] = {{0, 0}, {~0ull, 0}, {0, ~0ull}, {~0ull, ~0ull}};

constexpr bool kSelectCheap = false;
constexpr auto vLoad = [](const double* p) { return vld1q_f64(p); };
constexpr auto vStore = [](double* p, V v) { vst1q_f64(p, v); };
constexpr auto vSet1 = [](double x) { return vdupq_n_f64(x); };
constexpr auto vAdd = [](V a, V b) { return vaddq_f64(a, b); };
constexpr auto vSub = [](V a, V b) { return vsubq_f64(a, b); };
constexpr auto vMul = [](V a, V b) { return vmulq_f64(a, b); };
constexpr auto vDiv = [](V a, V b) { return vdivq_f64(a, b); };
constexpr auto vSqrt = [](V a) { return vsqrtq_f64(a); };
// One compare (see kSpringLengthShift). The sum wraps as unsigned: a signed
// one may not overflow, and the compiler would fold it into len > 0.
inline uint32_t vLengthOk(V len) {
    const uint64x2_t sum = vaddq_u64(vreinterpretq_u64_f64(len), vdupq_n_u64(kSpringLengthShift));
    const uint64x2_t ok = vcgtq_s64(vreinterpretq_s64_u64(sum), vdupq_n_s64(kSpringLengthShift));
    return static_cast<uint32_t>((vgetq_lane_u64(ok, 0) & 1u) | (vgetq_lane_u64(ok, 1) & 2u));
}
constexpr auto vSelectBits = [](uint64_t bits, int at, V yes, V no) {
    return vbslq_f64(vld1q_u64(kLaneMasks[bits >> at & 3u]), yes, no);
};
inline void vStoreLanes(double* p, size_t stride, V v) {
    vst1q_lane_f64(p, v, 0);
    vst1q_lane_f64(p + stride, v, 1);
}
inline void vTranspose(const V r[2], V t[2]) {
    t[0] = vzip1q_f64(r[0], r[1]);
    t[1] = vzip2q_f64(r[0], r[1]);
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesNeon(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                     int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}

#endif
