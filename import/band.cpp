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
//
// The spring builder makes the same springs in two passes over the same
// grid: one counts each mass's partners, the other writes them straight into
// an array sized once from that count, each mass's where the masses below it
// end, so that masses can be taken on several threads in any order. Neither sorts pairs: the
// candidates of a cell (its own masses and its neighbours') are put in index order once, and every
// mass of the cell reads them from its own index on.
//
// Sections: constants and helpers; the grid; pairs in order; the spring
// builder.
#include "import/band.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/progress.h"
#include "sim/parallel.h"

// ---------------------------------------------------------------------------
// Constants and helpers
// ---------------------------------------------------------------------------
namespace {

constexpr double kCellMargin = 1.0 + 1.0 / 1024.0; // cell width over the upper bound
constexpr double kMinCellWidth = 0x1p-500;         // see the underflow note above
constexpr int64_t kMaxCellsPerAxis = int64_t{1} << 20;
constexpr size_t kNeighbours = 27; // a cell and the 26 around it
// Scratch blocks this large are weighed against the memory left; smaller ones
// are left to the allocator (reading the limits costs a few system calls).
constexpr size_t kCheckedScratchBytes = size_t{1} << 20;

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

// ---------------------------------------------------------------------------
// The grid
// ---------------------------------------------------------------------------

// The finite masses sorted by cell, then by index, and the occupied cells.
struct Grid {
    Axis axes[3];
    uint64_t ny = 1, nz = 1;
    int32_t m = 0;                     // finite masses
    int32_t nCells = 0;                // occupied cells
    Packed* packed = nullptr;          // m: by cell, then by index
    uint64_t* cellKey = nullptr;       // nCells, ascending
    int32_t* cellStart = nullptr;      // nCells + 1, into packed
    int32_t* cellOf = nullptr;         // n: the cell of each finite mass
    int32_t* neighbours = nullptr;     // kNeighbours per cell, found on first use
    int32_t* neighbourCount = nullptr; // per cell, -1 until found
    char* block = nullptr;             // all of the above and the caller's extra
};

// The axes over the finite masses, cells a little wider than hi. False when
// fewer than two masses are finite: no pair can pass.
bool gridAxes(const SimMass* masses, int32_t n, double hi, Grid& g) {
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
    if (m < 2) return false;
    const double width = std::max(hi, kMinCellWidth) * kCellMargin;
    for (int c = 0; c < 3; ++c)
        g.axes[c] = makeAxis(lowest[c], highest[c], width);
    g.m = m;
    g.ny = static_cast<uint64_t>(g.axes[1].cells);
    g.nz = static_cast<uint64_t>(g.axes[2].cells);
    return true;
}

bool oneCell(const Grid& g) {
    return g.axes[0].cells == 1 && g.axes[1].cells == 1 && g.axes[2].cells == 1;
}

// Sorts the finite masses into their cells, in one block that also holds
// extraBytes for the caller (at *extra, 8-byte aligned). False when the block
// cannot be had: a large one is weighed against the memory the process can
// still get first, since Linux would grant it and kill the process when it
// is written.
bool gridBuild(const SimMass* masses, int32_t n, Grid& g, size_t extraBytes, char** extra) {
    const size_t un = static_cast<size_t>(n);
    const size_t um = static_cast<size_t>(g.m);
    const size_t sortBytes = um * sizeof(CellPoint);
    const size_t bytes = sortBytes + um * sizeof(Packed) + um * sizeof(uint64_t) +
                         (extraBytes + 7) / 8 * 8 + un * sizeof(int32_t) +
                         (um + 1) * sizeof(int32_t) + um * kNeighbours * sizeof(int32_t) +
                         um * sizeof(int32_t);
    if (bytes >= kCheckedScratchBytes && static_cast<int64_t>(bytes) > platMemoryRoom().bytes)
        return false;
    g.block = static_cast<char*>(simMalloc(bytes));
    if (!g.block) return false;
    CellPoint* sorted = reinterpret_cast<CellPoint*>(g.block);
    g.packed = reinterpret_cast<Packed*>(g.block + sortBytes);
    g.cellKey = reinterpret_cast<uint64_t*>(g.packed + um);
    *extra = reinterpret_cast<char*>(g.cellKey + um);
    g.cellOf = reinterpret_cast<int32_t*>(*extra + (extraBytes + 7) / 8 * 8);
    g.cellStart = g.cellOf + un;
    g.neighbours = g.cellStart + um + 1;
    g.neighbourCount = g.neighbours + um * kNeighbours;

    int32_t at = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (!finitePos(masses[i])) continue;
        const uint64_t ix = static_cast<uint64_t>(cellIndex(g.axes[0], masses[i].pos[0]));
        const uint64_t iy = static_cast<uint64_t>(cellIndex(g.axes[1], masses[i].pos[1]));
        const uint64_t iz = static_cast<uint64_t>(cellIndex(g.axes[2], masses[i].pos[2]));
        sorted[at++] = {(ix * g.ny + iy) * g.nz + iz, i};
    }
    // Within a cell the masses stay in index order.
    std::sort(sorted, sorted + g.m, [](const CellPoint& p, const CellPoint& q) {
        return p.key != q.key ? p.key < q.key : p.index < q.index;
    });
    g.nCells = 0;
    for (int32_t p = 0; p < g.m; ++p) {
        if (p == 0 || sorted[p].key != sorted[p - 1].key) {
            g.cellKey[g.nCells] = sorted[p].key;
            g.neighbourCount[g.nCells] = -1;
            g.cellStart[g.nCells++] = p;
        }
        const SimMass& mass = masses[sorted[p].index];
        g.packed[p] = {{mass.pos[0], mass.pos[1], mass.pos[2]}, sorted[p].index};
        g.cellOf[sorted[p].index] = g.nCells - 1;
    }
    g.cellStart[g.nCells] = g.m;
    return true;
}

