// The spring phase: the choice of vector path, the per-object plans, the
// packed copy of the masses, the general batched loop, and the worker threads
// that the headless runner may ask for.
//
// Sections: constants; vector paths; general loop; plans; packed copy;
// threads; the phase.
#include "sim/springs.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "sim/springs_kernels.h"
#include "sim/world.h"

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------
namespace {

constexpr double kSpringForceDivisor = 1000.0; // the spring force is N / 1000
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr int kSpringBatch = 16; // general loop: springs per batch, small enough to overlap
constexpr int kLanes = kSpringTileMasses;

// Below this share of filled cells the tiles compute mostly empty lanes and
// the general loop is faster. Measured on lattice bodies against the general
// loop, per path: break-even near 0.3 of the cells for the scalar kernel, 0.2
// for AVX2 and 0.1 for AVX-512 (a body with ~9 springs per mass fills about a
// ninth of its cells, the moon 78%).
constexpr double kMinTileFill[SIM_PATH_COUNT] = {0.3, 0.2, 0.12};

// Threads. A waiting thread spins for a while (a hand-over or the next phase
// comes soon while a run goes on), then yields its processor to whatever else
// wants it, and sleeps on a futex only after a long wait: waking a thread from
// a sleep takes this machine up to milliseconds, and a yield can cost a time
// slice when another process wants the processor. With more threads than
// processors a spinning thread would hold back the one it waits for, so it
// spins only briefly.
constexpr int64_t kSpinNanos = 2000000;      // 2 ms
constexpr int64_t kCrowdedSpinNanos = 20000; // 20 us, more threads than processors
constexpr int64_t kYieldNanos = 50000000;    // then 50 ms of yielding
constexpr int kPartsPerThread = 4;           // more parts than threads: work to pick from
// Threads help only while the machine has processors to spare: the phase
// keeps the recent time of a run with and without its threads and takes the
// faster, trying the other one now and then, less often each time the try
// confirms the choice (a try on a busy machine can cost milliseconds).
constexpr int kFirstProbe = 16;     // phases before the slower way is tried again
constexpr int kLastProbe = 1024;    // the longest interval between tries
constexpr double kTimeWeight = 0.3; // weight of the newest time in a way's average
// Costs in the model of a grid, in units of one cell's work (about 0.7 ns).
constexpr double kBlockCost = 24.0; // a cell block beyond its cells
constexpr double kVisitCost = 14.0; // a tile's visit to a segment (about 9 ns)
// A visit whose cells come from memory rather than cache starts with misses
// (measured: about 250 ns more on the 25M-spring sphere).
constexpr double kMemoryVisitCost = 400.0;
constexpr size_t kCachedPlanBytes = size_t{16} << 20; // plans up to this size stay in L3
constexpr double kHandOverCost = 300.0;               // a task passing to another thread
constexpr double kTaskCost = 1500.0; // a task's own start: taking it, its rows and columns
constexpr int kSegmentChoices[] = {2, 4, 8, 16, 32, 64};

} // namespace

// ---------------------------------------------------------------------------
// Vector paths
// ---------------------------------------------------------------------------
namespace {

const char* const kPathNames[SIM_PATH_COUNT] = {"baseline", "avx2", "avx512"};
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesBaseline, springTilesAvx2,
                                                   springTilesAvx512};
int activePath = -1; // chosen on first use

bool cpuHas(int path) {
    if (path == SIM_PATH_BASELINE) return true;
#if defined(__x86_64__)
    if (path == SIM_PATH_AVX2) return __builtin_cpu_supports("avx2");
    if (path == SIM_PATH_AVX512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#endif
    return false;
}

int widestPath() {
    for (int path = SIM_PATH_COUNT - 1; path > SIM_PATH_BASELINE; --path)
        if (cpuHas(path)) return path;
    return SIM_PATH_BASELINE;
}

// ZIBBET_ISA forces a path; one that this processor lacks, or a name that is
// not a path, is refused on stderr and the widest available runs instead.
int choosePath() {
    const int widest = widestPath();
    const char* wanted = std::getenv("ZIBBET_ISA");
    if (!wanted || !*wanted) return widest;
    for (int path = 0; path < SIM_PATH_COUNT; ++path) {
        if (std::strcmp(wanted, kPathNames[path]) != 0) continue;
        if (cpuHas(path)) return path;
        std::fprintf(stderr,
                     "zibbet: ZIBBET_ISA=%s: this processor cannot run that path; using %s\n",
                     wanted, kPathNames[widest]);
        return widest;
    }
    std::fprintf(stderr, "zibbet: ZIBBET_ISA=%s is not one of baseline, avx2, avx512; using %s\n",
                 wanted, kPathNames[widest]);
    return widest;
}

} // namespace

int simSpringsPath() {
    if (activePath < 0) activePath = choosePath();
    return activePath;
}

const char* simSpringsPathName(int path) {
    return path >= 0 && path < SIM_PATH_COUNT ? kPathNames[path] : "?";
}

bool simSpringsPathSupported(int path) {
    return cpuHas(path);
}

bool simSpringsUsePath(int path) {
    if (!cpuHas(path)) return false;
    activePath = path;
    return true;
}

