// The tile kernel on 256-bit vectors, written for four lanes and sixteen
// registers. Built with -mavx2 (and without -mfma) and run only when the
// processor has AVX2 (and POPCNT, built with -mpopcnt). Where all four lanes
// of a vector take part, as in most of a dense body, the sum is a plain add;
// elsewhere lanes are kept by blends with lane masks. The vector pipes, not
// the divider, bound this path, so every operation saved counts: the
// bookkeeping per block (prefetches, row offsets) is done once per block.
//
// A cell block is run as two column halves and then two row halves of four
// masses each (see springs_kernels.h for the order argument): each column
// still receives its rows' subtractions row by row, and each row its columns'
// additions column by column, so every mass gets the plain loop's additions
// in its order. The columns' and rows' positions and velocities are read from
// the packed rows where they are used, and the rows' increments go through
// memory from block to block, so that the live set of a pass fits in the
// sixteen registers: an eight-lane body would hold pairs of registers and
// spill.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

#if defined(__AVX2__)

#include <immintrin.h>

#include <cstdint>

namespace {

constexpr int kLanes = kSpringTileMasses;
constexpr int kHalf = 4; // lanes of a vector, masses of a half block
// Rest lengths are fetched this far ahead of use (8 KB), with a hint that
// they are used once, so that they do not push the masses' rows out of L2.
constexpr int kPrefetchCells = 1024;
constexpr int kHeadersPerLine = 64 / static_cast<int>(sizeof(SpringBlock));

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
constexpr int kSetBits4[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

inline __m256d laneMask(uint32_t four) {
    return _mm256_castsi256_pd(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(kLaneMasks[four])));
}

// The packed values at cells spread over the set lanes of `four` (others:
// anything). The arrays carry a block's worth of padding: the loads never
// leave them.
inline __m256d cells4(const double* cells, uint32_t four) {
    if (four == 15u) return _mm256_loadu_pd(cells);
    const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(kExpand[four]));
    return _mm256_castps_pd(
        _mm256_permutevar8x32_ps(_mm256_castpd_ps(_mm256_loadu_pd(cells)), index));
}

// Lanes with 0 < len < infinity, one bit each. Those are the lengths whose
// bits, as signed integers, lie in [1, kMaxFinite]; adding kShift moves that
// range to the top of the int64 range and everything else (zero, negatives,
// infinity, NaN of either sign) wraps to or stays at kShift or below, so one
// signed compare decides.
constexpr int64_t kMaxFinite = 0x7fefffffffffffff;
constexpr int64_t kShift = INT64_MAX - kMaxFinite;
inline uint32_t lengthOk4(__m256d len) {
    const __m256i shifted = _mm256_add_epi64(_mm256_castpd_si256(len), _mm256_set1_epi64x(kShift));
    const __m256i ok = _mm256_cmpgt_epi64(shifted, _mm256_set1_epi64x(kShift));
    return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(ok)));
}

inline void prefetchOnce(const double* p) {
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_NTA);
}

// Rows a, b, c, d of a 4 x 4 matrix, stored as its columns at out, out + stride, ...
inline void transpose4(__m256d a, __m256d b, __m256d c, __m256d d, double* out, int stride) {
    const __m256d t0 = _mm256_unpacklo_pd(a, b);
    const __m256d t1 = _mm256_unpackhi_pd(a, b);
    const __m256d t2 = _mm256_unpacklo_pd(c, d);
    const __m256d t3 = _mm256_unpackhi_pd(c, d);
    _mm256_store_pd(out, _mm256_permute2f128_pd(t0, t2, 0x20));
    _mm256_store_pd(out + stride, _mm256_permute2f128_pd(t1, t3, 0x20));
    _mm256_store_pd(out + 2 * stride, _mm256_permute2f128_pd(t0, t2, 0x31));
    _mm256_store_pd(out + 3 * stride, _mm256_permute2f128_pd(t1, t3, 0x31));
}

// The block's presence matrix transposed, for the cells whose length passed
// (bit 8i + j of okRows = cell (i, j)). Needed only when a length failed.
uint64_t transposeCells(uint64_t okRows) {
    uint64_t t = 0;
    for (int i = 0; i < kLanes; ++i)
        for (int j = 0; j < kLanes; ++j)
            if ((okRows >> (kLanes * i + j)) & 1u) t |= uint64_t{1} << (kLanes * j + i);
    return t;
}