// The occupied cells among the 27 around cell c, stored on first use; their
// number is g.neighbourCount[c].
const int32_t* gridNeighbours(Grid& g, int32_t c) {
    int32_t* list = g.neighbours + static_cast<size_t>(c) * kNeighbours;
    if (g.neighbourCount[c] >= 0) return list;
    const uint64_t key = g.cellKey[c];
    const int64_t cell[3] = {static_cast<int64_t>(key / g.nz / g.ny),
                             static_cast<int64_t>(key / g.nz % g.ny),
                             static_cast<int64_t>(key % g.nz)};
    int32_t found = 0;
    for (int64_t x = cell[0] - 1; x <= cell[0] + 1; ++x) {
        if (x < 0 || x >= g.axes[0].cells) continue;
        for (int64_t y = cell[1] - 1; y <= cell[1] + 1; ++y) {
            if (y < 0 || y >= g.axes[1].cells) continue;
            for (int64_t z = cell[2] - 1; z <= cell[2] + 1; ++z) {
                if (z < 0 || z >= g.axes[2].cells) continue;
                const uint64_t near =
                    (static_cast<uint64_t>(x) * g.ny + static_cast<uint64_t>(y)) * g.nz +
                    static_cast<uint64_t>(z);
                const uint64_t* hit = std::lower_bound(g.cellKey, g.cellKey + g.nCells, near);
                if (hit != g.cellKey + g.nCells && *hit == near)
                    list[found++] = static_cast<int32_t>(hit - g.cellKey);
            }
        }
    }
    g.neighbourCount[c] = found;
    return list;
}

} // namespace