// ---------------------------------------------------------------------------
// General loop
//
// For a spring from A (end a) to B (end b):
//   d = A.pos - B.pos, L = |d|, r = (dv.d) / L with dv = A.vel - B.vel,
//   N = (rest - L) * k - r * damping, f = N / (L * 1000),
//   A.acc += d * f / A.mass, B.acc -= d * f / B.mass (free ends only).
// Positions and velocities do not change in this phase, so the per-spring
// values of a batch are computed first, over plain arrays the compiler can
// vectorise, and only then added to the ends in spring order: each mass
// receives exactly the same additions in the same order as in a one-spring-
// at-a-time loop, so the bits are the same. This loop takes springs in any
// order, with any mix of constants.
// ---------------------------------------------------------------------------
namespace {

bool validIndex(int32_t i, int32_t count) {
    return static_cast<uint32_t>(i) < static_cast<uint32_t>(count);
}

// One batch: the end differences gathered from the masses, then the law's
// results.
struct SpringBatch {
    double dx[kSpringBatch], dy[kSpringBatch], dz[kSpringBatch]; // d = A.pos - B.pos
    double vx[kSpringBatch], vy[kSpringBatch], vz[kSpringBatch]; // dv = A.vel - B.vel
    double rest[kSpringBatch], k[kSpringBatch], damping[kSpringBatch];
    double len[kSpringBatch]; // L
    double f[kSpringBatch];   // N / (L * 1000)
};

// A spring with an end outside the mass array is read as if both its ends
// were mass 0: length 0, which the scatter skips.
void gatherSprings(const SimSpring* __restrict springs, int count, const SimMass* __restrict m,
                   int32_t nMasses, SpringBatch& __restrict bt) {
    for (int i = 0; i < count; ++i) {
        const SimSpring& s = springs[i];
        const bool valid = validIndex(s.a, nMasses) && validIndex(s.b, nMasses);
        const SimMass& a = m[valid ? s.a : 0];
        const SimMass& b = m[valid ? s.b : 0];
        bt.dx[i] = a.pos[0] - b.pos[0];
        bt.dy[i] = a.pos[1] - b.pos[1];
        bt.dz[i] = a.pos[2] - b.pos[2];
        bt.vx[i] = a.vel[0] - b.vel[0];
        bt.vy[i] = a.vel[1] - b.vel[1];
        bt.vz[i] = a.vel[2] - b.vel[2];
        bt.rest[i] = s.rest;
        bt.k[i] = s.k;
        bt.damping[i] = s.damping;
    }
}

// The law for spring i of the batch. Coincident ends give NaN here; the
// scatter never lets it reach a mass.
inline void springLaw(SpringBatch& __restrict bt, int i) {
    const double dx = bt.dx[i], dy = bt.dy[i], dz = bt.dz[i];
    const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
    const double r = (bt.vx[i] * dx + bt.vy[i] * dy + bt.vz[i] * dz) / len;
    const double n = (bt.rest[i] - len) * bt.k[i] - r * bt.damping[i];
    bt.len[i] = len;
    bt.f[i] = n / (len * kSpringForceDivisor);
}

// A whole batch: a fixed trip count lets the compiler vectorise the square
// roots and divisions at every optimisation level.
void springLawFull(SpringBatch& __restrict bt) {
    for (int i = 0; i < kSpringBatch; ++i)
        springLaw(bt, i);
}

void springLawPart(int count, SpringBatch& __restrict bt) {
    for (int i = 0; i < count; ++i)
        springLaw(bt, i);
}

// Adds the batch's forces d * f / mass to the free ends, in spring order.
// Springs that share their first end come in runs (a body's springs are made
// pair by pair from each mass); that end's acc is carried in registers
// through the run, which is the same sequence of additions as going through
// memory each time, since no spring that adds anything has its second end
// equal to its first. Dividing by a mass of exactly 1.0 changes no bit, so
// that common case skips the division.
void scatterSprings(const SimSpring* __restrict springs, const SpringBatch& __restrict bt,
                    int count, SimMass* __restrict m) {
    int i = 0;
    while (i < count) {
        // Skipped springs (coincident or invalid ends, overflowed length)
        // touch nothing, not even their first end.
        const double len0 = bt.len[i];
        if (!(len0 > 0.0 && len0 < kInfinity)) {
            ++i;
            continue;
        }
        const int32_t first = springs[i].a;
        SimMass& a = m[first];
        const bool freeA = !(a.flags & SIMF_FIXED);
        const double ma = a.mass;
        double ax = a.acc[0], ay = a.acc[1], az = a.acc[2];
        for (; i < count && springs[i].a == first; ++i) {
            // Coincident ends give no direction: such a spring rests this
            // step. A length that overflowed is dropped as well, so that no
            // infinity or NaN enters a mass from here.
            const double len = bt.len[i];
            if (!(len > 0.0 && len < kInfinity)) continue;
            const double f = bt.f[i];
            const double fx = bt.dx[i] * f, fy = bt.dy[i] * f, fz = bt.dz[i] * f;
            if (freeA) {
                if (ma == 1.0) {
                    ax += fx;
                    ay += fy;
                    az += fz;
                } else {
                    ax += fx / ma;
                    ay += fy / ma;
                    az += fz / ma;
                }
            }
            SimMass& b = m[springs[i].b];
            if (!(b.flags & SIMF_FIXED)) {
                const double mb = b.mass;
                if (mb == 1.0) {
                    b.acc[0] -= fx;
                    b.acc[1] -= fy;
                    b.acc[2] -= fz;
                } else {
                    b.acc[0] -= fx / mb;
                    b.acc[1] -= fy / mb;
                    b.acc[2] -= fz / mb;
                }
            }
        }
        a.acc[0] = ax;
        a.acc[1] = ay;
        a.acc[2] = az;
    }
}

void generalSprings(SimObject& obj) {
    SpringBatch batch;
    for (int32_t base = 0; base < obj.nSprings; base += kSpringBatch) {
        const int count = obj.nSprings - base < kSpringBatch ? obj.nSprings - base : kSpringBatch;
        const SimSpring* springs = obj.springs + base;
        gatherSprings(springs, count, obj.masses, obj.nMasses, batch);
        if (count == kSpringBatch) {
            springLawFull(batch);
        } else {
            springLawPart(count, batch);
        }
        scatterSprings(springs, batch, count, obj.masses);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Plans
// ---------------------------------------------------------------------------
namespace {

// How the threads share a tiled object: the tiles are cut into parts of
// consecutive first ends and the mass blocks into segments of columns. Task
// (k, s) runs the cells of part k in segment s; it follows tasks (k - 1, s)
// and (k, s - 1). The first lead[k] segments of part k lie left of its first
// rows: nothing to do there.
struct TaskGrid {
    int threads = 0;
    std::vector<int32_t> partTiles; // parts + 1 bounds, in tiles
    std::vector<int32_t> segment;   // segments + 1 bounds, in mass blocks
    std::vector<int32_t> lead;      // per part
    int parts() const { return static_cast<int>(partTiles.size()) - 1; }
    int segments() const { return static_cast<int>(segment.size()) - 1; }
};

struct Plan {
    // What the plan was made from: any change rebuilds it.
    uint64_t stamp = 0;
    const SimSpring* springs = nullptr;
    const SimMass* masses = nullptr;
    int32_t nSprings = -1;
    int32_t nMasses = -1;
    int layoutSetting = -1;

    int layout = SIM_LAYOUT_GENERAL; // TILED when the tiles are built
    int lastLayout = -1;             // what the phase last ran
    double fill = 0.0;               // share of the cell blocks' cells that hold a spring
    int32_t nBlocks = 0;             // mass blocks
    std::vector<SpringTile> tiles;
    std::vector<SpringBlock> blocks;
    std::vector<double> rest, k, damping; // per cell, padded by a block; k, damping when mixed
    double kAll = 0.0, dampingAll = 0.0;
    bool uniform = true;
    TaskGrid grid;
    std::vector<int32_t> next;      // per tile: the next cell block to run in this phase
    double wayTime[2] = {0.0, 0.0}; // recent phase time on one thread, on the threads
    int sinceProbe = 0;
    int probeEvery = kFirstProbe;
    int probing = -1; // the way being tried, or -1

    SpringTiles view() const {
        SpringTiles v;
        v.tiles = tiles.data();
        v.nTiles = static_cast<int32_t>(tiles.size());
        v.blocks = blocks.data();
        v.nBlocks = static_cast<int32_t>(blocks.size());
        v.nCells = static_cast<int32_t>(rest.size()) - kLanes;
        v.rest = rest.data();
        v.k = uniform ? nullptr : k.data();
        v.damping = uniform ? nullptr : damping.data();
        v.kAll = kAll;
        v.dampingAll = dampingAll;
        return v;
    }
};

std::vector<std::unique_ptr<Plan>> plans; // by oid
int layoutSetting = SIM_LAYOUT_AUTO;

bool sameBits(double x, double y) {
    return std::memcmp(&x, &y, sizeof x) == 0;
}

// A spring that never acts: an end outside the array, or both ends on one
// mass (length 0, or NaN for a position that is not finite).
bool inert(const SimSpring& s, int32_t nMasses) {
    return !validIndex(s.a, nMasses) || !validIndex(s.b, nMasses) || s.a == s.b;
}

// Cells of one tile: counted per column block, laid out in ascending blocks,
// each block's cells in spring order, which is row by row, columns ascending.
// perBlock and cursor are scratch, zero on entry and on return.
void addTile(const SimObject& obj, Plan& plan, int32_t p, int32_t sBegin, int32_t sEnd,
             std::vector<int32_t>& perBlock, std::vector<int32_t>& touched,
             std::vector<size_t>& cursor) {
    SpringTile tile;
    tile.p = p;
    tile.blockBegin = static_cast<int32_t>(plan.blocks.size());
    touched.clear();
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        if (perBlock[static_cast<size_t>(q)]++ == 0) touched.push_back(q);
    }
    std::sort(touched.begin(), touched.end());
    size_t cellAt = plan.rest.size();
    cursor.resize(touched.size());
    for (size_t rank = 0; rank < touched.size(); ++rank) {
        const size_t q = static_cast<size_t>(touched[rank]);
        SpringBlock blk{};
        blk.q = touched[rank];
        blk.cellAt = static_cast<int32_t>(cellAt);
        cursor[rank] = cellAt;
        cellAt += static_cast<size_t>(perBlock[q]);
        perBlock[q] = static_cast<int32_t>(rank); // from here on: the block's rank
        plan.blocks.push_back(blk);
    }
    tile.blockEnd = static_cast<int32_t>(plan.blocks.size());
    plan.rest.resize(cellAt);
    if (!plan.uniform) {
        plan.k.resize(cellAt);
        plan.damping.resize(cellAt);
    }
    // Second pass, over springs still in cache: the cells in spring order.
    for (int32_t s = sBegin; s < sEnd; ++s) {
        const SimSpring& sp = obj.springs[s];
        if (inert(sp, obj.nMasses)) continue;
        const int32_t q = sp.b / kLanes;
        const size_t rank = static_cast<size_t>(perBlock[static_cast<size_t>(q)]);
        SpringBlock& blk = plan.blocks[static_cast<size_t>(tile.blockBegin) + rank];
        const int32_t i = sp.a % kLanes, j = sp.b % kLanes;
        blk.present |= uint64_t{1} << (kLanes * i + j);
        blk.presentT |= uint64_t{1} << (kLanes * j + i);
        const size_t cell = cursor[rank]++;
        plan.rest[cell] = sp.rest;
        if (!plan.uniform) {
            plan.k[cell] = sp.k;
            plan.damping[cell] = sp.damping;
        }
    }
    for (int32_t q : touched)
        perBlock[static_cast<size_t>(q)] = 0;
    plan.tiles.push_back(tile);
}

// The tiled layout fits when the acting springs have a < b and strictly
// increase in (a, b); then the springs of a tile are consecutive. One pass
// over the spring array checks that while it builds the tiles, and finds
// whether all springs share k and damping. False when the layout does not
// fit or no spring acts.
bool buildTiles(const SimObject& obj, Plan& plan) {
    plan.nBlocks = (obj.nMasses + kLanes - 1) / kLanes;
    std::vector<int32_t> perBlock(static_cast<size_t>(plan.nBlocks), 0);
    std::vector<int32_t> touched;
    std::vector<size_t> cursor;
    // Never more cells than springs: one allocation, no copies as it fills.
    plan.rest.reserve(static_cast<size_t>(obj.nSprings) + kLanes);
    platPrepareBlock(plan.rest.data(), plan.rest.capacity() * sizeof(double));
    int32_t lastA = -1, lastB = -1;
    bool any = false;
    int32_t s = 0;
    while (s < obj.nSprings) {
        if (inert(obj.springs[s], obj.nMasses)) {
            ++s;
            continue;
        }
        const int32_t p = obj.springs[s].a / kLanes;
        const bool wasUniform = plan.uniform;
        int32_t e = s;
        for (; e < obj.nSprings; ++e) {
            const SimSpring& sp = obj.springs[e];
            if (inert(sp, obj.nMasses)) continue;
            if (sp.a / kLanes != p) break;
            if (sp.a > sp.b || sp.a < lastA || (sp.a == lastA && sp.b <= lastB)) return false;
            lastA = sp.a;
            lastB = sp.b;
            if (!any) {
                plan.kAll = sp.k;
                plan.dampingAll = sp.damping;
                plan.uniform = true;
                any = true;
            } else if (!sameBits(sp.k, plan.kAll) || !sameBits(sp.damping, plan.dampingAll)) {
                plan.uniform = false;
            }
        }
        // The first spring that differs: the cells so far all had kAll.
        if (wasUniform && !plan.uniform) {
            plan.k.reserve(plan.rest.capacity());
            plan.damping.reserve(plan.rest.capacity());
            plan.k.assign(plan.rest.size(), plan.kAll);
            plan.damping.assign(plan.rest.size(), plan.dampingAll);
        }
        addTile(obj, plan, p, s, e, perBlock, touched, cursor);
        s = e;
    }
    // The kernels read whole blocks of cell values: pad by one.
    plan.rest.resize(plan.rest.size() + kLanes, 0.0);
    if (!plan.uniform) {
        plan.k.resize(plan.k.size() + kLanes, 0.0);
        plan.damping.resize(plan.damping.size() + kLanes, 0.0);
    }
    return any;
}

void clearPlan(Plan& plan) {
    plan.layout = SIM_LAYOUT_GENERAL;
    plan.lastLayout = -1;
    plan.fill = 0.0;
    plan.nBlocks = 0;
    plan.tiles = {};
    plan.blocks = {};
    plan.rest = {};
    plan.k = {};
    plan.damping = {};
    plan.uniform = true;
    plan.grid = TaskGrid{};
    plan.next = {};
    plan.wayTime[0] = plan.wayTime[1] = 0.0;
    plan.sinceProbe = 0;
    plan.probeEvery = kFirstProbe;
    plan.probing = -1;
}

void buildPlan(const SimObject& obj, Plan& plan) {
    clearPlan(plan);
    plan.stamp = obj.stamp;
    plan.springs = obj.springs;
    plan.masses = obj.masses;
    plan.nSprings = obj.nSprings;
    plan.nMasses = obj.nMasses;
    plan.layoutSetting = layoutSetting;
    if (layoutSetting == SIM_LAYOUT_GENERAL) return;
    if (!buildTiles(obj, plan)) {
        clearPlan(plan);
        return;
    }
    plan.layout = SIM_LAYOUT_TILED;
    plan.next.resize(plan.tiles.size());
    const double cells = static_cast<double>(plan.rest.size() - kLanes);
    const double room = static_cast<double>(plan.blocks.size()) * kLanes * kLanes;
    plan.fill = room > 0.0 ? cells / room : 0.0;
}

Plan& planFor(int oid, const SimObject& obj) {
    if (plans.size() < static_cast<size_t>(SIM_MAX_OBJECTS)) plans.resize(SIM_MAX_OBJECTS);
    std::unique_ptr<Plan>& slot = plans[static_cast<size_t>(oid)];
    if (!slot) slot = std::make_unique<Plan>();
    Plan& plan = *slot;
    if (plan.stamp != obj.stamp || plan.springs != obj.springs || plan.masses != obj.masses ||
        plan.nSprings != obj.nSprings || plan.nMasses != obj.nMasses ||
        plan.layoutSetting != layoutSetting)
        buildPlan(obj, plan);
    return plan;
}

} // namespace

// ---------------------------------------------------------------------------
// Packed copy
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
    SpringPacked pk{};
};
PackedStore packed;

bool reservePacked(int32_t nBlocks) {
    const size_t masses = static_cast<size_t>(nBlocks) * kLanes;
    if (masses <= packed.masses && packed.block) return true;
    const size_t rowBytes = masses * sizeof(double);
    const size_t bitsBytes =
        (static_cast<size_t>(nBlocks) + kVectorAlign - 1) / kVectorAlign * kVectorAlign;
    void* block = std::aligned_alloc(kVectorAlign, kPackedRows * rowBytes + 2 * bitsBytes);
    if (!block) return false;
    packed.block.reset(block);
    packed.masses = masses;
    double* rows = static_cast<double*>(block);
    double** fields[kPackedRows] = {&packed.pk.px, &packed.pk.py,  &packed.pk.pz, &packed.pk.vx,
                                    &packed.pk.vy, &packed.pk.vz,  &packed.pk.ax, &packed.pk.ay,
                                    &packed.pk.az, &packed.pk.mass};
    for (int r = 0; r < kPackedRows; ++r)
        *fields[r] = rows + static_cast<size_t>(r) * masses;
    uint8_t* bits = reinterpret_cast<uint8_t*>(rows + kPackedRows * masses);
    packed.pk.freeBits = bits;
    packed.pk.unitBits = bits + bitsBytes;
    return true;
}

// Positions, velocities and increments into rows; fixed and unit-mass bits
// read afresh each step, since flags and masses may be edited between steps.
void packIn(const SimObject& obj, int32_t nBlocks) {
    const SpringPacked& pk = packed.pk;
    uint8_t* freeBits = const_cast<uint8_t*>(pk.freeBits);
    uint8_t* unitBits = const_cast<uint8_t*>(pk.unitBits);
    std::memset(freeBits, 0, static_cast<size_t>(nBlocks));
    std::memset(unitBits, 0, static_cast<size_t>(nBlocks));
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
        if (m.mass == 1.0) unitBits[i / kLanes] |= bit;
    }
    // Padding: a fixed unit mass at rest at the origin.
    for (int32_t i = n; i < nBlocks * kLanes; ++i) {
        pk.px[i] = pk.py[i] = pk.pz[i] = 0.0;
        pk.vx[i] = pk.vy[i] = pk.vz[i] = 0.0;
        pk.ax[i] = pk.ay[i] = pk.az[i] = 0.0;
        pk.mass[i] = 1.0;
        unitBits[i / kLanes] |= static_cast<uint8_t>(1u << (i % kLanes));
    }
}

