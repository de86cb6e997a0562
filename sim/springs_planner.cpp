// The planner. Each way is run a few times on the object's springs and its
// fastest run kept. The first run of a way pays for cold caches, so a way
// runs at least twice unless its first run is far behind the best so far; no
// way runs longer than its budget beyond that.
#include "sim/springs_planner.h"

#include <algorithm>
#include <bit>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/progress.h"
#include "sim/parallel.h"
#include "sim/springs_tiles.h"
#include "sim/world.h"

namespace {

constexpr int kMinRuns = 2;
constexpr int kMaxRuns = 5;
constexpr double kBudgetNanos = 2e6; // per way, once it has run kMinRuns times
constexpr double kHopeless = 2.0;    // a first run this many times the best stops at once
const char* const kPlanStage = "Making spring plans";

// The grid: more parts than threads, so that a thread whose next part waits
// on the part above finds another; twice as many segments as parts, so that
// a part follows the one above it closely and the last column of tasks, which
// runs part after part, is short.
constexpr int kPartsPerThread = 4;
constexpr int kSegmentsPerPart = 2;

double nanosSince(int64_t start) {
    return static_cast<double>(platCounter() - start) * 1e9 /
           static_cast<double>(platCounterFrequency());
}

// Runs `once` until the way has had its runs or its budget; its fastest run.
template <typename Run> double timeWay(Run&& once, double best) {
    double fastest = 0.0, spent = 0.0;
    for (int run = 0; run < kMaxRuns; ++run) {
        const int64_t start = platCounter();
        once();
        const double nanos = nanosSince(start);
        fastest = run == 0 ? nanos : std::min(fastest, nanos);
        spent += nanos;
        if (run == 0 && best > 0.0 && nanos > kHopeless * best) break;
        if (run + 1 >= kMinRuns && spent >= kBudgetNanos) break;
    }
    return fastest;
}

double bestOf(const SimSpringsPlanFigures& f) {
    return f.chosen < 0 ? 0.0 : f.way[f.chosen].nanos;
}

void add(SimSpringsPlanFigures& figures, SimSpringLayout layout, SimSpringPath path, int threads,
         double nanos) {
    if (figures.ways == SIM_MAX_SPRING_WAYS) return;
    SimSpringWay& w = figures.way[figures.ways];
    w.layout = layout;
    w.path = path;
    w.threads = threads;
    w.nanos = nanos;
    if (figures.chosen < 0 || nanos < bestOf(figures)) figures.chosen = figures.ways;
    ++figures.ways;
}

// The tiles cut for `threads` threads: parts of about equal cells, and
// segments of equal width.
void cutGrid(const SpringTiling& tiling, int threads, SpringGrid& grid) {
    const int32_t nTiles = static_cast<int32_t>(tiling.tiles.size());
    const int parts = std::min({nTiles, kPartsPerThread * threads, SIM_MAX_GRID_ROWS});
    int64_t total = 0;
    for (const SpringBlock& blk : tiling.blocks)
        total += std::popcount(blk.present);
    grid.partTiles.assign(1, 0);
    int64_t sum = 0;
    for (int32_t t = 0; t + 1 < nTiles; ++t) {
        const SpringTile& tile = tiling.tiles[static_cast<size_t>(t)];
        for (int32_t b = tile.blockBegin; b < tile.blockEnd; ++b)
            sum += std::popcount(tiling.blocks[static_cast<size_t>(b)].present);
        const int made = static_cast<int>(grid.partTiles.size());
        if (made < parts && sum * parts >= total * made) grid.partTiles.push_back(t + 1);
    }
    grid.partTiles.push_back(nTiles);
    const int32_t segments = std::min(tiling.massBlocks, kSegmentsPerPart * parts);
    const int32_t width = (tiling.massBlocks + segments - 1) / segments;
    grid.segment.clear();
    for (int32_t q = 0; q < tiling.massBlocks; q += width)
        grid.segment.push_back(q);
    grid.segment.push_back(tiling.massBlocks);
    grid.firstSegment.clear();
    for (size_t part = 0; part + 1 < grid.partTiles.size(); ++part) {
        const int32_t firstRow = tiling.tiles[static_cast<size_t>(grid.partTiles[part])].p;
        int32_t first = 0;
        while (grid.segment[static_cast<size_t>(first) + 1] <= firstRow)
            ++first;
        grid.firstSegment.push_back(first);
    }
}

// What a task of the threads' run reads.
struct GridRun {
    const SpringGrid* grid;
    SpringTiles view;
    SpringPacked packed;
    SpringTileKernel kernel;
    int32_t* next;
};

void runTask(void* context, int part, int s) {
    const GridRun& run = *static_cast<const GridRun*>(context);
    const int32_t tileBegin = run.grid->partTiles[static_cast<size_t>(part)];
    const int32_t tileEnd = run.grid->partTiles[static_cast<size_t>(part) + 1];
    run.kernel(run.view, run.packed, tileBegin, tileEnd,
               run.grid->segment[static_cast<size_t>(s) + 1], run.next + tileBegin);
}

// One run of the tiles on the plan's path with `threads` threads, from the
// packed rows; the threads it ran on.
int runTiles(const SpringPlan& plan, int threads, const SpringGrid& grid, int32_t* next) {
    const SpringTiling& tiling = *plan.tiling;
    const int32_t nTiles = static_cast<int32_t>(tiling.tiles.size());
    for (int32_t t = 0; t < nTiles; ++t)
        next[t] = tiling.tiles[static_cast<size_t>(t)].blockBegin;
    if (threads > 1) {
        GridRun run{&grid, springTilingView(tiling), springPackedRows(), plan.kernel, next};
        SimTaskGrid tasks;
        tasks.rows = static_cast<int>(grid.partTiles.size()) - 1;
        tasks.columns = static_cast<int>(grid.segment.size()) - 1;
        tasks.firstColumn = grid.firstSegment.data();
        if (simParallelGrid(tasks, threads, runTask, &run)) return threads;
    }
    plan.kernel(springTilingView(tiling), springPackedRows(), 0, nTiles, tiling.massBlocks, next);
    return 1;
}

// Reports the share of the object's plan done after each way timed.
struct Progress {
    const SpringPlanRequest* request;
    int total, done;
    void step() {
        const SpringPlanRequest& r = *request;
        const double f = static_cast<double>(++done) / static_cast<double>(total);
        if (r.progressTo > r.progressFrom)
            simProgressReport(kPlanStage, r.progressFrom + f * (r.progressTo - r.progressFrom), -1);
    }
};

// The tiles on each path, widest first (the likely winner sets the bar for
// the others), on one thread and on the threads.
void timeTiles(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan,
               SpringGrid& grid, Progress& progress) {
    const SpringTiling& tiling = *request.tiling;
    for (int p = SIM_PATH_COUNT - 1; p >= 0; --p) {
        if (!request.paths[p] || !request.kernels[p]) continue;
        plan.kernel = request.kernels[p];
        const SimSpringPath path = static_cast<SimSpringPath>(p);
        const int counts[2] = {1, request.threads};
        for (int c = 0; c < (request.threads > 1 ? 2 : 1); ++c) {
            const int threads = counts[c];
            const double nanos = timeWay(
                [&] {
                    springPackIn(obj, tiling.massBlocks);
                    runTiles(plan, threads, grid, plan.next.data());
                },
                bestOf(plan.figures));
            add(plan.figures, SIM_LAYOUT_TILED, path, threads, nanos);
            progress.step();
        }
    }
}

// The general loop writes the records: it runs on a copy of the masses, whose
// increments it is free to pile up.
void timeGeneral(const SimObject& obj, SpringPlan& plan, Progress& progress) {
    std::vector<SimMass> masses;
    try {
        masses.assign(obj.masses, obj.masses + obj.nMasses);
    } catch (const std::bad_alloc&) {
        if (plan.figures.chosen < 0) add(plan.figures, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, 0.0);
        return;
    }
    SimObject copy = obj;
    copy.masses = masses.data();
    const double nanos = timeWay([&] { springsGeneral(copy); }, bestOf(plan.figures));
    add(plan.figures, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, nanos);
    progress.step();
}

} // namespace

