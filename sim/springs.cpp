// The spring phase's seam: it chooses the vector path once, keeps a plan per
// object keyed on what the plan was made from, builds the tiles for it and
// hands the decision to the planner; a phase runs what the plan says.
#include "sim/springs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/progress.h"
#include "sim/parallel.h"
#include "sim/springs_kernels.h"
#include "sim/springs_planner.h"
#include "sim/springs_testing.h"
#include "sim/springs_tiles.h"
#include "sim/world.h"

namespace {

// ---------------------------------------------------------------------------
// Vector paths
// ---------------------------------------------------------------------------
const char* const kPathNames[SIM_PATH_COUNT] = {"scalar", "sse2", "neon", "avx2", "avx512"};
// The kernels of this architecture; the others are not built.
#if defined(__x86_64__)
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesScalar, springTilesSse2, nullptr,
                                                   springTilesAvx2, springTilesAvx512};
#elif defined(__aarch64__)
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesScalar, nullptr, springTilesNeon,
                                                   nullptr, nullptr};
#else
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesScalar};
#endif

bool cpuHas(SimSpringPath path) {
    if (path < 0 || path >= SIM_PATH_COUNT || !kKernels[path]) return false;
#if defined(__x86_64__)
    if (path == SIM_PATH_AVX2) return __builtin_cpu_supports("avx2");
    if (path == SIM_PATH_AVX512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#endif
    return true;
}

SimSpringPath widestPath() {
    for (int path = SIM_PATH_COUNT - 1; path > SIM_PATH_SCALAR; --path)
        if (cpuHas(static_cast<SimSpringPath>(path))) return static_cast<SimSpringPath>(path);
    return SIM_PATH_SCALAR;
}

// The path every processor of this architecture runs: ZIBBET_ISA's "baseline".
SimSpringPath baselinePath() {
    for (int path = SIM_PATH_SCALAR + 1; path < SIM_PATH_AVX2; ++path)
        if (cpuHas(static_cast<SimSpringPath>(path))) return static_cast<SimSpringPath>(path);
    return SIM_PATH_SCALAR;
}

// ZIBBET_ISA forces a path; one that this processor lacks, or a name that is
// not a path, is refused on stderr and the widest available runs instead.
// forced: the variable named a path that runs.
SimSpringPath choosePath(bool* forced) {
    const SimSpringPath widest = widestPath();
    *forced = false;
    const char* wanted = std::getenv("ZIBBET_ISA");
    if (!wanted || !*wanted) return widest;
    for (int i = 0; i <= SIM_PATH_COUNT; ++i) {
        const bool baseline = i == SIM_PATH_COUNT;
        if (std::strcmp(wanted, baseline ? "baseline" : kPathNames[i]) != 0) continue;
        const SimSpringPath path = baseline ? baselinePath() : static_cast<SimSpringPath>(i);
        *forced = cpuHas(path);
        if (*forced) return path;
        std::fprintf(stderr,
                     "zibbet: ZIBBET_ISA=%s: this processor cannot run that path; using %s\n",
                     wanted, kPathNames[widest]);
        return widest;
    }
    std::fprintf(stderr,
                 "zibbet: ZIBBET_ISA=%s is not one of baseline, scalar, sse2, neon, avx2, avx512; "
                 "using %s\n",
                 wanted, kPathNames[widest]);
    return widest;
}

// The settings and counters.
struct Settings {
    bool made = false;
    SimSpringPath path = SIM_PATH_SCALAR; // ZIBBET_ISA's, or the widest
    bool onlyPath = false;                // the planner times the tiles on `path` only
    int threads = 1;
    bool forced = false; // every phase runs `way`
    SimSpringWay way;
    uint64_t epoch = 0; // moves with every change: plans of an earlier one are stale
};
Settings settings;

Settings& current() {
    if (!settings.made) {
        settings.path = choosePath(&settings.onlyPath);
        settings.made = true;
    }
    return settings;
}

SimSpringsCounters counters;

// ---------------------------------------------------------------------------
// Plans
// ---------------------------------------------------------------------------

// What the tiles were built from: any change builds them and the plan anew.
// A change of settings alone (the threads) makes only the plan anew, over the
// same tiles.
struct PlanKey {
    uint64_t stamp = 0;
    const SimSpring* springs = nullptr;
    const SimMass* masses = nullptr;
    int32_t nSprings = -1;
    int32_t nMasses = -1;
    bool operator==(const PlanKey&) const = default;
};

struct ObjectPlan {
    PlanKey key;
    uint64_t epoch = ~uint64_t{0}; // the settings' when the plan was made
    bool tried = false;            // the tiles were built, or cannot be, for this key
    SpringTiling tiling;
    SpringPlan plan;
    bool ran = false; // a phase ran `last`
    SimSpringWay last;
    // The tiles' memory: what was asked for before they were built, and what
    // they, the plan's cursors and the packed copy held; when they could not
    // be had, the room there was and the limit that gave it.
    int64_t bytes = 0;
    int64_t held = 0;
    bool refused = false;
    int64_t available = -1;
    const char* limit = "";
};

std::vector<std::unique_ptr<ObjectPlan>> plans; // by oid

constexpr const char* kAllocatorRefused = "the allocator refused it";

PlanKey keyOf(const SimObject& obj) {
    return PlanKey{obj.stamp, obj.springs, obj.masses, obj.nSprings, obj.nMasses};
}

// Tiles this large are weighed against the memory the process can still get
// before they are built: Linux would grant them and kill the process when
// they are first written. Reading the limits costs a few system calls.
constexpr int64_t kCheckedTilingBytes = int64_t{1} << 20;

// Tiles that cannot be had leave the object on the general loop, which gives
// the same bits: the world is whole, so nothing is noted against it; the plan
// keeps why, for whoever reports the run.
void refuseTiles(ObjectPlan& entry, int64_t available, const char* limit) {
    entry.tiling = SpringTiling{};
    entry.refused = true;
    entry.available = available;
    entry.limit = limit;
}

// The tiles, where the springs' order allows them. They are counted first,
// and their bytes, the plan's cursors' and the packed copy's are asked for
// before any is allocated.
void buildTiles(const SimObject& obj, ObjectPlan& entry) {
    SpringTilingSize size;
    try {
        if (!springTilingCount(obj, size)) return;
    } catch (const std::bad_alloc&) {
        entry.bytes = static_cast<int64_t>(size.massBlocks) * static_cast<int64_t>(sizeof(int32_t));
        refuseTiles(entry, -1, kAllocatorRefused);
        return;
    }
    const int64_t cursors = static_cast<int64_t>(size.spans.size() * sizeof(int32_t));
    entry.bytes = springTilingBytes(size) + cursors + springPackedBytes(size.massBlocks);
    if (entry.bytes >= kCheckedTilingBytes) {
        const PlatMemoryRoom room = platMemoryRoom();
        if (entry.bytes > room.bytes) return refuseTiles(entry, room.bytes, room.limit);
    }
    try {
        springTilingBuild(obj, size, entry.tiling, simParallelBuildThreads());
        if (!springPackedReserve(entry.tiling.massBlocks)) throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
        return refuseTiles(entry, -1, kAllocatorRefused);
    }
    entry.held = springTilingHeld(entry.tiling) + cursors +
                 springPackedBytes(entry.tiling.massBlocks);
}

// Fresh: the springs changed, and the tiles are built anew. Otherwise the
// settings did, and the ways timed before on the same tiles are not timed
// again.
void makePlan(const SimObject& obj, ObjectPlan& entry, bool fresh, double progressFrom,
              double progressTo) {
    const Settings& s = current();
    const SimSpringsPlanFigures known = entry.plan.figures;
    if (fresh) {
        entry = ObjectPlan{};
        entry.key = keyOf(obj);
    }
    entry.epoch = s.epoch;
    ++counters.plansMade;
    const bool wanted = !(s.forced && s.way.layout == SIM_LAYOUT_GENERAL);
    if (wanted && !entry.tried) {
        entry.tried = true;
        buildTiles(obj, entry);
    }
    SpringPlanRequest request;
    request.tiling = wanted && !entry.tiling.tiles.empty() ? &entry.tiling : nullptr;
    request.known = fresh ? nullptr : &known;
    request.kernels = kKernels;
    // The scalar tiles only where no vector path runs, or when asked for.
    for (int p = 0; p < SIM_PATH_COUNT; ++p)
        request.paths[p] = s.onlyPath ? p == s.path
                                      : cpuHas(static_cast<SimSpringPath>(p)) &&
                                            (p != SIM_PATH_SCALAR || s.path == SIM_PATH_SCALAR);
    request.threads = s.threads;
    request.forced = s.forced ? &s.way : nullptr;
    request.progressFrom = progressFrom;
    request.progressTo = progressTo;
    try {
        springPlanMake(obj, request, entry.plan);
    } catch (const std::bad_alloc&) { // the grid or the general loop's copy: the records serve
        entry.plan = SpringPlan{};
        refuseTiles(entry, -1, kAllocatorRefused);
    }
    if (!entry.plan.tiling && !entry.tiling.tiles.empty()) { // built again when wanted
        entry.tiling = SpringTiling{};
        entry.tried = false;
    }
}

ObjectPlan* planFor(int oid, const SimObject& obj, double progressFrom = 0.0,
                    double progressTo = 0.0) {
    if (plans.size() < static_cast<size_t>(SIM_MAX_OBJECTS)) plans.resize(SIM_MAX_OBJECTS);
    std::unique_ptr<ObjectPlan>& slot = plans[static_cast<size_t>(oid)];
    if (!slot) slot = std::unique_ptr<ObjectPlan>(new (std::nothrow) ObjectPlan);
    if (!slot) return nullptr;
    const bool fresh = !(slot->key == keyOf(obj));
    if (fresh || slot->epoch != settings.epoch) makePlan(obj, *slot, fresh, progressFrom, progressTo);
    return slot.get();
}

const ObjectPlan* planOf(int oid) {
    if (oid < 0 || static_cast<size_t>(oid) >= plans.size()) return nullptr;
    return plans[static_cast<size_t>(oid)].get();
}

SimObject* withSprings(int oid) {
    if (!simValidOid(oid)) return nullptr;
    SimObject& obj = simWorld.objects[oid];
    if (!obj.masses || obj.nMasses < 1 || !obj.springs || obj.nSprings < 1) return nullptr;
    return &obj;
}

} // namespace

