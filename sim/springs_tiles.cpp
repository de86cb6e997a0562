// The tiles and the packed masses. The tiles fit when the acting springs
// have a < b and strictly increase in (a, b); then the springs of a tile are
// consecutive in the array. A first pass checks the order and counts what the
// tiles will hold, so that their size can be weighed against the memory left
// and each array allocated once; a second builds them.
#include "sim/springs_tiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
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

// Scratch of one build, reused tile after tile: per mass block, a count and
// then a rank, zero between tiles.
struct TileScratch {
    std::vector<int32_t> perBlock;
    std::vector<int32_t> touched;
    std::vector<size_t> cursor;
};

// Cells of one tile: counted per column block, laid out in ascending blocks,
// each block's cells in spring order, which is row by row, columns ascending.
void addTile(const SimObject& obj, SpringTiling& tiling, int32_t p, int32_t sBegin, int32_t sEnd,
             TileScratch& scratch) {
    std::vector<int32_t>& perBlock = scratch.perBlock;
    std::vector<int32_t>& touched = scratch.touched;
    std::vector<size_t>& cursor = scratch.cursor;
    SpringTile tile;
    tile.p = p;
    tile.blockBegin = static_cast<int32_t>(tiling.blocks.size());
    touched.clear();
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        if (perBlock[static_cast<size_t>(q)]++ == 0) touched.push_back(q);
    }
    std::sort(touched.begin(), touched.end());
    size_t cellAt = tiling.rest.size();
    cursor.resize(touched.size());
    for (size_t rank = 0; rank < touched.size(); ++rank) {
        const size_t q = static_cast<size_t>(touched[rank]);
        SpringBlock blk{};
        blk.q = touched[rank];
        blk.cellAt = static_cast<int32_t>(cellAt);
        cursor[rank] = cellAt;
        cellAt += static_cast<size_t>(perBlock[q]);
        perBlock[q] = static_cast<int32_t>(rank); // from here on: the block's rank
        tiling.blocks.push_back(blk);
    }
    tile.blockEnd = static_cast<int32_t>(tiling.blocks.size());
    tiling.rest.resize(cellAt);
    if (!tiling.uniform) {
        tiling.k.resize(cellAt);
        tiling.damping.resize(cellAt);
    }
    // Second pass, over springs still in cache: the cells in spring order.
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        const size_t rank = static_cast<size_t>(perBlock[static_cast<size_t>(q)]);
        SpringBlock& blk = tiling.blocks[static_cast<size_t>(tile.blockBegin) + rank];
        const int32_t i = sp.a % kLanes, j = sp.b % kLanes;
        blk.present |= uint64_t{1} << (kLanes * i + j);
        blk.presentT |= uint64_t{1} << (kLanes * j + i);
        const size_t cell = cursor[rank]++;
        tiling.rest[cell] = sp.rest;
        if (!tiling.uniform) {
            tiling.k[cell] = sp.k;
            tiling.damping[cell] = sp.damping;
        }
    }
    for (int32_t q : touched)
        perBlock[static_cast<size_t>(q)] = 0;
    tiling.tiles.push_back(tile);
}

// One pass over the spring array: checks the order again while it builds the
// tiles into arrays sized by the count, so that none of them grows.
bool buildTiles(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling) {
    tiling.massBlocks = size.massBlocks;
    tiling.uniform = size.uniform;
    TileScratch scratch;
    scratch.perBlock.assign(static_cast<size_t>(size.massBlocks), 0);
    scratch.touched.reserve(static_cast<size_t>(size.widestTile));
    scratch.cursor.reserve(static_cast<size_t>(size.widestTile));
    tiling.tiles.reserve(static_cast<size_t>(size.tiles));
    tiling.blocks.reserve(static_cast<size_t>(size.blocks));
    const size_t cells = static_cast<size_t>(size.cells) + kLanes; // padded by a block
    tiling.rest.reserve(cells);
    platPrepareBlock(tiling.rest.data(), cells * sizeof(double));
    if (!tiling.uniform) {
        tiling.k.reserve(cells);
        tiling.damping.reserve(cells);
        platPrepareBlock(tiling.k.data(), cells * sizeof(double));
        platPrepareBlock(tiling.damping.data(), cells * sizeof(double));
    }
    int32_t lastA = -1, lastB = -1;
    bool any = false;
    int32_t s = 0;
    while (s < obj.nSprings) {
        if (inert(obj.springs[s], obj.nMasses)) {
            ++s;
            continue;
        }
        const int32_t p = obj.springs[s].a / kLanes;
        int32_t e = s;
        for (; e < obj.nSprings; ++e) {
            const SimSpring& sp = obj.springs[e];
            if (inert(sp, obj.nMasses)) continue;
            if (sp.a / kLanes != p) break;
            if (sp.a > sp.b || sp.a < lastA || (sp.a == lastA && sp.b <= lastB)) return false;
            lastA = sp.a;
            lastB = sp.b;
            if (!any) {
                tiling.kAll = sp.k;
                tiling.dampingAll = sp.damping;
                any = true;
            } else if (tiling.uniform &&
                       (!sameBits(sp.k, tiling.kAll) || !sameBits(sp.damping, tiling.dampingAll))) {
                return false; // not the springs that were counted
            }
        }
        addTile(obj, tiling, p, s, e, scratch);
        s = e;
    }
    // The kernels read whole blocks of cell values: pad by one.
    tiling.rest.resize(tiling.rest.size() + kLanes, 0.0);
    if (!tiling.uniform) {
        tiling.k.resize(tiling.k.size() + kLanes, 0.0);
        tiling.damping.resize(tiling.damping.size() + kLanes, 0.0);
    }
    return any;
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
    int32_t lastA = -1, lastB = -1, p = -1;
    int64_t tileBlocks = 0;
    double kAll = 0.0, dampingAll = 0.0;
    for (int32_t s = 0; s < obj.nSprings; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        if (sp.a > sp.b || sp.a < lastA || (sp.a == lastA && sp.b <= lastB)) return false;
        lastA = sp.a;
        lastB = sp.b;
        if (sp.a / kLanes != p) {
            p = sp.a / kLanes;
            ++size.tiles;
            tileBlocks = 0;
        }
        int32_t& seen = seenIn[static_cast<size_t>(sp.b / kLanes)];
        if (seen != size.tiles) {
            seen = static_cast<int32_t>(size.tiles);
            ++size.blocks;
            size.widestTile = std::max(size.widestTile, ++tileBlocks);
        }
        if (size.cells++ == 0) {
            kAll = sp.k;
            dampingAll = sp.damping;
        } else if (!sameBits(sp.k, kAll) || !sameBits(sp.damping, dampingAll)) {
            size.uniform = false;
        }
    }
    return size.cells > 0;
}

int64_t springTilingBytes(const SpringTilingSize& size) {
    const int64_t perCell = static_cast<int64_t>(sizeof(double)) * (size.uniform ? 1 : 3);
    const int64_t tiles = size.tiles * static_cast<int64_t>(sizeof(SpringTile)) +
                          size.blocks * static_cast<int64_t>(sizeof(SpringBlock)) +
                          (size.cells + kLanes) * perCell;
    const int64_t scratch =
        size.massBlocks * static_cast<int64_t>(sizeof(int32_t)) +
        size.widestTile * static_cast<int64_t>(sizeof(int32_t) + sizeof(size_t));
    return tiles + scratch;
}

bool springTilingBuild(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling) {
    tiling = SpringTiling{};
    if (buildTiles(obj, size, tiling)) return true;
    tiling = SpringTiling{};
    return false;
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
