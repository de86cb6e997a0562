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
        for (int r = 0; r < kLanes; ++r) {
            for (; at[r] < span.rowFrom[r + 1] && springs[at[r]].b / kLanes == q; skipInert(r)) {
                const SimSpring& sp = springs[at[r]++];
                const int j = sp.b % kLanes;
                blk.present |= uint64_t{1} << (kLanes * r + j);
                blk.presentT |= uint64_t{1} << (kLanes * j + r);
                tiling.rest[static_cast<size_t>(cell)] = sp.rest;
                if (!tiling.uniform) {
                    tiling.k[static_cast<size_t>(cell)] = sp.k;
                    tiling.damping[static_cast<size_t>(cell)] = sp.damping;
                }
                ++cell;
            }
        }
        tiling.blocks[static_cast<size_t>(b++)] = blk;
    }
    tiling.tiles[static_cast<size_t>(t)] =
        SpringTile{span.p, static_cast<int32_t>(span.blockAt), static_cast<int32_t>(b)};
}

int64_t cellsOf(const SpringTiling& tiling) {
    return static_cast<int64_t>(tiling.rest.size()) - kLanes;
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
           (size.cells + kLanes) * perCell;
}

void springTilingBuild(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling,
                       int threads) {
    tiling = SpringTiling{};
    tiling.massBlocks = size.massBlocks;
    tiling.uniform = size.uniform;
    tiling.kAll = size.kAll;
    tiling.dampingAll = size.dampingAll;
    const size_t cells = static_cast<size_t>(size.cells) + kLanes; // padded by a block
    for (SpringArray<double>* values : {&tiling.rest, &tiling.k, &tiling.damping}) {
        if (values != &tiling.rest && tiling.uniform) continue;
        values->reserve(cells);
        platPrepareBlock(values->data(), cells * sizeof(double));
        values->resize(cells);
        std::fill(values->end() - kLanes, values->end(), 0.0); // the kernels read whole blocks
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
           cellsOf(tiling) * perCell;
}

SpringTiles springTilingView(const SpringTiling& tiling) {
    SpringTiles v;
    v.tiles = tiling.tiles.data();
    v.blocks = tiling.blocks.data();
    v.nCellBlocks = static_cast<int32_t>(tiling.blocks.size());
    v.nCells = static_cast<int32_t>(cellsOf(tiling));
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

constexpr size_t kVectorAlign = 64; // bytes: one 512-bit vector, one cache line
constexpr int kPackedRows = 10;     // px, py, pz, vx, vy, vz, ax, ay, az, mass

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
    const size_t rowBytes = static_cast<size_t>(massBlocks) * kLanes * sizeof(double);
    return static_cast<int64_t>(kPackedRows * rowBytes + 2 * bitsBytes(massBlocks));
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
    double* rows = static_cast<double*>(block);
    double** fields[kPackedRows] = {&pk.px, &pk.py, &pk.pz, &pk.vx, &pk.vy,
                                    &pk.vz, &pk.ax, &pk.ay, &pk.az, &pk.mass};
    for (int r = 0; r < kPackedRows; ++r)
        *fields[r] = rows + static_cast<size_t>(r) * masses;
    uint8_t* bits = reinterpret_cast<uint8_t*>(rows + kPackedRows * masses);
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
    const int32_t n = obj.nMasses;
    for (int32_t i = 0; i < n; ++i) {
        const SimMass& m = obj.masses[i];
        pk.px[i] = m.pos[0];
        pk.py[i] = m.pos[1];
        pk.pz[i] = m.pos[2];
        pk.vx[i] = m.vel[0];
        pk.vy[i] = m.vel[1];
        pk.vz[i] = m.vel[2];
        pk.ax[i] = m.acc[0];
        pk.ay[i] = m.acc[1];
        pk.az[i] = m.acc[2];
        pk.mass[i] = m.mass;
        const uint8_t bit = static_cast<uint8_t>(1u << (i % kLanes));
        if (!(m.flags & SIMF_FIXED)) freeBits[i / kLanes] |= bit;
        if (springUnitMass(m.mass)) unitBits[i / kLanes] |= bit;
    }
    // Padding: a fixed unit mass at rest at the origin.
    for (int32_t i = n; i < massBlocks * kLanes; ++i) {
        pk.px[i] = pk.py[i] = pk.pz[i] = 0.0;
        pk.vx[i] = pk.vy[i] = pk.vz[i] = 0.0;
        pk.ax[i] = pk.ay[i] = pk.az[i] = 0.0;
        pk.mass[i] = 1.0;
        unitBits[i / kLanes] |= static_cast<uint8_t>(1u << (i % kLanes));
    }
}

void springPackOut(SimObject& obj) {
    const SpringPacked& pk = packed.rows;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        m.acc[0] = pk.ax[i];
        m.acc[1] = pk.ay[i];
        m.acc[2] = pk.az[i];
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