uint32_t rowBits(uint64_t matrix, int i) {
    return static_cast<uint32_t>(matrix >> (kLanes * i)) & 0xffu;
}

uint32_t halfOf(uint32_t eight, int h) {
    return (eight >> (kHalf * h)) & 15u;
}

// Where a tile's run of cells goes on: the prefetches follow it.
struct CellRun {
    int32_t endCell;       // the run's cells end here
    int32_t afterCell;     // the next run starts here (-1: none)
    int32_t prefetchAhead; // distance in cells
    int32_t nCells;        // every cell of the plan
};

// The block's rest lengths prefetchAhead cells on along the run, a line per
// eight of its cells.
inline void prefetchBlock(const SpringTiles& plan, const CellRun& run, int32_t b, int32_t e) {
    const int32_t cellAt = plan.blocks[b].cellAt;
    const int32_t blockCells = (b + 1 < e ? plan.blocks[b + 1].cellAt : run.endCell) - cellAt;
    const int32_t ahead = cellAt + run.prefetchAhead;
    int32_t fetch =
        ahead < run.endCell || run.afterCell < 0 ? ahead : run.afterCell + (ahead - run.endCell);
    const int32_t fetchEnd = fetch + blockCells < run.nCells ? fetch + blockCells : run.nCells;
    for (; fetch < fetchEnd; fetch += kLanes)
        prefetchOnce(plan.rest + fetch);
}

// One end's share of the cells set in `four`: acc - d f / mass (kSubtract:
// the columns' share) or acc + d f / mass (the rows'), lane by lane, the other
// lanes kept; `mass` is read only when the four masses are not all of unit
// mass. Where all four lanes take part, as in most of a dense body, no blend.
template <bool kSubtract>
[[gnu::always_inline]] inline void share4(__m256d& ax, __m256d& ay, __m256d& az, __m256d dx,
                                          __m256d dy, __m256d dz, __m256d f, bool unit,
                                          const double* mass, uint32_t four) {
    __m256d fx = _mm256_mul_pd(dx, f);
    __m256d fy = _mm256_mul_pd(dy, f);
    __m256d fz = _mm256_mul_pd(dz, f);
    if (!unit) {
        const __m256d m = _mm256_load_pd(mass);
        fx = _mm256_div_pd(fx, m);
        fy = _mm256_div_pd(fy, m);
        fz = _mm256_div_pd(fz, m);
    }
    const auto op = [](__m256d acc, __m256d x) {
        return kSubtract ? _mm256_sub_pd(acc, x) : _mm256_add_pd(acc, x);
    };
    if (four == 15u) {
        ax = op(ax, fx);
        ay = op(ay, fy);
        az = op(az, fz);
        return;
    }
    const __m256d mask = laneMask(four);
    ax = _mm256_blendv_pd(ax, op(ax, fx), mask);
    ay = _mm256_blendv_pd(ay, op(ay, fy), mask);
    az = _mm256_blendv_pd(az, op(az, fz), mask);
}

