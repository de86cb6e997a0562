// Building the tiled layout. The layout fits when the acting springs have
// a < b and strictly increase in (a, b); then the springs of a tile are
// consecutive in the array. A first pass checks the order and counts what the
// layout will hold, so that its size can be weighed against the memory left
// and each array allocated once; a second builds it.
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

// One pass over the spring array: checks the order again while it builds the
// tiles into arrays sized by the count, so that none of them grows.
bool buildTiles(const SimObject& obj, const SpringLayoutSize& size, SpringLayout& layout) {
    layout.massBlocks = size.massBlocks;
    layout.uniform = size.uniform;
    TileScratch scratch;
    scratch.perBlock.assign(static_cast<size_t>(size.massBlocks), 0);
    scratch.touched.reserve(static_cast<size_t>(size.widestTile));
    scratch.cursor.reserve(static_cast<size_t>(size.widestTile));
    layout.tiles.reserve(static_cast<size_t>(size.tiles));
    layout.blocks.reserve(static_cast<size_t>(size.blocks));
    const size_t cells = static_cast<size_t>(size.cells) + kLanes; // padded by a block
    layout.rest.reserve(cells);
    platPrepareBlock(layout.rest.data(), cells * sizeof(double));
    if (!layout.uniform) {
        layout.k.reserve(cells);
        layout.damping.reserve(cells);
        platPrepareBlock(layout.k.data(), cells * sizeof(double));
        platPrepareBlock(layout.damping.data(), cells * sizeof(double));
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
                layout.kAll = sp.k;
                layout.dampingAll = sp.damping;
                any = true;
            } else if (layout.uniform &&
                       (!sameBits(sp.k, layout.kAll) || !sameBits(sp.damping, layout.dampingAll))) {
                return false; // not the springs that were counted
            }
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

bool springLayoutCount(const SimObject& obj, SpringLayoutSize& size) {
    size = SpringLayoutSize{};
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

int64_t springLayoutBytes(const SpringLayoutSize& size) {
    const int64_t perCell = static_cast<int64_t>(sizeof(double)) * (size.uniform ? 1 : 3);
    const int64_t layout = size.tiles * static_cast<int64_t>(sizeof(SpringTile)) +
                           size.blocks * static_cast<int64_t>(sizeof(SpringBlock)) +
                           (size.cells + kLanes) * perCell;
    const int64_t scratch =
        size.massBlocks * static_cast<int64_t>(sizeof(int32_t)) +
        size.widestTile * static_cast<int64_t>(sizeof(int32_t) + sizeof(size_t));
    return layout + scratch;
}

bool springLayoutBuild(const SimObject& obj, const SpringLayoutSize& size, SpringLayout& layout) {
    layout = SpringLayout{};
    if (buildTiles(obj, size, layout)) return true;
    layout = SpringLayout{};
    return false;
}

int64_t springLayoutHeld(const SpringLayout& layout) {
    return static_cast<int64_t>(
        layout.tiles.capacity() * sizeof(SpringTile) +
        layout.blocks.capacity() * sizeof(SpringBlock) +
        (layout.rest.capacity() + layout.k.capacity() + layout.damping.capacity()) *
            sizeof(double));
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