void packOut(SimObject& obj) {
    const SpringPacked& pk = packed.pk;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        m.acc[0] = pk.ax[i];
        m.acc[1] = pk.ay[i];
        m.acc[2] = pk.az[i];
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Threads
//
// Every mass block receives its cell blocks in the order of the one-thread run
// (see springs_kernels.h) as long as, for each column, the parts of earlier
// first ends come first, and for each part, its segments come in order: task
// (k, s) after tasks (k - 1, s) and (k, s - 1). Two tasks that may run at once
// never touch the same mass: task (k, s) writes the columns of segment s and
// the rows of part k that lie left of segment s's end; a task (k', s') with
// k' < k and s' > s writes only later columns and earlier rows, one with
// k' > k and s' < s only earlier columns and later rows. Threads take ready
// tasks, lowest part first, so no thread waits on another that is slow or
// holds no processor while work that it could do is left.
// ---------------------------------------------------------------------------
namespace {

// A part's progress in a phase: generation << 32 | segments. Tagged with the
// phase, so that a thread late from the last phase takes nothing of the next.
struct alignas(64) PartState {
    std::atomic<uint64_t> claimed{0}; // tasks taken
    std::atomic<uint64_t> done{0};    // tasks finished
};

struct Job {
    Plan* plan = nullptr;
    SpringTiles view{};
    SpringPacked pk{};
    SpringTileKernel kernel = nullptr;
};

constexpr int kMaxParts = kPartsPerThread * SIM_MAX_SPRING_THREADS;

// A phase is open while its tasks may be taken. The caller closes it once
// every task is done and returns only when no worker is inside it any more,
// so that nothing of the phase (plan, packed rows) is touched after the phase.
struct Pool {
    std::vector<std::thread> workers;
    std::atomic<uint64_t> phase{0}; // generation << 1 | open
    std::atomic<int32_t> inside{0}; // workers inside an open phase
    std::atomic<bool> stop{false};
    alignas(64) std::atomic<uint32_t> events{0}; // one more for every finished task
    Job job;
    PartState parts[kMaxParts];
    ~Pool();
};
Pool pool;
int threadSetting = 1;
bool keepThreads = false; // run on the threads even when one thread is faster
int64_t tiledPhases = 0;  // phases of tiled objects, and of them on the threads
int64_t threadedPhases = 0;
std::atomic<int64_t> spinNanos{kSpinNanos}; // set with the threads

inline void cpuRelax() {
#if defined(__x86_64__)
    _mm_pause();
#endif
}

// Waits until value != old: spins, then yields, then sleeps on the futex.
template <typename T> void awaitChange(const std::atomic<T>& value, T old) {
    const int64_t start = platCounter();
    for (int round = 0;; ++round) {
        if (value.load(std::memory_order_acquire) != old) return;
        cpuRelax();
        if (round % 64 == 0 && platCounter() - start > spinNanos.load(std::memory_order_relaxed))
            break;
    }
    while (platCounter() - start < spinNanos.load(std::memory_order_relaxed) + kYieldNanos) {
        if (value.load(std::memory_order_acquire) != old) return;
        std::this_thread::yield();
    }
    while (value.load(std::memory_order_acquire) == old)
        value.wait(old, std::memory_order_acquire);
}

uint64_t tagged(uint32_t generation, int32_t count) {
    return uint64_t{generation} << 32 | static_cast<uint32_t>(count);
}

int32_t countOf(uint64_t state) {
    return static_cast<int32_t>(state & 0xffffffffu);
}

bool ofPhase(uint64_t state, uint32_t generation) {
    return static_cast<uint32_t>(state >> 32) == generation;
}

enum class Find { kTask, kNone, kOver };

// Takes the ready task of the lowest part: kTask with it, kNone when none is
// ready now, kOver when every task of the phase is done (or the phase is gone).
Find takeTask(uint32_t generation, int* part, int32_t* segment) {
    const TaskGrid& grid = pool.job.plan->grid;
    const int32_t segments = grid.segments();
    bool allDone = true;
    int32_t before = segments; // tasks finished by the part before (all, for part 0)
    for (int k = 0; k < grid.parts(); ++k) {
        const uint64_t done = pool.parts[k].done.load(std::memory_order_acquire);
        if (!ofPhase(done, generation)) return Find::kOver;
        const int32_t d = countOf(done);
        const int32_t after = before;
        before = d;
        if (d == segments) continue;
        allDone = false;
        if (after <= d) continue; // waits for the part before
        uint64_t claimed = tagged(generation, d);
        if (pool.parts[k].claimed.compare_exchange_strong(claimed, tagged(generation, d + 1),
                                                          std::memory_order_acq_rel)) {
            *part = k;
            *segment = d;
            return Find::kTask;
        }
    }
    return allDone ? Find::kOver : Find::kNone;
}

void runTask(uint32_t generation, int k, int32_t s) {
    const Job& job = pool.job;
    const TaskGrid& grid = job.plan->grid;
    const int32_t tileBegin = grid.partTiles[static_cast<size_t>(k)];
    const int32_t tileEnd = grid.partTiles[static_cast<size_t>(k) + 1];
    job.kernel(job.view, job.pk, tileBegin, tileEnd, grid.segment[static_cast<size_t>(s) + 1],
               job.plan->next.data() + tileBegin);
    pool.parts[k].done.store(tagged(generation, s + 1), std::memory_order_release);
    pool.events.fetch_add(1, std::memory_order_acq_rel);
    pool.events.notify_all();
}

// Runs ready tasks of the phase until all are done.
void runTasks(uint32_t generation) {
    for (;;) {
        const uint32_t seen = pool.events.load(std::memory_order_acquire);
        int k = 0;
        int32_t s = 0;
        const Find found = takeTask(generation, &k, &s);
        if (found == Find::kOver) return;
        if (found == Find::kTask) {
            runTask(generation, k, s);
        } else {
            awaitChange(pool.events, seen);
        }
    }
}

// `seen` is the phase word when the worker was made: it joins every later
// open phase.
void workerLoop(uint64_t seen) {
    for (;;) {
        awaitChange(pool.phase, seen);
        seen = pool.phase.load(std::memory_order_acquire);
        if (pool.stop.load(std::memory_order_acquire)) return;
        if (!(seen & 1u)) continue;
        pool.inside.fetch_add(1, std::memory_order_seq_cst);
        if (pool.phase.load(std::memory_order_seq_cst) == seen)
            runTasks(static_cast<uint32_t>(seen >> 1));
        pool.inside.fetch_sub(1, std::memory_order_release);
    }
}

void stopWorkers() {
    if (pool.workers.empty()) return;
    pool.stop.store(true, std::memory_order_release);
    pool.phase.fetch_add(2, std::memory_order_acq_rel);
    pool.phase.notify_all();
    for (std::thread& w : pool.workers)
        w.join();
    pool.workers.clear();
    pool.stop.store(false, std::memory_order_release);
}

Pool::~Pool() {
    stopWorkers();
}

void ensureWorkers(int threads) {
    if (static_cast<int>(pool.workers.size()) == threads - 1) return;
    stopWorkers();
    const uint64_t now = pool.phase.load(std::memory_order_acquire);
    for (int t = 1; t < threads; ++t)
        pool.workers.emplace_back(workerLoop, now);
}

// The modelled time of a phase on `threads` threads that take ready tasks,
// lowest part first; cost[k * segments + s] is task (k, s)'s work.
double modelGrid(const std::vector<double>& cost, const std::vector<int32_t>& lead, int parts,
                 int32_t segments, int threads) {
    std::vector<double> finish(cost.size(), 0.0);
    std::vector<int32_t> next(lead.begin(), lead.end());
    std::vector<double> free(static_cast<size_t>(threads), 0.0);
    int64_t left = 0;
    for (int k = 0; k < parts; ++k)
        left += segments - lead[static_cast<size_t>(k)];
    double end = 0.0;
    auto at = [segments](int k, int32_t s) { return static_cast<size_t>(k) * segments + s; };
    for (; left > 0; --left) {
        const size_t t =
            static_cast<size_t>(std::min_element(free.begin(), free.end()) - free.begin());
        int pick = -1;
        double pickReady = 0.0;
        for (int k = 0; k < parts; ++k) {
            const int32_t s = next[static_cast<size_t>(k)];
            if (s == segments) continue;
            // A task whose predecessor in the part before is not yet placed
            // cannot be placed before it.
            if (k > 0 && next[static_cast<size_t>(k) - 1] <= s &&
                lead[static_cast<size_t>(k) - 1] <= s)
                continue;
            double ready = 0.0;
            if (k > 0 && s >= lead[static_cast<size_t>(k) - 1])
                ready = finish[at(k - 1, s)] + kHandOverCost;
            if (s > lead[static_cast<size_t>(k)]) ready = std::max(ready, finish[at(k, s - 1)]);
            if (pick < 0 || (ready <= free[t] ? pickReady > free[t] : ready < pickReady)) {
                pick = k;
                pickReady = ready;
            }
        }
        const int32_t s = next[static_cast<size_t>(pick)]++;
        const double start = std::max(free[t], pickReady);
        finish[at(pick, s)] = start + cost[at(pick, s)];
        free[t] = finish[at(pick, s)];
        end = std::max(end, free[t]);
    }
    return end;
}

// Parts of equal modelled cost, segments of `width` mass blocks, and each
// task's cost.
void buildGrid(const Plan& plan, int parts, int32_t width, double visitCost, TaskGrid& grid,
               std::vector<double>& cost) {
    const size_t nTiles = plan.tiles.size();
    grid.segment.clear();
    for (int32_t q = 0; q < plan.nBlocks; q += width)
        grid.segment.push_back(q);
    grid.segment.push_back(plan.nBlocks);
    const int32_t segments = grid.segments();
    // Per tile and segment: its cells and blocks, then whether it visits.
    std::vector<double> tileCost(nTiles * static_cast<size_t>(segments), 0.0);
    double total = 0.0;
    for (size_t t = 0; t < nTiles; ++t) {
        const SpringTile& tile = plan.tiles[t];
        for (int32_t b = tile.blockBegin; b < tile.blockEnd; ++b) {
            const SpringBlock& blk = plan.blocks[static_cast<size_t>(b)];
            const double c = kBlockCost + static_cast<double>(std::popcount(blk.present));
            tileCost[t * static_cast<size_t>(segments) + static_cast<size_t>(blk.q / width)] += c;
            total += c;
        }
    }
    grid.partTiles.assign(1, 0);
    double sum = 0.0;
    for (size_t t = 0; t < nTiles; ++t) {
        for (int32_t s = 0; s < segments; ++s)
            sum += tileCost[t * static_cast<size_t>(segments) + static_cast<size_t>(s)];
        const int made = static_cast<int>(grid.partTiles.size());
        if (made < parts && sum >= total * made / parts && t + 1 < nTiles)
            grid.partTiles.push_back(static_cast<int32_t>(t) + 1);
    }
    grid.partTiles.push_back(static_cast<int32_t>(nTiles));
    grid.lead.clear();
    cost.assign(static_cast<size_t>(grid.parts()) * segments, 0.0);
    for (int k = 0; k < grid.parts(); ++k) {
        const int32_t first =
            plan.tiles[static_cast<size_t>(grid.partTiles[static_cast<size_t>(k)])].p;
        int32_t lead = 0;
        while (lead < segments && grid.segment[static_cast<size_t>(lead) + 1] <= first)
            ++lead;
        grid.lead.push_back(lead);
        for (int32_t t = grid.partTiles[static_cast<size_t>(k)];
             t < grid.partTiles[static_cast<size_t>(k) + 1]; ++t)
            for (int32_t s = lead; s < segments; ++s) {
                const double c =
                    tileCost[static_cast<size_t>(t) * segments + static_cast<size_t>(s)];
                cost[static_cast<size_t>(k) * segments + static_cast<size_t>(s)] +=
                    c + (c > 0.0 ? visitCost : 0.0);
            }
        for (int32_t s = lead; s < segments; ++s)
            cost[static_cast<size_t>(k) * segments + static_cast<size_t>(s)] += kTaskCost;
    }
}

// The part count and segment width that the model finds fastest.
void prepareGrid(Plan& plan, int threads) {
    const size_t planBytes = plan.rest.size() * sizeof(double) * (plan.uniform ? 1 : 3) +
                             plan.blocks.size() * sizeof(SpringBlock);
    const double visitCost = planBytes > kCachedPlanBytes ? kMemoryVisitCost : kVisitCost;
    const int nTiles = static_cast<int>(plan.tiles.size());
    TaskGrid best;
    double bestTime = 0.0;
    std::vector<double> cost;
    for (const int perThread : {1, 2, kPartsPerThread}) {
        const int parts = std::min(nTiles, perThread * threads);
        for (const int segments : kSegmentChoices) {
            const int32_t width = std::max<int32_t>(1, (plan.nBlocks + segments - 1) / segments);
            TaskGrid grid;
            buildGrid(plan, parts, width, visitCost, grid, cost);
            const double time = modelGrid(cost, grid.lead, grid.parts(), grid.segments(), threads);
            if (best.segment.empty() || time < bestTime) {
                bestTime = time;
                best = grid;
            }
            if (width == 1) break;
        }
    }
    best.threads = threads;
    plan.grid = best;
}

// The grid for this many threads and the workers to run it: made once, and
// outside the phase's timing, which would otherwise charge them to the
// threads' first phase and keep the threads off for long after.
void readyThreads(Plan& plan, int threads) {
    if (plan.grid.threads != threads) prepareGrid(plan, threads);
    ensureWorkers(threads);
}

void runThreads(Plan& plan, SpringTileKernel kernel, int threads) {
    readyThreads(plan, threads);
    const TaskGrid& grid = plan.grid;
    pool.job.plan = &plan;
    pool.job.view = plan.view();
    pool.job.pk = packed.pk;
    pool.job.kernel = kernel;
    for (size_t t = 0; t < plan.tiles.size(); ++t)
        plan.next[t] = plan.tiles[t].blockBegin;
    const uint32_t generation =
        static_cast<uint32_t>(pool.phase.load(std::memory_order_relaxed) >> 1) + 1;
    for (int k = 0; k < grid.parts(); ++k) {
        const uint64_t start = tagged(generation, grid.lead[static_cast<size_t>(k)]);
        pool.parts[k].claimed.store(start, std::memory_order_relaxed);
        pool.parts[k].done.store(start, std::memory_order_relaxed);
    }
    const uint64_t open = uint64_t{generation} << 1 | 1u;
    pool.phase.store(open, std::memory_order_seq_cst);
    pool.phase.notify_all();
    runTasks(generation);
    pool.phase.store(open & ~uint64_t{1}, std::memory_order_seq_cst);
    while (pool.inside.load(std::memory_order_seq_cst) != 0)
        cpuRelax();
}

} // namespace

int simSpringsSetThreads(int n) {
    threadSetting = std::clamp(n, 1, SIM_MAX_SPRING_THREADS);
    spinNanos.store(threadSetting > platProcessorCount() ? kCrowdedSpinNanos : kSpinNanos,
                    std::memory_order_relaxed);
    if (threadSetting == 1) stopWorkers();
    return threadSetting;
}

void simSpringsKeepThreads(bool keep) {
    keepThreads = keep;
}

int64_t simSpringsThreadedPhases() {
    return threadedPhases;
}

int64_t simSpringsTiledPhases() {
    return tiledPhases;
}

int simSpringsThreads() {
    return threadSetting;
}

// ---------------------------------------------------------------------------
// The phase
// ---------------------------------------------------------------------------
namespace {

// 1 to run the phase on the threads, 0 on the calling thread alone: each way
// is timed once, then the faster one runs and the other is tried now and then.
// (Unless the threads are to be kept.)
int chooseWay(Plan& plan) {
    if (keepThreads) return 1;
    if (plan.wayTime[1] == 0.0) return 1;
    if (plan.wayTime[0] == 0.0) return 0;
    const int faster = plan.wayTime[1] < plan.wayTime[0] ? 1 : 0;
    if (++plan.sinceProbe < plan.probeEvery) return faster;
    plan.sinceProbe = 0;
    plan.probing = 1 - faster;
    return plan.probing;
}

// After a phase that took `nanos` the given way.
void timeWay(Plan& plan, int way, double nanos) {
    double& time = plan.wayTime[way];
    time = time == 0.0 ? nanos : (1.0 - kTimeWeight) * time + kTimeWeight * nanos;
    if (plan.probing < 0) return;
    // A try that did not change the choice makes the next one come later.
    const bool changed = (plan.wayTime[1] < plan.wayTime[0] ? 1 : 0) == plan.probing;
    plan.probeEvery = changed ? kFirstProbe : std::min(2 * plan.probeEvery, kLastProbe);
    plan.probing = -1;
}

} // namespace

void simSpringsApply(int oid) {
    if (!simValidOid(oid)) return;
    SimObject& obj = simWorld.objects[oid];
    if (!obj.masses || obj.nMasses < 1 || !obj.springs || obj.nSprings < 1) return;
    Plan& plan = planFor(oid, obj);
    const int path = simSpringsPath();
    const bool tiles = plan.layout == SIM_LAYOUT_TILED &&
                       (layoutSetting == SIM_LAYOUT_TILED || plan.fill >= kMinTileFill[path]) &&
                       reservePacked(plan.nBlocks);
    plan.lastLayout = tiles ? SIM_LAYOUT_TILED : SIM_LAYOUT_GENERAL;
    if (!tiles) {
        generalSprings(obj);
        return;
    }
    packIn(obj, plan.nBlocks);
    const SpringTileKernel kernel = kKernels[path];
    const int32_t nTiles = static_cast<int32_t>(plan.tiles.size());
    const int threads = std::min<int>(threadSetting, nTiles);
    const int way = threads > 1 ? chooseWay(plan) : 0;
    ++tiledPhases;
    threadedPhases += way;
    if (way == 1) readyThreads(plan, threads);
    const int64_t start = platCounter();
    if (way == 1) {
        runThreads(plan, kernel, threads);
    } else {
        for (int32_t t = 0; t < nTiles; ++t)
            plan.next[static_cast<size_t>(t)] = plan.tiles[static_cast<size_t>(t)].blockBegin;
        kernel(plan.view(), packed.pk, 0, nTiles, plan.nBlocks, plan.next.data());
    }
    if (threads > 1) timeWay(plan, way, static_cast<double>(platCounter() - start));
    packOut(obj);
}

void simSpringsPrepare(int oid) {
    if (!simValidOid(oid)) return;
    const SimObject& obj = simWorld.objects[oid];
    if (!obj.masses || obj.nMasses < 1 || !obj.springs || obj.nSprings < 1) return;
    planFor(oid, obj);
}

void simSpringsSetLayout(int layout) {
    layoutSetting = layout;
}

int simSpringsLayoutOf(int oid) {
    if (oid < 0 || static_cast<size_t>(oid) >= plans.size() || !plans[static_cast<size_t>(oid)])
        return -1;
    return plans[static_cast<size_t>(oid)]->lastLayout;
}

int64_t simSpringsStreamedBytes(int oid) {
    if (simSpringsLayoutOf(oid) != SIM_LAYOUT_TILED) return 0;
    const Plan& plan = *plans[static_cast<size_t>(oid)];
    const size_t cells = plan.rest.size() - kLanes;
    const size_t perCell = sizeof(double) * (plan.uniform ? 1 : 3);
    return static_cast<int64_t>(plan.tiles.size() * sizeof(SpringTile) +
                                plan.blocks.size() * sizeof(SpringBlock) + cells * perCell);
}

void simSpringsRelease() {
    stopWorkers();
    plans.clear();
    plans.shrink_to_fit();
    packed.block.reset();
    packed.masses = 0;
    packed.pk = SpringPacked{};
}
