// The tiles and the packed masses. The tiles fit when the acting springs
// have a < b and strictly increase in (a, b); then the springs of a tile are
// consecutive in the array, each of its rows sorted by column. One pass
// checks the order and counts what the tiles will hold and where each tile's
// rows lie, so that their size can be weighed against the memory left and
// each array allocated once; then each tile is built from its rows alone, so
// that tiles can be built on several threads.
#include "sim/springs_tiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "sim/parallel.h"
#include "sim/springs_law.h"
#include "sim/world.h"

namespace {

constexpr int kLanes = kSpringTileMasses;

bool sameBits(double x, double y) {
    return std::memcmp(&x, &y, sizeof x) == 0;
}

// A spring that never acts: an end outside the array, or both ends on one
// mass (length 0, or NaN for a position that is not finite).
bool inert(const SimSpring& s, int32_t nMasses) {
    return !springEndValid(s.a, nMasses) || !springEndValid(s.b, nMasses) || s.a == s.b;
}

// The tile's cell blocks in ascending column block: a merge of its rows,
// each sorted by column, that takes from every row in turn the springs of
// the next column block. So the cells come out block by block, row by row,
// columns ascending, as the kernels read them.
void buildTile(const SimObject& obj, const SpringTileSpan& span, SpringTiling& tiling,
               int32_t t) {
    const SimSpring* springs = obj.springs;
    int32_t at[kLanes];
    const auto skipInert = [&](int r) {
        while (at[r] < span.rowFrom[r + 1] && inert(springs[at[r]], obj.nMasses))
            ++at[r];
    };
    for (int r = 0; r < kLanes; ++r) {
        at[r] = span.rowFrom[r];
        skipInert(r);
    }
    int64_t b = span.blockAt, cell = span.cellAt;
    for (;;) {
        int32_t q = INT32_MAX;
        for (int r = 0; r < kLanes; ++r)
            if (at[r] < span.rowFrom[r + 1]) q = std::min(q, springs[at[r]].b / kLanes);
        if (q == INT32_MAX) break;
        SpringBlock blk{0, 0, q, static_cast<int32_t>(cell)};
        // The block's cells are written whole while they are in the cache.
        const size_t at0 = static_cast<size_t>(b) * kSpringBlockCells;
        for (SpringArray<double>* values : {&tiling.rest, &tiling.k, &tiling.damping})
            if (values == &tiling.rest || !tiling.uniform)
                std::fill_n(values->data() + at0, kSpringBlockCells, 0.0);
        for (int r = 0; r < kLanes; ++r) {
            for (; at[r] < span.rowFrom[r + 1] && springs[at[r]].b / kLanes == q; skipInert(r)) {
                const SimSpring& sp = springs[at[r]++];
                const int j = sp.b % kLanes;
                blk.present |= uint64_t{1} << (kLanes * r + j);
                blk.presentT |= uint64_t{1} << (kLanes * j + r);
                const size_t c = at0 + static_cast<size_t>(kLanes * r + j);
                tiling.rest[c] = sp.rest;
                if (!tiling.uniform) {
                    tiling.k[c] = sp.k;
                    tiling.damping[c] = sp.damping;
                }
                ++cell;
            }
        }
        tiling.blocks[static_cast<size_t>(b++)] = blk;
    }
    tiling.tiles[static_cast<size_t>(t)] =
        SpringTile{span.p, static_cast<int32_t>(span.blockAt), static_cast<int32_t>(b)};
}

} // namespace

