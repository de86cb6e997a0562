// The distance band through a uniform grid. Cells are a little wider than the
// upper bound, so the two masses of any pair in the band lie in the same or in
// neighbouring cells; each mass i looks only at the 27 cells around its own,
// keeps the partners j > i that pass the same test as the plain double loop,
// and hands them on in ascending j. The result is the plain loop's, pair for
// pair and bit for bit.
//
// Why no pair is lost: a pair passes only when the computed distance d is
// below hi. While |dx| >= 2^-511, dx*dx is a normal number and d >= |dx| up to
// a few roundings, so |xi - xj| < hi * (1 + 4 eps); below that, dx*dx may
// underflow to 0 and d says nothing, hence the floor kMinCellWidth. A cell
// index is floor((x - min) / width); with at most kMaxCellsPerAxis cells its
// rounding error stays below 1e-9 of a cell, far inside kCellMargin, so the
// computed indices of the two masses differ by at most one. Clamping the index
// into the grid keeps that.
//
// A mass with a coordinate that is not finite never passes (its differences
// are NaN or infinite), so it is left out of the grid. Only occupied cells are
// stored, sorted by key, so the grid takes O(n) memory whatever the spread.
#include "import/band.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kCellMargin = 1.0 + 1.0 / 1024.0; // cell width over the upper bound
constexpr double kMinCellWidth = 0x1p-500;         // see the underflow note above
constexpr int64_t kMaxCellsPerAxis = int64_t{1} << 20;
constexpr size_t kNeighbours = 27; // a cell and the 26 around it

struct CellPoint {
    uint64_t key;
    int32_t index;
};

struct Packed {
    double pos[3];
    int32_t index;
};

struct Partner {
    double d;
    int32_t j;
};

struct Axis {
    double min;
    double width;
    int64_t cells;
};

// The distance exactly as the plain loop computes it, i being the lower index.
inline double pairDistance(const SimMass* m, int32_t i, int32_t j) {
    const double dx = m[i].pos[0] - m[j].pos[0];
    const double dy = m[i].pos[1] - m[j].pos[1];
    const double dz = m[i].pos[2] - m[j].pos[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

bool finitePos(const SimMass& m) {
    return std::isfinite(m.pos[0]) && std::isfinite(m.pos[1]) && std::isfinite(m.pos[2]);
}

// The plain double loop: used when everything falls into one cell and when the
// grid's memory cannot be had.
void allPairs(const SimMass* masses, int32_t n, double lo, double hi, SimBandEmit emit, void* ctx) {
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = i + 1; j < n; ++j) {
            const double d = pairDistance(masses, i, j);
            if (lo < d && d < hi) emit(ctx, i, j, d);
        }
    }
}

// One axis of the grid over [min, max]: cells at least `width` wide, at most
// kMaxCellsPerAxis of them. A spread too wide to subtract gets a single cell.
Axis makeAxis(double min, double max, double width) {
    const double extent = max - min;
    if (!std::isfinite(extent) || !std::isfinite(width)) return {min, width, 1};
    const double ratio = extent / width;
    if (ratio < static_cast<double>(kMaxCellsPerAxis - 1))
        return {min, width, static_cast<int64_t>(ratio) + 1};
    return {min, extent / static_cast<double>(kMaxCellsPerAxis - 2), kMaxCellsPerAxis};
}

int64_t cellIndex(const Axis& axis, double x) {
    if (axis.cells == 1) return 0;
    const double u = std::floor((x - axis.min) / axis.width);
    if (!(u > 0.0)) return 0;
    if (u >= static_cast<double>(axis.cells - 1)) return axis.cells - 1;
    return static_cast<int64_t>(u);
}

} // namespace

