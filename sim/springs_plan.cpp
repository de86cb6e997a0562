// Building the tiled layout. The layout fits when the acting springs have
// a < b and strictly increase in (a, b); then the springs of a tile are
// consecutive in the array, and one pass checks the order while it builds.
#include "sim/springs_plan.h"

#include <algorithm>
#include <cstring>

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
void addTile(const SimObject& obj, SpringLayout& layout, int32_t p, int32_t sBegin, int32_t sEnd,
             TileScratch& scratch) {
    std::vector<int32_t>& perBlock = scratch.perBlock;
    std::vector<int32_t>& touched = scratch.touched;
    std::vector<size_t>& cursor = scratch.cursor;
    SpringTile tile;
    tile.p = p;
    tile.blockBegin = static_cast<int32_t>(layout.blocks.size());
    touched.clear();
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        if (perBlock[static_cast<size_t>(q)]++ == 0) touched.push_back(q);
    }
    std::sort(touched.begin(), touched.end());
    size_t cellAt = layout.rest.size();
    cursor.resize(touched.size());
    for (size_t rank = 0; rank < touched.size(); ++rank) {
        const size_t q = static_cast<size_t>(touched[rank]);
        SpringBlock blk{};
        blk.q = touched[rank];
        blk.cellAt = static_cast<int32_t>(cellAt);
        cursor[rank] = cellAt;
        cellAt += static_cast<size_t>(perBlock[q]);
        perBlock[q] = static_cast<int32_t>(rank); // from here on: the block's rank
        layout.blocks.push_back(blk);
    }
    tile.blockEnd = static_cast<int32_t>(layout.blocks.size());
    layout.rest.resize(cellAt);
    if (!layout.uniform) {
        layout.k.resize(cellAt);
        layout.damping.resize(cellAt);
    }
    // Second pass, over springs still in cache: the cells in spring order.
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        const size_t rank = static_cast<size_t>(perBlock[static_cast<size_t>(q)]);
        SpringBlock& blk = layout.blocks[static_cast<size_t>(tile.blockBegin) + rank];
        const int32_t i = sp.a % kLanes, j = sp.b % kLanes;
        blk.present |= uint64_t{1} << (kLanes * i + j);
        blk.presentT |= uint64_t{1} << (kLanes * j + i);
        const size_t cell = cursor[rank]++;
        layout.rest[cell] = sp.rest;
        if (!layout.uniform) {
            layout.k[cell] = sp.k;
            layout.damping[cell] = sp.damping;
        }
    }
    for (int32_t q : touched)
        perBlock[static_cast<size_t>(q)] = 0;
    layout.tiles.push_back(tile);
}

// One pass over the spring array: checks the order while it builds the
// tiles, and finds whether all springs share k and damping.
bool buildTiles(const SimObject& obj, SpringLayout& layout) {
    layout.massBlocks = (obj.nMasses + kLanes - 1) / kLanes;
    TileScratch scratch;
    scratch.perBlock.assign(static_cast<size_t>(layout.massBlocks), 0);
    // Never more cells than springs: one allocation, no copies as it fills.
    layout.rest.reserve(static_cast<size_t>(obj.nSprings) + kLanes);
    platPrepareBlock(layout.rest.data(), layout.rest.capacity() * sizeof(double));
    int32_t lastA = -1, lastB = -1;
    bool any = false;
    int32_t s = 0;
    while (s < obj.nSprings) {
        if (inert(obj.springs[s], obj.nMasses)) {
            ++s;
            continue;
        }
        const int32_t p = obj.springs[s].a / kLanes;
        const bool wasUniform = layout.uniform;
        int32_t e = s;
        for (; e < obj.nSprings; ++e) {
            const SimSpring& sp = obj.springs[e];
            if (inert(sp, obj.nMasses)) continue;
            if (sp.a / kLanes != p) break;
            if (sp.a > sp.b || sp.a < lastA || (sp.a == lastA && sp.b <= lastB)) return false;
            lastA = sp.a;
            lastB = sp.b;
            if (!any) {
                layout.kAll = sp.k;
                layout.dampingAll = sp.damping;
                layout.uniform = true;
                any = true;
            } else if (!sameBits(sp.k, layout.kAll) || !sameBits(sp.damping, layout.dampingAll)) {
                layout.uniform = false;
            }
        }
        // The first spring that differs: the cells so far all had kAll.
        if (wasUniform && !layout.uniform) {
            layout.k.reserve(layout.rest.capacity());
            layout.damping.reserve(layout.rest.capacity());
            layout.k.assign(layout.rest.size(), layout.kAll);
            layout.damping.assign(layout.rest.size(), layout.dampingAll);
        }
        addTile(obj, layout, p, s, e, scratch);
        s = e;
    }
    // The kernels read whole blocks of cell values: pad by one.
    layout.rest.resize(layout.rest.size() + kLanes, 0.0);
    if (!layout.uniform) {
        layout.k.resize(layout.k.size() + kLanes, 0.0);
        layout.damping.resize(layout.damping.size() + kLanes, 0.0);
    }
    return any;
}

int64_t cellsOf(const SpringLayout& layout) {
    return static_cast<int64_t>(layout.rest.size()) - kLanes;
}

} // namespace

bool springLayoutBuild(const SimObject& obj, SpringLayout& layout) {
    layout = SpringLayout{};
    if (buildTiles(obj, layout)) return true;
    layout = SpringLayout{};
    return false;
}

int64_t springLayoutBound(const SimObject& obj) {
    // Every spring a cell with its own k and damping and a block of its own,
    // every mass block a tile, and the build's scratch.
    const int64_t springs = static_cast<int64_t>(obj.nSprings) + kLanes;
    const int64_t massBlocks = (static_cast<int64_t>(obj.nMasses) + kLanes - 1) / kLanes;
    return springs * static_cast<int64_t>(3 * sizeof(double) + sizeof(SpringBlock)) +
           massBlocks * static_cast<int64_t>(sizeof(SpringTile) + sizeof(int32_t));
}

int64_t springLayoutStreamed(const SpringLayout& layout) {
    if (layout.tiles.empty()) return 0;
    const int64_t perCell = static_cast<int64_t>(sizeof(double)) * (layout.uniform ? 1 : 3);
    return static_cast<int64_t>(layout.tiles.size() * sizeof(SpringTile) +
                                layout.blocks.size() * sizeof(SpringBlock)) +
           cellsOf(layout) * perCell;
}

SpringTiles springLayoutView(const SpringLayout& layout) {
    SpringTiles v;
    v.tiles = layout.tiles.data();
    v.blocks = layout.blocks.data();
    v.nCellBlocks = static_cast<int32_t>(layout.blocks.size());
    v.nCells = static_cast<int32_t>(cellsOf(layout));
    v.rest = layout.rest.data();
    v.k = layout.uniform ? nullptr : layout.k.data();
    v.damping = layout.uniform ? nullptr : layout.damping.data();
    v.kAll = layout.kAll;
    v.dampingAll = layout.dampingAll;
    return v;
}