bool springTilingCount(const SimObject& obj, SpringTilingSize& size) {
    size = SpringTilingSize{};
    size.massBlocks = (obj.nMasses + kLanes - 1) / kLanes;
    // Per mass block, the number of the last tile with cells in it.
    std::vector<int32_t> seenIn(static_cast<size_t>(size.massBlocks), 0);
    int32_t lastA = -1, lastB = -1, last = 0, row = kLanes;
    const auto endRows = [&](int32_t end) { // the rows of the open tile left without springs
        for (; !size.spans.empty() && row < kLanes; ++row)
            size.spans.back().rowFrom[row + 1] = end;
    };
    for (int32_t s = 0; s < obj.nSprings; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        if (sp.a > sp.b || sp.a < lastA || (sp.a == lastA && sp.b <= lastB)) return false;
        if (sp.a / kLanes != lastA / kLanes || lastA < 0) {
            endRows(last + 1);
            size.spans.push_back(SpringTileSpan{sp.a / kLanes, {}, size.blocks, size.cells});
            row = -1;
        }
        for (; row < sp.a % kLanes; ++row) // the rows up to this one start here
            size.spans.back().rowFrom[row + 1] = s;
        lastA = sp.a;
        lastB = sp.b;
        last = s;
        int32_t& seen = seenIn[static_cast<size_t>(sp.b / kLanes)];
        if (seen != static_cast<int32_t>(size.spans.size())) {
            seen = static_cast<int32_t>(size.spans.size());
            ++size.blocks;
        }
        if (size.cells++ == 0) {
            size.kAll = sp.k;
            size.dampingAll = sp.damping;
        } else if (!sameBits(sp.k, size.kAll) || !sameBits(sp.damping, size.dampingAll)) {
            size.uniform = false;
        }
    }
    endRows(last + 1);
    return size.cells > 0;
}

int64_t springTilingBytes(const SpringTilingSize& size) {
    const int64_t perCell = static_cast<int64_t>(sizeof(double)) * (size.uniform ? 1 : 3);
    return static_cast<int64_t>(size.spans.size() * (sizeof(SpringTile) + sizeof(SpringTileSpan))) +
           size.blocks * static_cast<int64_t>(sizeof(SpringBlock)) +
           size.blocks * kSpringBlockCells * perCell;
}

void springTilingBuild(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling,
                       int threads) {
    tiling = SpringTiling{};
    tiling.massBlocks = size.massBlocks;
    tiling.uniform = size.uniform;
    tiling.kAll = size.kAll;
    tiling.dampingAll = size.dampingAll;
    const size_t cells = static_cast<size_t>(size.blocks) * kSpringBlockCells;
    for (SpringArray<double>* values : {&tiling.rest, &tiling.k, &tiling.damping}) {
        if (values != &tiling.rest && tiling.uniform) continue;
        values->reserve(cells);
        platPrepareBlock(values->data(), cells * sizeof(double));
        values->resize(cells);
    }
    tiling.tiles.resize(size.spans.size());
    tiling.blocks.resize(static_cast<size_t>(size.blocks));
    auto build = [&](int t, int) { buildTile(obj, size.spans[static_cast<size_t>(t)], tiling, t); };
    simParallelEach(static_cast<int>(size.spans.size()), threads, build);
}

int64_t springTilingHeld(const SpringTiling& tiling) {
    return static_cast<int64_t>(
        tiling.tiles.capacity() * sizeof(SpringTile) +
        tiling.blocks.capacity() * sizeof(SpringBlock) +
        (tiling.rest.capacity() + tiling.k.capacity() + tiling.damping.capacity()) *
            sizeof(double));
}

int64_t springTilingStreamed(const SpringTiling& tiling) {
    if (tiling.tiles.empty()) return 0;
    const int64_t perCell = static_cast<int64_t>(sizeof(double)) * (tiling.uniform ? 1 : 3);
    return static_cast<int64_t>(tiling.tiles.size() * sizeof(SpringTile) +
                                tiling.blocks.size() * sizeof(SpringBlock)) +
           static_cast<int64_t>(tiling.rest.size()) * perCell;
}

SpringTiles springTilingView(const SpringTiling& tiling) {
    SpringTiles v;
    v.tiles = tiling.tiles.data();
    v.blocks = tiling.blocks.data();
    v.rest = tiling.rest.data();
    v.k = tiling.uniform ? nullptr : tiling.k.data();
    v.damping = tiling.uniform ? nullptr : tiling.damping.data();
    v.kAll = tiling.kAll;
    v.dampingAll = tiling.dampingAll;
    return v;
}

