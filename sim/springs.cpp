// The spring phase's seam: it chooses the vector path once, keeps a plan per
// object keyed on what the plan was made from, and runs a phase as pack, then
// kernel, then unpack (or the general loop on the records).
#include "sim/springs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "sim/springs_kernels.h"
#include "sim/springs_packed.h"
#include "sim/springs_plan.h"
#include "sim/springs_planner.h"
#include "sim/springs_threads.h"
#include "sim/world.h"

namespace {

// ---------------------------------------------------------------------------
// Vector paths
// ---------------------------------------------------------------------------
const char* const kPathNames[SIM_PATH_COUNT] = {"baseline", "avx2", "avx512"};
const SpringTileKernel kKernels[SIM_PATH_COUNT] = {springTilesBaseline, springTilesAvx2,
                                                   springTilesAvx512};

bool cpuHas(SimSpringPath path) {
    if (path == SIM_PATH_BASELINE) return true;
#if defined(__x86_64__)
    // The wide kernels are built with -mpopcnt too; every such processor has it.
    if (!__builtin_cpu_supports("popcnt")) return false;
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
        const char* wanted = std::getenv("ZIBBET_ISA");
        config.planPaths = !wanted || std::strcmp(wanted, kPathNames[config.path]) != 0;
        pathChosen = true;
    }
    return config;
}

int64_t tiledPhases = 0; // phases of tiled objects, and of them on the threads
int64_t threadedPhases = 0;

// ---------------------------------------------------------------------------
// Plans
// ---------------------------------------------------------------------------

// What a plan was made from: any change rebuilds it. The settings are part
// of it: the planner chose among the ways they allowed.
struct PlanKey {
    uint64_t stamp = 0;
    const SimSpring* springs = nullptr;
    const SimMass* masses = nullptr;
    int32_t nSprings = -1;
    int32_t nMasses = -1;
    SimSpringLayout layout = SIM_LAYOUT_NONE;
    SimSpringPath path = SIM_PATH_BASELINE;
    bool planPaths = false;
    int threads = 0;
    bool operator==(const PlanKey&) const = default;
};

struct Plan {
    PlanKey key;
    bool tiled = false; // runs the tiles (else the general loop)
    SimSpringPath path = SIM_PATH_BASELINE;
    SpringLayout layout;
    SpringSchedule schedule;
    std::vector<int32_t> next; // per tile: the next cell block to run in this phase
    SpringPlanChoice choice;   // what the planner timed
    SimSpringLayout lastLayout = SIM_LAYOUT_NONE;
    int64_t bytes = 0;      // asked for before the layout was built
    int64_t held = 0;       // held by the layout, its cursors and the packed copy
    bool refused = false;   // the tiles could not be had
    int64_t available = -1; // then: bytes the process could still get, or -1
    const char* limit = ""; // then: the limit that applied
};

std::vector<std::unique_ptr<Plan>> plans; // by oid

constexpr const char* kAllocatorRefused = "the allocator refused it";

PlanKey keyOf(const SimObject& obj) {
    return PlanKey{obj.stamp,     obj.springs, obj.masses,       obj.nSprings,  obj.nMasses,
                   config.layout, config.path, config.planPaths, config.threads};
}

// A plan this large is weighed against the memory the process can still get
// before it is built: Linux would grant it and kill the process when it is
// first written. (Reading the limits costs a few system calls, once a plan.)
constexpr int64_t kCheckedPlanBytes = int64_t{1} << 20;

// A plan that cannot be had leaves the object on the general loop, which
// gives the same bits: the world is whole, so nothing is noted against it;
// the plan keeps why, for whoever reports the run.
void refusePlan(Plan& plan, int64_t available, const char* limit) {
    plan.layout = SpringLayout{};
    plan.next = std::vector<int32_t>{};
    plan.refused = true;
    plan.available = available;
    plan.limit = limit;
}