void simBandPairs(const SimMass* masses, int32_t n, double lo, double hi, SimBandEmit emit,
                  void* ctx) {
    // d >= 0 or NaN, so nothing can pass unless 0 < hi and lo < hi.
    if (n < 2 || !masses || !(hi > 0.0) || !(lo < hi)) return;

    int32_t m = 0;
    double lowest[3] = {0.0, 0.0, 0.0};
    double highest[3] = {0.0, 0.0, 0.0};
    for (int32_t i = 0; i < n; ++i) {
        if (!finitePos(masses[i])) continue;
        for (int c = 0; c < 3; ++c) {
            const double x = masses[i].pos[c];
            if (m == 0 || x < lowest[c]) lowest[c] = x;
            if (m == 0 || x > highest[c]) highest[c] = x;
        }
        ++m;
    }
    if (m < 2) return;

    const double width = std::max(hi, kMinCellWidth) * kCellMargin;
    Axis axes[3];
    for (int c = 0; c < 3; ++c)
        axes[c] = makeAxis(lowest[c], highest[c], width);
    if (axes[0].cells == 1 && axes[1].cells == 1 && axes[2].cells == 1) {
        allPairs(masses, n, lo, hi, emit, ctx);
        return;
    }

    // One block for the grid: the masses sorted by cell with their positions
    // packed, the occupied cells, each cell's neighbours (found on first use)
    // and the partner buffer.
    const size_t un = static_cast<size_t>(n);
    const size_t um = static_cast<size_t>(m);
    const size_t bytes = um * sizeof(CellPoint) + um * sizeof(Packed) + um * sizeof(uint64_t) +
                         um * sizeof(Partner) + un * sizeof(int32_t) + (um + 1) * sizeof(int32_t) +
                         um * kNeighbours * sizeof(int32_t) + um * sizeof(int32_t);
    char* block = static_cast<char*>(simMalloc(bytes));
    if (!block) {
        allPairs(masses, n, lo, hi, emit, ctx);
        return;
    }
    CellPoint* sorted = reinterpret_cast<CellPoint*>(block);
    Packed* packed = reinterpret_cast<Packed*>(sorted + um);
    uint64_t* cellKey = reinterpret_cast<uint64_t*>(packed + um);
    Partner* partners = reinterpret_cast<Partner*>(cellKey + um);
    int32_t* cellOf = reinterpret_cast<int32_t*>(partners + um);
    int32_t* cellStart = cellOf + un;
    int32_t* neighbours = cellStart + um + 1;
    int32_t* neighbourCount = neighbours + um * kNeighbours;

    const uint64_t ny = static_cast<uint64_t>(axes[1].cells);
    const uint64_t nz = static_cast<uint64_t>(axes[2].cells);
    int32_t at = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (!finitePos(masses[i])) continue;
        const uint64_t ix = static_cast<uint64_t>(cellIndex(axes[0], masses[i].pos[0]));
        const uint64_t iy = static_cast<uint64_t>(cellIndex(axes[1], masses[i].pos[1]));
        const uint64_t iz = static_cast<uint64_t>(cellIndex(axes[2], masses[i].pos[2]));
        sorted[at++] = {(ix * ny + iy) * nz + iz, i};
    }
    // Within a cell the masses stay in index order.
    std::sort(sorted, sorted + m, [](const CellPoint& p, const CellPoint& q) {
        return p.key != q.key ? p.key < q.key : p.index < q.index;
    });
    int32_t nCells = 0;
    for (int32_t p = 0; p < m; ++p) {
        if (p == 0 || sorted[p].key != sorted[p - 1].key) {
            cellKey[nCells] = sorted[p].key;
            neighbourCount[nCells] = -1;
            cellStart[nCells++] = p;
        }
        const SimMass& mass = masses[sorted[p].index];
        packed[p] = {{mass.pos[0], mass.pos[1], mass.pos[2]}, sorted[p].index};
        cellOf[sorted[p].index] = nCells - 1;
    }
    cellStart[nCells] = m;

    // The occupied cells among the 27 around cell c, stored on first use.
    auto neighboursOf = [&](int32_t c) {
        int32_t* list = neighbours + static_cast<size_t>(c) * kNeighbours;
        if (neighbourCount[c] >= 0) return list;
        const uint64_t key = cellKey[c];
        const int64_t cell[3] = {static_cast<int64_t>(key / nz / ny),
                                 static_cast<int64_t>(key / nz % ny),
                                 static_cast<int64_t>(key % nz)};
        int32_t found = 0;
        for (int64_t x = cell[0] - 1; x <= cell[0] + 1; ++x) {
            if (x < 0 || x >= axes[0].cells) continue;
            for (int64_t y = cell[1] - 1; y <= cell[1] + 1; ++y) {
                if (y < 0 || y >= axes[1].cells) continue;
                for (int64_t z = cell[2] - 1; z <= cell[2] + 1; ++z) {
                    if (z < 0 || z >= axes[2].cells) continue;
                    const uint64_t near =
                        (static_cast<uint64_t>(x) * ny + static_cast<uint64_t>(y)) * nz +
                        static_cast<uint64_t>(z);
                    const uint64_t* hit = std::lower_bound(cellKey, cellKey + nCells, near);
                    if (hit != cellKey + nCells && *hit == near)
                        list[found++] = static_cast<int32_t>(hit - cellKey);
                }
            }
        }
        neighbourCount[c] = found;
        return list;
    };

    for (int32_t i = 0; i < n; ++i) {
        if (!finitePos(masses[i])) continue;
        const int32_t c = cellOf[i];
        const int32_t* list = neighboursOf(c);
        const double* pi = masses[i].pos;
        int32_t found = 0;
        for (int32_t k = 0; k < neighbourCount[c]; ++k) {
            const Packed* first = packed + cellStart[list[k]];
            const Packed* last = packed + cellStart[list[k] + 1];
            // Only partners above i: the pair was met from its lower end.
            first = std::upper_bound(first, last, i,
                                     [](int32_t v, const Packed& p) { return v < p.index; });
            for (const Packed* p = first; p != last; ++p) {
                // The plain loop's expression, on the same values.
                const double dx = pi[0] - p->pos[0];
                const double dy = pi[1] - p->pos[1];
                const double dz = pi[2] - p->pos[2];
                const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
                if (lo < d && d < hi) partners[found++] = {d, p->index};
            }
        }
        std::sort(partners, partners + found,
                  [](const Partner& a, const Partner& b) { return a.j < b.j; });
        for (int32_t p = 0; p < found; ++p)
            emit(ctx, i, partners[p].j, partners[p].d);
    }
    std::free(block);
}

