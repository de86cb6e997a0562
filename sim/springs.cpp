// The spring phase's seam: it chooses the vector path once, keeps a plan per
// object keyed on what the plan was made from, and runs a phase as pack, then
// kernel, then unpack (or the general loop on the records).
#include "sim/springs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"
#include "sim/springs_plan.h"
#include "sim/springs_threads.h"
#include "sim/world.h"

namespace {

constexpr int kLanes = kSpringTileMasses;

// Below this share of filled cells the tiles compute mostly empty lanes and
// the general loop is faster; per path, as measured on lattice bodies against
// the general loop.
constexpr double kMinTileFill[SIM_PATH_COUNT] = {0.3, 0.2, 0.12};

// ---------------------------------------------------------------------------
// Vector paths
// ---------------------------------------------------------------------------
const char* const kPathNames[SIM_PATH_COUNT] = {"baseline", "avx2", "avx512"};
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesBaseline, springTilesAvx2,
                                                   springTilesAvx512};

bool cpuHas(SimSpringPath path) {
    if (path == SIM_PATH_BASELINE) return true;
#if defined(__x86_64__)
    if (path == SIM_PATH_AVX2) return __builtin_cpu_supports("avx2");
    if (path == SIM_PATH_AVX512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#endif
    return false;
}

SimSpringPath widestPath() {
    for (int path = SIM_PATH_COUNT - 1; path > SIM_PATH_BASELINE; --path)
        if (cpuHas(static_cast<SimSpringPath>(path))) return static_cast<SimSpringPath>(path);
    return SIM_PATH_BASELINE;
}

// ZIBBET_ISA forces a path; one that this processor lacks, or a name that is
// not a path, is refused on stderr and the widest available runs instead.
SimSpringPath choosePath() {
    const SimSpringPath widest = widestPath();
    const char* wanted = std::getenv("ZIBBET_ISA");
    if (!wanted || !*wanted) return widest;
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        if (std::strcmp(wanted, kPathNames[i]) != 0) continue;
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

// The settings, the path chosen on first use.
SimSpringsConfig config;
bool pathChosen = false;

const SimSpringsConfig& settings() {
    if (!pathChosen) {
        config.path = choosePath();
        pathChosen = true;
    }
    return config;
}

int64_t tiledPhases = 0; // phases of tiled objects, and of them on the threads
int64_t threadedPhases = 0;

// ---------------------------------------------------------------------------
// Plans
// ---------------------------------------------------------------------------

// What a plan was made from: any change rebuilds it.
struct PlanKey {
    uint64_t stamp = 0;
    const SimSpring* springs = nullptr;
    const SimMass* masses = nullptr;
    int32_t nSprings = -1;
    int32_t nMasses = -1;
    SimSpringLayout layout = SIM_LAYOUT_NONE;
    bool operator==(const PlanKey&) const = default;
};

struct Plan {
    PlanKey key;
    bool tiled = false; // the layout was built
    SpringLayout layout;
    double fill = 0.0;
    SpringSchedule schedule;
    std::vector<int32_t> next; // per tile: the next cell block to run in this phase
    SimSpringLayout lastLayout = SIM_LAYOUT_NONE;
};

std::vector<std::unique_ptr<Plan>> plans; // by oid

PlanKey keyOf(const SimObject& obj) {
    return PlanKey{obj.stamp, obj.springs, obj.masses, obj.nSprings, obj.nMasses, config.layout};
}

// A layout that cannot be had (no memory for it) leaves the object on the
// general loop, which gives the same bits.
void buildPlan(const SimObject& obj, Plan& plan) {
    plan = Plan{};
    plan.key = keyOf(obj);
    if (config.layout == SIM_LAYOUT_GENERAL) return;
    try {
        if (!springLayoutBuild(obj, plan.layout)) return;
        plan.next.resize(plan.layout.tiles.size());
    } catch (const std::bad_alloc&) {
        const PlanKey key = plan.key;
        plan = Plan{};
        plan.key = key;
        return;
    }
    plan.tiled = true;
    plan.fill = springLayoutFill(plan.layout);
}

Plan* planFor(int oid, const SimObject& obj) {
    if (plans.size() < static_cast<size_t>(SIM_MAX_OBJECTS)) plans.resize(SIM_MAX_OBJECTS);
    std::unique_ptr<Plan>& slot = plans[static_cast<size_t>(oid)];
    if (!slot) slot = std::unique_ptr<Plan>(new (std::nothrow) Plan);
    if (!slot) return nullptr;
    if (!(slot->key == keyOf(obj))) buildPlan(obj, *slot);
    return slot.get();
}

// ---------------------------------------------------------------------------
// Packed copy
// ---------------------------------------------------------------------------
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

bool reservePacked(int32_t massBlocks) {
    const size_t masses = static_cast<size_t>(massBlocks) * kLanes;
    if (masses <= packed.masses && packed.block) return true;
    const size_t rowBytes = masses * sizeof(double);
    const size_t bitsBytes =
        (static_cast<size_t>(massBlocks) + kVectorAlign - 1) / kVectorAlign * kVectorAlign;
    void* block = std::aligned_alloc(kVectorAlign, kPackedRows * rowBytes + 2 * bitsBytes);
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
    pk.unitBits = bits + bitsBytes;
    return true;
}

// Positions, velocities and increments into rows; fixed and unit-mass bits
// read afresh each step, since flags and masses may be edited between steps.
void packIn(const SimObject& obj, int32_t massBlocks) {
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

void packOut(SimObject& obj) {
    const SpringPacked& pk = packed.rows;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        m.acc[0] = pk.ax[i];
        m.acc[1] = pk.ay[i];
        m.acc[2] = pk.az[i];
    }
}

// ---------------------------------------------------------------------------
// The phase
// ---------------------------------------------------------------------------
bool runsTiled(const Plan& plan) {
    return plan.tiled &&
           (config.layout == SIM_LAYOUT_TILED || plan.fill >= kMinTileFill[config.path]) &&
           reservePacked(plan.layout.massBlocks);
}

void runTiled(SimObject& obj, Plan& plan) {
    const SpringLayout& layout = plan.layout;
    packIn(obj, layout.massBlocks);
    const SpringTileKernel kernel = kKernels[config.path];
    const int32_t nTiles = static_cast<int32_t>(layout.tiles.size());
    const int threads = std::min<int>(config.threads, nTiles);
    const SpringWay way = threads > 1
                              ? springThreadsChooseWay(plan.schedule, config.keepThreads)
                              : SpringWay::kOneThread;
    ++tiledPhases;
    if (way == SpringWay::kThreads) {
        ++threadedPhases;
        springThreadsPrepare(plan.schedule, layout, threads);
    }
    const int64_t start = platCounter();
    if (way == SpringWay::kThreads) {
        springThreadsRun(plan.schedule, layout, packed.rows, kernel, plan.next.data());
    } else {
        for (int32_t t = 0; t < nTiles; ++t)
            plan.next[static_cast<size_t>(t)] = layout.tiles[static_cast<size_t>(t)].blockBegin;
        kernel(springLayoutView(layout), packed.rows, 0, nTiles, layout.massBlocks,
               plan.next.data());
    }
    if (threads > 1)
        springThreadsTimeWay(plan.schedule, way, static_cast<double>(platCounter() - start));
    packOut(obj);
}

SimObject* withSprings(int oid) {
    if (!simValidOid(oid)) return nullptr;
    SimObject& obj = simWorld.objects[oid];
    if (!obj.masses || obj.nMasses < 1 || !obj.springs || obj.nSprings < 1) return nullptr;
    return &obj;
}

} // namespace

void simSpringsApply(int oid) {
    SimObject* obj = withSprings(oid);
    if (!obj) return;
    settings();
    Plan* plan = planFor(oid, *obj);
    if (plan && runsTiled(*plan)) {
        plan->lastLayout = SIM_LAYOUT_TILED;
        runTiled(*obj, *plan);
        return;
    }
    if (plan) plan->lastLayout = SIM_LAYOUT_GENERAL;
    springsGeneral(*obj);
}

void simSpringsPrepare(int oid) {
    const SimObject* obj = withSprings(oid);
    if (obj) planFor(oid, *obj);
}

SimSpringsConfig simSpringsConfig() {
    return settings();
}

bool simSpringsConfigure(const SimSpringsConfig& wanted) {
    settings();
    if (!cpuHas(wanted.path)) return false;
    config = wanted;
    config.threads = std::clamp(wanted.threads, 1, SIM_MAX_SPRING_THREADS);
    springThreadsSetCount(config.threads);
    return true;
}

SimSpringsStats simSpringsStats(int oid) {
    SimSpringsStats stats;
    stats.tiledPhases = tiledPhases;
    stats.threadedPhases = threadedPhases;
    if (oid < 0 || static_cast<size_t>(oid) >= plans.size() || !plans[static_cast<size_t>(oid)])
        return stats;
    const Plan& plan = *plans[static_cast<size_t>(oid)];
    stats.lastLayout = plan.lastLayout;
    if (plan.lastLayout == SIM_LAYOUT_TILED)
        stats.streamedBytes = springLayoutStreamed(plan.layout);
    return stats;
}

const char* simSpringsPathName(SimSpringPath path) {
    return path >= 0 && path < SIM_PATH_COUNT ? kPathNames[path] : "?";
}

bool simSpringsPathSupported(SimSpringPath path) {
    return cpuHas(path);
}

void simSpringsRelease() {
    springThreadsStop();
    plans.clear();
    plans.shrink_to_fit();
    packed.block.reset();
    packed.masses = 0;
    packed.rows = SpringPacked{};
}