// Columns c .. c + 3 of block blk against the tile's eight rows from r0:
// computes the law, takes the forces off the columns and leaves them in
// force[row][column]. Returns the cells whose length passed, as bits of the
// block's matrix. kUniform: every spring has kAll and dampingAll.
template <bool kUniform>
uint64_t columnHalf(const SpringTiles& plan, const SpringPacked& pk, const SpringBlock& blk,
                    int32_t r0, int h, const int32_t rowAt[kLanes], double force[kLanes][kLanes]) {
    const int32_t c = blk.q * kLanes + kHalf * h;
    const double* const restCells = plan.rest;
    const double* const kCells = plan.k;
    const double* const dampingCells = plan.damping;
    const uint32_t colFree = halfOf(pk.freeBits[blk.q], h);
    const bool colUnit = halfOf(pk.unitBits[blk.q], h) == 15u;
    __m256d cax = _mm256_load_pd(pk.ax + c);
    __m256d cay = _mm256_load_pd(pk.ay + c);
    __m256d caz = _mm256_load_pd(pk.az + c);
    uint64_t okCells = 0;
#pragma GCC unroll 8
    for (int i = 0; i < kLanes; ++i) {
        const uint32_t eight = rowBits(blk.present, i);
        const uint32_t present = halfOf(eight, h);
        if (!present) {
            _mm256_store_pd(force[i] + kHalf * h, _mm256_setzero_pd());
            continue;
        }
        const int32_t at = rowAt[i] + (h ? kSetBits4[eight & 15u] : 0);
        const int32_t a = r0 + i;
        const __m256d dx = _mm256_sub_pd(_mm256_set1_pd(pk.px[a]), _mm256_load_pd(pk.px + c));
        const __m256d dy = _mm256_sub_pd(_mm256_set1_pd(pk.py[a]), _mm256_load_pd(pk.py + c));
        const __m256d dz = _mm256_sub_pd(_mm256_set1_pd(pk.pz[a]), _mm256_load_pd(pk.pz + c));
        const __m256d len = _mm256_sqrt_pd(_mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz)));
        const __m256d wx = _mm256_sub_pd(_mm256_set1_pd(pk.vx[a]), _mm256_load_pd(pk.vx + c));
        const __m256d wy = _mm256_sub_pd(_mm256_set1_pd(pk.vy[a]), _mm256_load_pd(pk.vy + c));
        const __m256d wz = _mm256_sub_pd(_mm256_set1_pd(pk.vz[a]), _mm256_load_pd(pk.vz + c));
        const __m256d dot = _mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(wx, dx), _mm256_mul_pd(wy, dy)), _mm256_mul_pd(wz, dz));
        const __m256d r = _mm256_div_pd(dot, len);
        const __m256d rest = cells4(restCells + at, present);
        const __m256d k = kUniform ? _mm256_set1_pd(plan.kAll) : cells4(kCells + at, present);
        const __m256d damping =
            kUniform ? _mm256_set1_pd(plan.dampingAll) : cells4(dampingCells + at, present);
        const __m256d n =
            _mm256_sub_pd(_mm256_mul_pd(_mm256_sub_pd(rest, len), k), _mm256_mul_pd(r, damping));
        const __m256d f = _mm256_div_pd(n, _mm256_mul_pd(len, _mm256_set1_pd(kSpringForceDivisor)));
        _mm256_store_pd(force[i] + kHalf * h, f);
        const uint32_t ok = lengthOk4(len) & present;
        okCells |= uint64_t{ok} << (kLanes * i + kHalf * h);
        const uint32_t take = ok & colFree;
        if (!take) continue;
        share4<true>(cax, cay, caz, dx, dy, dz, f, colUnit, pk.mass + c, take);
    }
    _mm256_store_pd(pk.ax + c, cax);
    _mm256_store_pd(pk.ay + c, cay);
    _mm256_store_pd(pk.az + c, caz);
    return okCells;
}

// Rows r .. r + 3 of the tile against the block's eight columns from c0: adds
// the forces (forceT[column][row]) to the rows, column by column, for the
// cells set in `cells` (the transposed matrix).
[[gnu::always_inline]] inline void rowHalf(const SpringPacked& pk, int32_t p, int32_t c0, int h,
                                           uint64_t cells, const double forceT[kLanes][kLanes]) {
    const int32_t r = p * kLanes + kHalf * h;
    const uint32_t rowFree = halfOf(pk.freeBits[p], h);
    const bool rowUnit = halfOf(pk.unitBits[p], h) == 15u;
    __m256d rax = _mm256_load_pd(pk.ax + r);
    __m256d ray = _mm256_load_pd(pk.ay + r);
    __m256d raz = _mm256_load_pd(pk.az + r);
#pragma GCC unroll 8
    for (int j = 0; j < kLanes; ++j) {
        const uint32_t give = halfOf(rowBits(cells, j), h) & rowFree;
        if (!give) continue;
        const int32_t b = c0 + j;
        const __m256d f = _mm256_load_pd(forceT[j] + kHalf * h);
        const __m256d dx = _mm256_sub_pd(_mm256_load_pd(pk.px + r), _mm256_set1_pd(pk.px[b]));
        const __m256d dy = _mm256_sub_pd(_mm256_load_pd(pk.py + r), _mm256_set1_pd(pk.py[b]));
        const __m256d dz = _mm256_sub_pd(_mm256_load_pd(pk.pz + r), _mm256_set1_pd(pk.pz[b]));
        share4<false>(rax, ray, raz, dx, dy, dz, f, rowUnit, pk.mass + r, give);
    }
    _mm256_store_pd(pk.ax + r, rax);
    _mm256_store_pd(pk.ay + r, ray);
    _mm256_store_pd(pk.az + r, raz);
}