void springPlanMake(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan) {
    plan = SpringPlan{};
    plan.tiling = request.tiling;
    const int32_t nTiles = request.tiling ? static_cast<int32_t>(request.tiling->tiles.size()) : 0;
    if (request.tiling) plan.next.assign(static_cast<size_t>(nTiles), 0);
    // The grid and the workers, unless there is one tile or no worker to be
    // had; every object asks for as many, so the workers stay as they are.
    const int threads =
        nTiles > 1 ? (request.forced ? request.forced->threads : request.threads) : 1;
    SpringGrid grid;
    if (threads > 1 && simParallelReserve(threads)) cutGrid(*request.tiling, threads, grid);
    if (request.forced) {
        plan.way = *request.forced;
        plan.way.nanos = 0.0;
        if (!request.tiling) plan.way.layout = SIM_LAYOUT_GENERAL;
        plan.way.threads = grid.segment.empty() ? 1 : threads;
    } else {
        int paths = 0;
        for (int p = 0; p < SIM_PATH_COUNT; ++p)
            paths += request.paths[p] && request.kernels[p];
        Progress progress{&request, 1 + (request.tiling ? paths * (threads > 1 ? 2 : 1) : 0), 0};
        SpringPlanRequest timed = request;
        timed.threads = grid.segment.empty() ? 1 : threads;
        if (request.tiling) timeTiles(obj, timed, plan, grid, progress);
        timeGeneral(obj, plan, progress);
        plan.way = plan.figures.way[plan.figures.chosen];
    }
    if (plan.way.layout == SIM_LAYOUT_GENERAL) {
        plan.tiling = nullptr;
        plan.next.clear();
    }
    plan.kernel = plan.tiling ? request.kernels[plan.way.path] : nullptr;
    if (plan.way.threads > 1) plan.grid = std::move(grid);
}

int springPlanRun(SimObject& obj, SpringPlan& plan) {
    if (!plan.tiling) {
        springsGeneral(obj);
        return 1;
    }
    springPackIn(obj, plan.tiling->massBlocks);
    const int threads = runTiles(plan, plan.way.threads, plan.grid, plan.next.data());
    springPackOut(obj);
    return threads;
}