// ---------------------------------------------------------------------------
// The phase, its plans, settings and readings
// ---------------------------------------------------------------------------
void simSpringsApply(int oid) {
    SimObject* obj = withSprings(oid);
    if (!obj) return;
    ObjectPlan* entry = planFor(oid, *obj);
    if (!entry) {
        springsGeneral(*obj);
        return;
    }
    const int threads = springPlanRun(*obj, entry->plan);
    entry->ran = true;
    entry->last = entry->plan.way;
    entry->last.threads = threads;
    if (entry->plan.tiling) ++counters.tiledPhases;
    if (threads > 1) ++counters.threadedPhases;
}

void simSpringsPrepare(int oid) {
    const SimObject* obj = withSprings(oid);
    if (obj) planFor(oid, *obj);
}

void simSpringsPrepareAll() {
    int64_t total = 0;
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        if (withSprings(oid)) total += simWorld.objects[oid].nSprings;
    if (total == 0) return;
    int64_t done = 0;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        const SimObject* obj = withSprings(oid);
        if (!obj) continue;
        const double from = static_cast<double>(done) / static_cast<double>(total);
        done += obj->nSprings;
        planFor(oid, *obj, from, static_cast<double>(done) / static_cast<double>(total));
    }
    simProgressDone();
}

SimSpringPath simSpringsPath() {
    return current().path;
}

