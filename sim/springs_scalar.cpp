// The tile kernel one cell at a time, for any processor.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

namespace {

constexpr int kWidth = 1;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = false;
using V = double;

inline V vLoad(const double* p) {
    return *p;
}
inline void vStore(double* p, V v) {
    *p = v;
}
inline V vSet1(double x) {
    return x;
}
inline V vZero() {
    return 0.0;
}
inline V vAdd(V a, V b) {
    return a + b;
}
inline V vSub(V a, V b) {
    return a - b;
}
inline V vMul(V a, V b) {
    return a * b;
}
inline V vDiv(V a, V b) {
    return a / b;
}
inline V vSqrt(V a) {
    return __builtin_sqrt(a);
}
inline uint32_t vLengthOk(V len) {
    return springLengthActs(len) ? 1u : 0u;
}
// A single lane is always all lanes: the kernel never asks for a part.
inline V vAddIf(V acc, uint32_t lanes, V x) {
    return lanes ? acc + x : acc;
}
inline V vSubIf(V acc, uint32_t lanes, V x) {
    return lanes ? acc - x : acc;
}
inline V vCells(const double* cells, uint32_t) {
    return *cells;
}
inline void vTranspose(const V r[1], V t[1]) {
    t[0] = r[0];
}

#include "sim/springs_wide.inc"

} // namespace

void springTilesScalar(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}