// ---------------------------------------------------------------------------
// The packed masses
// ---------------------------------------------------------------------------
namespace {

constexpr size_t kVectorAlign = alignof(SpringMassBlock); // one 512-bit vector, one cache line

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// One block for all rows, grown as needed and kept between steps.
struct PackedStore {
    std::unique_ptr<void, FreeDeleter> block;
    size_t masses = 0; // capacity in masses, a whole number of blocks
    SpringPacked rows{};
};
PackedStore packed;

size_t bitsBytes(int32_t massBlocks) {
    return (static_cast<size_t>(massBlocks) + kVectorAlign - 1) / kVectorAlign * kVectorAlign;
}

} // namespace

int64_t springPackedBytes(int32_t massBlocks) {
    return static_cast<int64_t>(static_cast<size_t>(massBlocks) * sizeof(SpringMassBlock) +
                                2 * bitsBytes(massBlocks));
}

bool springPackedReserve(int32_t massBlocks) {
    const size_t masses = static_cast<size_t>(massBlocks) * kLanes;
    if (masses <= packed.masses && packed.block) return true;
    void* block =
        std::aligned_alloc(kVectorAlign, static_cast<size_t>(springPackedBytes(massBlocks)));
    if (!block) return false;
    packed.block.reset(block);
    packed.masses = masses;
    SpringPacked& pk = packed.rows;
    pk.blocks = static_cast<SpringMassBlock*>(block);
    uint8_t* bits = reinterpret_cast<uint8_t*>(pk.blocks + massBlocks);
    pk.freeBits = bits;
    pk.unitBits = bits + bitsBytes(massBlocks);
    return true;
}

// Flags and masses may be edited between steps: their bits are read afresh.
void springPackIn(const SimObject& obj, int32_t massBlocks) {
    const SpringPacked& pk = packed.rows;
    uint8_t* freeBits = const_cast<uint8_t*>(pk.freeBits);
    uint8_t* unitBits = const_cast<uint8_t*>(pk.unitBits);
    std::memset(freeBits, 0, static_cast<size_t>(massBlocks));
    std::memset(unitBits, 0, static_cast<size_t>(massBlocks));
    // Padding: a fixed unit mass at rest at the origin.
    SimMass padding{};
    padding.mass = 1.0;
    padding.flags = SIMF_FIXED;
    for (int32_t i = 0; i < massBlocks * kLanes; ++i) {
        const SimMass& m = i < obj.nMasses ? obj.masses[i] : padding;
        SpringMassBlock& to = pk.blocks[i / kLanes];
        const int l = i % kLanes;
        to.px[l] = m.pos[0];
        to.py[l] = m.pos[1];
        to.pz[l] = m.pos[2];
        to.vx[l] = m.vel[0];
        to.vy[l] = m.vel[1];
        to.vz[l] = m.vel[2];
        to.ax[l] = m.acc[0];
        to.ay[l] = m.acc[1];
        to.az[l] = m.acc[2];
        to.mass[l] = m.mass;
        const uint8_t bit = static_cast<uint8_t>(1u << l);
        if (!(m.flags & SIMF_FIXED)) freeBits[i / kLanes] |= bit;
        if (springUnitMass(m.mass)) unitBits[i / kLanes] |= bit;
    }
}

void springPackOut(SimObject& obj) {
    const SpringPacked& pk = packed.rows;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        const SpringMassBlock& from = pk.blocks[i / kLanes];
        const int l = i % kLanes;
        m.acc[0] = from.ax[l];
        m.acc[1] = from.ay[l];
        m.acc[2] = from.az[l];
    }
}

const SpringPacked& springPackedRows() {
    return packed.rows;
}

void springPackedRelease() {
    packed.block.reset();
    packed.masses = 0;
    packed.rows = SpringPacked{};
}