// The cell blocks [b, e) of tile p. In the diagonal block the columns are the
// rows: the rows' pass reads what the columns' pass stored.
template <bool kUniform>
void tileBlocks(const SpringTiles& plan, const SpringPacked& pk, int32_t p, int32_t b, int32_t e,
                const CellRun& run) {
    alignas(32) double force[kLanes][kLanes];  // [row][column]
    alignas(32) double forceT[kLanes][kLanes]; // [column][row]
    for (; b < e; ++b) {
        const SpringBlock& blk = plan.blocks[b];
        prefetchBlock(plan, run, b, e);
        int32_t rowAt[kLanes];
        int32_t at = blk.cellAt;
        for (int i = 0; i < kLanes; ++i) {
            rowAt[i] = at;
            at += __builtin_popcount(rowBits(blk.present, i));
        }
        const uint64_t okCells = columnHalf<kUniform>(plan, pk, blk, p * kLanes, 0, rowAt, force) |
                                 columnHalf<kUniform>(plan, pk, blk, p * kLanes, 1, rowAt, force);
        for (int rh = 0; rh < 2; ++rh)
            for (int ch = 0; ch < 2; ++ch)
                transpose4(_mm256_load_pd(force[kHalf * rh] + kHalf * ch),
                           _mm256_load_pd(force[kHalf * rh + 1] + kHalf * ch),
                           _mm256_load_pd(force[kHalf * rh + 2] + kHalf * ch),
                           _mm256_load_pd(force[kHalf * rh + 3] + kHalf * ch),
                           forceT[kHalf * ch] + kHalf * rh, kLanes);
        const uint64_t cells = okCells == blk.present ? blk.presentT : transposeCells(okCells);
        rowHalf(pk, p, blk.q * kLanes, 0, cells, forceT);
        rowHalf(pk, p, blk.q * kLanes, 1, cells, forceT);
    }
}

void tileKernel(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin, int32_t tileEnd,
                int32_t qEnd, int32_t* next) {
    int32_t firstAfter = -1; // where the first tile goes on in the next call
    for (int32_t t = tileBegin; t < tileEnd; ++t) {
        const SpringTile& tile = plan.tiles[t];
        int32_t& b = next[t - tileBegin];
        const int32_t e = springRunEnd(plan, tile, b, qEnd);
        if (b < e) {
            // The run after this one: the next tile's, or after the last
            // tile, the first tile's in the next call.
            const int32_t after = t + 1 < tileEnd ? next[t + 1 - tileBegin] : firstAfter;
            const bool more = after >= 0 && after < plan.nCellBlocks;
            if (more)
                for (int32_t h = after; h < after + (e - b) && h < plan.nCellBlocks;
                     h += kHeadersPerLine)
                    prefetchOnce(reinterpret_cast<const double*>(plan.blocks + h));
            CellRun run;
            run.endCell = e < plan.nCellBlocks ? plan.blocks[e].cellAt : plan.nCells;
            run.afterCell = more ? plan.blocks[after].cellAt : -1;
            const int32_t runCells = run.endCell - plan.blocks[b].cellAt;
            run.prefetchAhead = runCells < kPrefetchCells ? runCells : kPrefetchCells;
            run.nCells = plan.nCells;
            if (!plan.k && !plan.damping) {
                tileBlocks<true>(plan, pk, tile.p, b, e, run);
            } else {
                tileBlocks<false>(plan, pk, tile.p, b, e, run);
            }
        }
        if (t == tileBegin) firstAfter = e;
        b = e;
    }
}

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