int simSpringsThreads() {
    return current().threads;
}

void simSpringsSetThreads(int count) {
    const int threads = std::clamp(count, 1, SIM_MAX_SPRING_THREADS);
    if (threads == current().threads) return;
    settings.threads = threads;
    if (threads == 1) simParallelStop();
    ++current().epoch;
}

SimSpringsCounters simSpringsCounters() {
    return counters;
}

SimSpringsPlanFigures simSpringsPlanOf(int oid) {
    const ObjectPlan* entry = planOf(oid);
    if (!entry) return SimSpringsPlanFigures{};
    SimSpringsPlanFigures figures = entry->plan.figures;
    figures.planBytes = entry->bytes;
    figures.heldBytes = entry->held;
    figures.planRefused = entry->refused;
    figures.availableBytes = entry->available;
    figures.limit = entry->limit;
    return figures;
}

const char* simSpringsPathName(SimSpringPath path) {
    return path >= 0 && path < SIM_PATH_COUNT ? kPathNames[path] : "?";
}

bool simSpringsPathSupported(SimSpringPath path) {
    return cpuHas(path);
}

void simSpringsRelease() {
    simParallelStop();
    plans.clear();
    plans.shrink_to_fit();
    springPackedRelease();
}

// ---------------------------------------------------------------------------
// For tests and benchmarks
// ---------------------------------------------------------------------------
void springsTestForce(const SimSpringWay* way) {
    Settings& s = current();
    s.forced = way && cpuHas(way->path);
    if (s.forced) {
        s.way = *way;
        s.way.threads = std::clamp(way->threads, 1, SIM_MAX_SPRING_THREADS);
    }
    ++current().epoch;
}

void springsTestReset() {
    const uint64_t epoch = current().epoch;
    settings = Settings{};
    current().epoch = epoch + 1;
    simParallelStop();
}

bool springsTestLastWay(int oid, SimSpringWay* way) {
    const ObjectPlan* entry = planOf(oid);
    if (!entry || !entry->ran) return false;
    *way = entry->last;
    return true;
}

int64_t springsTestStreamedBytes(int oid) {
    const ObjectPlan* entry = planOf(oid);
    return entry && entry->plan.tiling ? springTilingStreamed(*entry->plan.tiling) : 0;
}
