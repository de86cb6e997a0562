// The tile kernel one cell at a time, for any processor.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

namespace {

constexpr int kWidth = 1;
constexpr int kGeometryRows = 1;
constexpr bool kHoldColumns = false;
using V = double;

constexpr bool kSelectCheap = false;
constexpr auto vLoad = [](const double* p) { return *p; };
constexpr auto vStore = [](double* p, V v) { *p = v; };
constexpr auto vSet1 = [](double x) { return x; };
constexpr auto vAdd = [](V a, V b) { return a + b; };
constexpr auto vSub = [](V a, V b) { return a - b; };
constexpr auto vMul = [](V a, V b) { return a * b; };
constexpr auto vDiv = [](V a, V b) { return a / b; };
constexpr auto vSqrt = [](V a) { return __builtin_sqrt(a); };
constexpr auto vLengthOk = [](V len) { return springLengthActs(len) ? 1u : 0u; };
constexpr auto vSelectBits = [](uint64_t bits, int at, V yes, V no) {
    return bits >> at & 1u ? yes : no;
};
constexpr auto vTranspose = [](const V r[1], V t[1]) { t[0] = r[0]; };

#include "sim/springs_wide.inc"

} // namespace

void springTilesScalar(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                       int32_t tileEnd, int32_t qEnd, int32_t* next) {
    tileKernel(tiles, pk, tileBegin, tileEnd, qEnd, next);
}