namespace {

// Past this distance from the origin along any axis a mass is given no
// springs, as if its coordinates were not finite. The contact that first
// brings a mass to the cube moves it by its whole distance, and the rounding
// of that move grows with it: within 2^40 world units it stays under a tenth
// of the 0.01 the contact keeps masses inside a face, whatever the cube's
// pose; from about 1e14 it no longer does, and from about 1e17 it can leave a
// mass as far out as it came or land the masses of one body thousands of
// units apart. Their springs then pull with forces the contact's velocity
// rule squares, and within a few steps those masses are not finite numbers.
constexpr double kMaxSpringCoordinate = 0x1p40; // world units

bool springable(const SimMass& m) {
    return std::fabs(m.pos[0]) <= kMaxSpringCoordinate &&
           std::fabs(m.pos[1]) <= kMaxSpringCoordinate &&
           std::fabs(m.pos[2]) <= kMaxSpringCoordinate;
}

struct SpringTarget {
    int oid;
    double k;
    double damping;
    int added;
};

void addSpring(void* ctx, int32_t i, int32_t j, double d) {
    SpringTarget* t = static_cast<SpringTarget*>(ctx);
    const SimMass* masses = simWorld.objects[t->oid].masses;
    if (!springable(masses[i]) || !springable(masses[j])) return;
    if (simAddSpring(t->oid, i, j, d, t->k, t->damping, 1) >= 0) ++t->added;
}

} // namespace

int simAddBandSprings(int oid, double lo, double hi, double k, double damping) {
    if (!simValidOid(oid)) return 0;
    SpringTarget target{oid, k, damping, 0};
    const SimObject& obj = simWorld.objects[oid];
    simBandPairs(obj.masses, obj.nMasses, lo, hi, addSpring, &target);
    return target.added;
}