// The tiles where the springs' order allows them and the setting or the
// planner picks them. The layout is counted first, and its bytes, its
// cursors' and the packed copy's are asked for before any is allocated.
void buildPlan(const SimObject& obj, Plan& plan) {
    plan = Plan{};
    plan.key = keyOf(obj);
    plan.path = config.path;
    if (config.layout == SIM_LAYOUT_GENERAL) return;
    SpringLayoutSize size;
    try {
        if (!springLayoutCount(obj, size)) return;
    } catch (const std::bad_alloc&) {
        plan.bytes = static_cast<int64_t>(size.massBlocks) * static_cast<int64_t>(sizeof(int32_t));
        refusePlan(plan, -1, kAllocatorRefused);
        return;
    }
    plan.bytes = springLayoutBytes(size) + size.tiles * static_cast<int64_t>(sizeof(int32_t)) +
                 springPackedBytes(size.massBlocks);
    if (plan.bytes >= kCheckedPlanBytes) {
        const PlatMemoryRoom room = platMemoryRoom();
        if (plan.bytes > room.bytes) {
            refusePlan(plan, room.bytes, room.limit);
            return;
        }
    }
    try {
        if (!springLayoutBuild(obj, size, plan.layout)) return;
        plan.next.resize(plan.layout.tiles.size());
    } catch (const std::bad_alloc&) {
        refusePlan(plan, -1, kAllocatorRefused);
        return;
    }
    if (!springPackedReserve(plan.layout.massBlocks)) {
        refusePlan(plan, -1, kAllocatorRefused);
        return;
    }
    plan.held = springLayoutHeld(plan.layout) +
                static_cast<int64_t>(plan.next.capacity() * sizeof(int32_t)) +
                springPackedBytes(plan.layout.massBlocks);
    if (config.layout == SIM_LAYOUT_TILED) {
        plan.tiled = true;
        return;
    }
    SpringPlanRequest request;
    request.layout = &plan.layout;
    request.kernels = kKernels;
    for (int p = 0; p < SIM_PATH_COUNT; ++p)
        request.paths[p] =
            config.planPaths ? cpuHas(static_cast<SimSpringPath>(p)) : p == config.path;
    request.threads = config.threads;
    try {
        plan.choice = springPlan(obj, request, plan.schedule, plan.next.data());
    } catch (const std::exception&) { // the threads' grid or workers: one thread still serves
        plan.tiled = true;
        return;
    }
    const SimSpringCandidate& won = plan.choice.candidate[plan.choice.chosen];
    plan.tiled = won.layout == SIM_LAYOUT_TILED;
    plan.path = won.path;
    if (!plan.tiled) plan.layout = SpringLayout{};
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
// The phase
// ---------------------------------------------------------------------------
bool runsTiled(const Plan& plan) {
    return plan.tiled && springPackedReserve(plan.layout.massBlocks);
}

void runTiled(SimObject& obj, Plan& plan) {
    const SpringLayout& layout = plan.layout;
    springPackIn(obj, layout.massBlocks);
    const SpringTileKernel kernel = kKernels[plan.path];
    const int32_t nTiles = static_cast<int32_t>(layout.tiles.size());
    const int threads = std::min<int>(config.threads, nTiles);
    SpringWay way = threads > 1 ? springThreadsChooseWay(plan.schedule, config.keepThreads)
                                : SpringWay::kOneThread;
    if (way == SpringWay::kThreads) {
        try {
            springThreadsPrepare(plan.schedule, layout, threads);
        } catch (const std::exception&) { // no memory for the grid, or no thread to be had
            way = SpringWay::kOneThread;
        }
    }
    ++tiledPhases;
    if (way == SpringWay::kThreads) ++threadedPhases;
    const int64_t start = platCounter();
    if (way == SpringWay::kThreads) {
        springThreadsRun(plan.schedule, layout, springPackedRows(), kernel, plan.next.data());
    } else {
        for (int32_t t = 0; t < nTiles; ++t)
            plan.next[static_cast<size_t>(t)] = layout.tiles[static_cast<size_t>(t)].blockBegin;
        kernel(springLayoutView(layout), springPackedRows(), 0, nTiles, layout.massBlocks,
               plan.next.data());
    }
    if (threads > 1)
        springThreadsTimeWay(plan.schedule, way, static_cast<double>(platCounter() - start));
    springPackOut(obj);
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
    stats.path = plan.path;
    if (plan.lastLayout == SIM_LAYOUT_TILED)
        stats.streamedBytes = springLayoutStreamed(plan.layout);
    stats.candidates = plan.choice.candidates;
    std::copy(plan.choice.candidate, plan.choice.candidate + plan.choice.candidates,
              stats.candidate);
    stats.chosen = plan.choice.chosen;
    stats.planBytes = plan.bytes;
    stats.heldBytes = plan.held;
    stats.planRefused = plan.refused;
    stats.availableBytes = plan.available;
    stats.limit = plan.limit;
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
    springPackedRelease();
}