// ---------------------------------------------------------------------------
// Pairs in order
// ---------------------------------------------------------------------------
void simBandPairs(const SimMass* masses, int32_t n, double lo, double hi, SimBandEmit emit,
                  void* ctx) {
    // d >= 0 or NaN, so nothing can pass unless 0 < hi and lo < hi.
    if (n < 2 || !masses || !(hi > 0.0) || !(lo < hi)) return;
    Grid g;
    if (!gridAxes(masses, n, hi, g)) return;
    char* extra = nullptr;
    if (oneCell(g) ||
        !gridBuild(masses, n, g, static_cast<size_t>(g.m) * sizeof(Partner), &extra)) {
        allPairs(masses, n, lo, hi, emit, ctx);
        return;
    }
    Partner* partners = reinterpret_cast<Partner*>(extra);
    for (int32_t i = 0; i < n; ++i) {
        if (!finitePos(masses[i])) continue;
        const int32_t c = g.cellOf[i];
        const int32_t* list = gridNeighbours(g, c);
        const double* pi = masses[i].pos;
        int32_t found = 0;
        for (int32_t k = 0; k < g.neighbourCount[c]; ++k) {
            const Packed* first = g.packed + g.cellStart[list[k]];
            const Packed* last = g.packed + g.cellStart[list[k] + 1];
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
    std::free(g.block);
}

// ---------------------------------------------------------------------------
// The spring builder
// ---------------------------------------------------------------------------
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
bool springable(const double* pos) {
    return std::fabs(pos[0]) <= SIM_BAND_MAX_COORD && std::fabs(pos[1]) <= SIM_BAND_MAX_COORD &&
           std::fabs(pos[2]) <= SIM_BAND_MAX_COORD;
}

// Shares of the build for progress, as measured on a close body.
constexpr double kCountShare = 0.15;  // pass 1
constexpr double kPrepareShare = 0.2; // mapping the new springs' memory
const char* const kCountStage = "Finding springs";
const char* const kPrepareStage = "Allocating springs";
const char* const kFillStage = "Building springs";
constexpr size_t kPrepareSlice = size_t{32} << 20; // bytes mapped between two reports
constexpr int32_t kRowBlock = 256;                 // distances computed at a time
constexpr int32_t kSpringKind = 1;
constexpr int kTasksPerThread = 8; // rows cut finer than the threads, so that they end together

constexpr int64_t kTellBuildBytes = int64_t{1} << 30; // builds larger are told on a terminal
constexpr double kBytesPerGB = 1e9;

// A cell's candidates in index order, coordinates apart so that the distance
// loops run over plain arrays; one set per thread of the build.
struct Candidates {
    double* x;
    double* y;
    double* z;
    int32_t* index;
    Packed* scratch;
    int32_t count;
    int32_t cell; // gathered for this cell (-1: none yet)
};

// Gathers the masses of cell c and of its neighbours that may have springs,
// in index order, unless they are gathered already.
void gatherCandidates(const Grid& g, int32_t c, Candidates& out) {
    if (out.cell == c) return;
    out.cell = c;
    const int32_t* list = g.neighbours + static_cast<size_t>(c) * kNeighbours;
    int32_t count = 0;
    for (int32_t k = 0; k < g.neighbourCount[c]; ++k) {
        for (int32_t p = g.cellStart[list[k]]; p < g.cellStart[list[k] + 1]; ++p) {
            if (springable(g.packed[p].pos)) out.scratch[count++] = g.packed[p];
        }
    }
    std::sort(out.scratch, out.scratch + count,
              [](const Packed& a, const Packed& b) { return a.index < b.index; });
    for (int32_t t = 0; t < count; ++t) {
        out.x[t] = out.scratch[t].pos[0];
        out.y[t] = out.scratch[t].pos[1];
        out.z[t] = out.scratch[t].pos[2];
        out.index[t] = out.scratch[t].index;
    }
    out.count = count;
}

// Distances from mass pi to `count` candidates from `from` on: the plain
// loop's expression, pi being the lower index. A loop with no branch, over
// plain arrays, which the compiler runs several pairs at a time: the square
// roots, products and sums are the same operations, so the same bits.
void rowDistances(const double* pi, const Candidates& cand, int32_t from, int32_t count,
                  double* __restrict d) {
    const double px = pi[0], py = pi[1], pz = pi[2];
    const double* __restrict x = cand.x + from;
    const double* __restrict y = cand.y + from;
    const double* __restrict z = cand.z + from;
    for (int32_t t = 0; t < count; ++t) {
        const double dx = px - x[t];
        const double dy = py - y[t];
        const double dz = pz - z[t];
        d[t] = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
}

// How many of the candidates from `from` on pass the band with mass pi.
int32_t countRow(const double* pi, const Candidates& cand, int32_t from, double lo, double hi) {
    double d[kRowBlock];
    int32_t passed = 0;
    for (int32_t t = from; t < cand.count; t += kRowBlock) {
        const int32_t count = std::min(kRowBlock, cand.count - t);
        rowDistances(pi, cand, t, count, d);
        for (int32_t u = 0; u < count; ++u)
            passed += (lo < d[u]) & (d[u] < hi);
    }
    return passed;
}

// Writes the springs of mass i with the candidates from `from` on, in index
// order, from out on, numbered from index on. Returns how many.
int32_t fillRow(int32_t i, const double* pi, const Candidates& cand, int32_t from, double lo,
                double hi, double k, double damping, SimSpring* out, int32_t index) {
    double d[kRowBlock];
    SimSpring* at = out;
    for (int32_t t = from; t < cand.count; t += kRowBlock) {
        const int32_t count = std::min(kRowBlock, cand.count - t);
        rowDistances(pi, cand, t, count, d);
        for (int32_t u = 0; u < count; ++u) {
            if (!(lo < d[u] && d[u] < hi)) continue;
            *at++ = SimSpring{k, damping, d[u], i, cand.index[t + u], index++, kSpringKind};
        }
    }
    return static_cast<int32_t>(at - out);
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
    if (!springable(masses[i].pos) || !springable(masses[j].pos)) return;
    if (simAddSpring(t->oid, i, j, d, t->k, t->damping, kSpringKind) >= 0) ++t->added;
}

// One spring at a time through simAddSpring: what is left when the grid's
// memory cannot be had.
int addOneByOne(int oid, double lo, double hi, double k, double damping) {
    SpringTarget target{oid, k, damping, 0};
    const SimObject& obj = simWorld.objects[oid];
    simBandPairs(obj.masses, obj.nMasses, lo, hi, addSpring, &target);
    return target.added;
}

// One pass over the rows: the finite masses in the grid's order, cell by
// cell, cut into tasks of consecutive rows for the build's threads. For every
// mass i that may have springs, visit(candidates, i, position of i, first
// candidate above i) returns its springs; each row writes only its own
// results, so the order in which rows run changes nothing. The caller's
// thread reports progress over [shareFrom, shareTo) of the build with the
// springs counted so far.
template <typename Visit>
void forEachRow(const Grid& g, const SimMass* masses, Candidates* cand, int threads,
                const char* stage, double shareFrom, double shareTo, Visit visit) {
    const int tasks = threads > 1 ? kTasksPerThread * threads : 1;
    std::atomic<int32_t> rowsDone{0};
    std::atomic<int64_t> springsDone{0};
    auto task = [&](int t, int worker) {
        const int32_t begin = static_cast<int32_t>(int64_t{g.m} * t / tasks);
        const int32_t end = static_cast<int32_t>(int64_t{g.m} * (t + 1) / tasks);
        int64_t springs = 0;
        for (int32_t p = begin; p < end; ++p) {
            const int32_t i = g.packed[p].index;
            if (springable(masses[i].pos)) {
                gatherCandidates(g, g.cellOf[i], cand[worker]);
                const Candidates& c = cand[worker];
                const auto above = std::upper_bound(c.index, c.index + c.count, i) - c.index;
                springs += visit(c, i, masses[i].pos, static_cast<int32_t>(above));
            }
            if (worker == 0 && simProgressHook)
                simProgressReport(
                    stage, shareFrom + (shareTo - shareFrom) * (rowsDone + (p - begin) + 1) / g.m,
                    springsDone + springs);
        }
        rowsDone += end - begin;
        springsDone += springs;
    };
    simParallelEach(tasks, threads, task);
}

// Has the memory of the new springs mapped before they are written (large
// pages, all at once: see platPrepareBlock), a slice at a time so that
// progress can be told; on memory the system has to find first, a gigabyte
// can take seconds.
void prepareSprings(SimSpring* first, int64_t count, double shareFrom, double shareTo,
                    int64_t found) {
    char* const begin = reinterpret_cast<char*>(first);
    const size_t bytes = static_cast<size_t>(count) * sizeof(SimSpring);
    size_t done = 0;
    while (done < bytes) {
        const size_t left = bytes - done;
        const size_t slice = left < 2 * kPrepareSlice ? left : kPrepareSlice;
        platPrepareBlock(begin + done, slice);
        done += slice;
        if (simProgressHook)
            simProgressReport(kPrepareStage,
                              shareFrom + (shareTo - shareFrom) * static_cast<double>(done) /
                                              static_cast<double>(bytes),
                              found);
    }
}

// A build this large takes seconds and may not fit: whoever watches a
// terminal is told its size, and the room there is, before it is asked for.
void tellLargeBuild(int64_t springs) {
    const int64_t bytes = springs * static_cast<int64_t>(sizeof(SimSpring));
    if (bytes <= kTellBuildBytes || !platStderrIsTerminal()) return;
    const PlatMemoryRoom room = platMemoryRoom();
    // On a line of its own: a progress line may stand unfinished.
    std::fprintf(stderr, "\r\033[KBuilding %lld springs: %.2f GB", static_cast<long long>(springs),
                 static_cast<double>(bytes) / kBytesPerGB);
    if (room.bytes != INT64_MAX)
        std::fprintf(stderr, ", %.2f GB available (%s)",
                     static_cast<double>(room.bytes) / kBytesPerGB, room.limit);
    std::fprintf(stderr, "\n");
}

} // namespace

int simAddBandSprings(int oid, double lo, double hi, double k, double damping) {
    if (!simValidOid(oid)) return 0;
    const SimObject& obj = simWorld.objects[oid];
    const SimMass* masses = obj.masses;
    const int32_t n = obj.nMasses;
    if (n < 2 || !masses || !(hi > 0.0) || !(lo < hi)) return 0;
    Grid g;
    if (!gridAxes(masses, n, hi, g)) return 0;

    // Extra room: the springs of each mass, then where they start; and the
    // candidates (coordinates, index, scratch) of each thread.
    const int threads = std::clamp(simParallelBuildThreads(), 1, g.m);
    const size_t um = static_cast<size_t>(g.m);
    const size_t un = static_cast<size_t>(n);
    const size_t perThread = // whole lines, so that each thread's doubles stay aligned
        (um * (3 * sizeof(double) + sizeof(Packed) + sizeof(int32_t)) + 63) / 64 * 64;
    char* extra = nullptr;
    if (!gridBuild(masses, n, g, un * sizeof(int64_t) + perThread * threads, &extra))
        return addOneByOne(oid, lo, hi, k, damping);
    int64_t* start = reinterpret_cast<int64_t*>(extra);
    Candidates cand[SIM_MAX_BUILD_THREADS];
    for (int t = 0; t < threads; ++t) {
        Candidates& c = cand[t];
        c.x = reinterpret_cast<double*>(extra + un * sizeof(int64_t) + perThread * t);
        c.y = c.x + um;
        c.z = c.y + um;
        c.scratch = reinterpret_cast<Packed*>(c.z + um);
        c.index = reinterpret_cast<int32_t*>(c.scratch + um);
        c.cell = -1;
    }
    for (int32_t c = 0; c < g.nCells; ++c) // found now: the threads only read them
        gridNeighbours(g, c);

    // Pass 1: how many springs each mass starts.
    std::memset(start, 0, un * sizeof(int64_t));
    forEachRow(g, masses, cand, threads, kCountStage, 0.0, kCountShare,
               [&](const Candidates& cands, int32_t i, const double* pi, int32_t from) {
                   return start[i] = countRow(pi, cands, from, lo, hi);
               });
    // Each mass's springs start where those of the masses below it end.
    int64_t total = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int64_t mine = start[i];
        start[i] = total;
        total += mine;
    }

    int added = 0;
    if (total > 0) {
        const int32_t first = obj.nSprings;
        tellLargeBuild(total);
        SimSpring* out = simReserveSprings(oid, total);
        if (!out) {
            added = -1;
        } else {
            const double filling = kCountShare + kPrepareShare;
            prepareSprings(out, total, kCountShare, filling, total);
            // Pass 2: the same tests again, writing.
            forEachRow(g, masses, cand, threads, kFillStage, filling, 1.0,
                       [&](const Candidates& cands, int32_t i, const double* pi, int32_t from) {
                           return fillRow(i, pi, cands, from, lo, hi, k, damping, out + start[i],
                                          first + static_cast<int32_t>(start[i]));
                       });
            simCommitSprings(oid, static_cast<int32_t>(total));
            added = static_cast<int>(total);
        }
    }
    std::free(g.block);
    simProgressDone();
    return added;
}
