// The planner. Each way runs a few times on a sample and its fastest run,
// scaled to the whole, is kept: the whole tiles around the body's middle cell,
// about kSampleCells cells (all of a smaller body), and as many springs about
// the middle of the array for the general loop. A way's time goes with its
// cells, their blocks' fill and their streaming from memory; the middle tiles
// are filled as the body's typical ones, and their 32 MB of rest lengths stream
// from memory as the whole body's do. The first run pays for cold caches, so a
// way runs at least twice unless it is far behind the best so far, and no
// longer than its budget beyond that.
#include "sim/springs_planner.h"

#include <algorithm>
#include <bit>
#include <cmath>
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
constexpr int64_t kSampleCells = int64_t{1} << 22;
const char* const kPlanStage = "Making spring plans";

// The grid: twice as many segments as parts, so that a part follows the one
// above closely. The wavefront idles threads as it fills and drains, a share
// of 1 / parts, and each of about parts^2 tasks costs a hand-off: the parts
// grow as the cube root of the cells (4 on the moon, 22 on 25M springs).
constexpr double kCellsPerPartCubed = 2400.0;
constexpr int kMinPartsPerThread = 2, kMaxPartsPerThread = 16, kSegmentsPerPart = 2;

double bestOf(const SimSpringsPlanFigures& f) {
    return f.chosen < 0 ? 0.0 : f.way[f.chosen].nanos;
}

void add(SimSpringsPlanFigures& figures, const SimSpringWay& way) {
    if (figures.ways == SIM_MAX_SPRING_WAYS) return;
    if (figures.chosen < 0 || way.nanos < bestOf(figures)) figures.chosen = figures.ways;
    figures.way[figures.ways++] = way;
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

// Adds the way with its time for the whole body: as an earlier plan on the
// same tiles timed it, or the fastest of `once`'s runs on a sample that is
// `scale` times smaller, run until the way has had its runs or its budget.
template <typename Run>
void timeWay(const SpringPlanRequest& request, SimSpringsPlanFigures& figures,
             Progress& progress, SimSpringWay way, double scale, Run&& once) {
    for (int i = 0; request.known && i < request.known->ways; ++i) {
        const SimSpringWay& w = request.known->way[i];
        if (w.layout == way.layout && w.path == way.path && w.threads == way.threads)
            way.nanos = w.nanos;
    }
    if (way.nanos <= 0.0) {
        double fastest = 0.0, spent = 0.0;
        for (int run = 0; run < kMaxRuns; ++run) {
            const int64_t start = platCounter();
            once();
            const double nanos = static_cast<double>(platCounter() - start) * 1e9 /
                                 static_cast<double>(platCounterFrequency());
            fastest = run == 0 ? nanos : std::min(fastest, nanos);
            spent += nanos;
            const double best = bestOf(figures);
            if (run == 0 && best > 0.0 && scale * nanos > kHopeless * best) break;
            if (run + 1 >= kMinRuns && spent >= kBudgetNanos) break;
        }
        way.nanos = scale * fastest;
        progress.step();
    }
    add(figures, way);
}

// The cells of the tiles before tile t.
int64_t cellsBefore(const SpringTiling& tiling, int32_t t) {
    if (t == 0) return 0;
    const SpringBlock& last =
        tiling.blocks[static_cast<size_t>(tiling.tiles[static_cast<size_t>(t) - 1].blockEnd) - 1];
    return last.cellAt + std::popcount(last.present);
}

// The tiles [tileBegin, tileEnd) cut for `threads` threads: parts of about
// equal cells, and segments of equal width over the columns from the first
// part's rows on.
void cutGrid(const SpringTiling& tiling, int32_t tileBegin, int32_t tileEnd, int threads,
             SpringGrid& grid) {
    const int64_t first = cellsBefore(tiling, tileBegin);
    const int64_t total = cellsBefore(tiling, tileEnd) - first;
    const int wanted = static_cast<int>(std::cbrt(static_cast<double>(total) / kCellsPerPartCubed));
    const int parts =
        std::min({tileEnd - tileBegin, SIM_MAX_GRID_ROWS,
                  std::clamp(wanted, kMinPartsPerThread * threads, kMaxPartsPerThread * threads)});
    grid.partTiles.assign(1, tileBegin);
    for (int32_t t = tileBegin + 1; t < tileEnd; ++t) {
        const int made = static_cast<int>(grid.partTiles.size());
        if (made < parts && (cellsBefore(tiling, t) - first) * parts >= total * made)
            grid.partTiles.push_back(t);
    }
    grid.partTiles.push_back(tileEnd);
    const int32_t from = tiling.tiles[static_cast<size_t>(tileBegin)].p;
    const int32_t columns = tiling.massBlocks - from;
    const int32_t segments = std::min(columns, kSegmentsPerPart * parts);
    const int32_t width = (columns + segments - 1) / segments;
    grid.segment.clear();
    for (int32_t q = from; q < tiling.massBlocks; q += width)
        grid.segment.push_back(q);
    grid.segment.push_back(tiling.massBlocks);
    grid.firstSegment.clear();
    for (size_t part = 0; part + 1 < grid.partTiles.size(); ++part) {
        const int32_t firstRow = tiling.tiles[static_cast<size_t>(grid.partTiles[part])].p;
        int32_t seg = 0;
        while (grid.segment[static_cast<size_t>(seg) + 1] <= firstRow)
            ++seg;
        grid.firstSegment.push_back(seg);
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

// One run of the grid's tiles on the plan's path with `threads` threads, from
// the packed rows; the threads it ran on.
int runTiles(const SpringPlan& plan, int threads, const SpringGrid& grid, int32_t* next) {
    const SpringTiling& tiling = *plan.tiling;
    const int32_t tileBegin = grid.partTiles.front(), tileEnd = grid.partTiles.back();
    for (int32_t t = tileBegin; t < tileEnd; ++t)
        next[t] = tiling.tiles[static_cast<size_t>(t)].blockBegin;
    if (threads > 1) {
        GridRun run{&grid, springTilingView(tiling), springPackedRows(), plan.kernel, next};
        const SimTaskGrid tasks{static_cast<int>(grid.partTiles.size()) - 1,
                                static_cast<int>(grid.segment.size()) - 1,
                                grid.firstSegment.data()};
        if (simParallelGrid(tasks, threads, runTask, &run)) return threads;
    }
    plan.kernel(springTilingView(tiling), springPackedRows(), tileBegin, tileEnd,
                tiling.massBlocks, next + tileBegin);
    return 1;
}

// The tiles on each path, widest first (the likely winner sets the bar for
// the others), on one thread and on the threads, over the sample's tiles.
void timeTiles(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan,
               Progress& progress) {
    const SpringTiling& tiling = *request.tiling;
    const int32_t nTiles = static_cast<int32_t>(tiling.tiles.size());
    const int64_t total = cellsBefore(tiling, nTiles);
    const int64_t from = std::max<int64_t>(0, (total - kSampleCells) / 2);
    int32_t begin = 0, end = 1;
    while (cellsBefore(tiling, begin + 1) <= from)
        end = ++begin + 1;
    while (end < nTiles && cellsBefore(tiling, end) < from + kSampleCells)
        ++end;
    const double scale = static_cast<double>(total) /
                         static_cast<double>(cellsBefore(tiling, end) - cellsBefore(tiling, begin));
    SpringGrid grids[2]; // the sample's tiles on one thread (one call), and on the threads
    grids[0].partTiles = {begin, end};
    if (request.threads > 1) cutGrid(tiling, begin, end, request.threads, grids[1]);
    for (int p = SIM_PATH_COUNT - 1; p >= 0; --p) {
        if (!request.paths[p] || !request.kernels[p]) continue;
        plan.kernel = request.kernels[p];
        for (int c = 0; c < (request.threads > 1 ? 2 : 1); ++c) {
            const int threads = c == 0 ? 1 : request.threads;
            const SimSpringWay way{SIM_LAYOUT_TILED, static_cast<SimSpringPath>(p), threads};
            timeWay(request, plan.figures, progress, way, scale, [&] {
                springPackIn(obj, tiling.massBlocks);
                runTiles(plan, threads, grids[c], plan.next.data());
            });
        }
    }
}

// The general loop writes the records: it runs on a copy of the masses, whose
// increments it is free to pile up, over the springs about the array's middle.
void timeGeneral(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan,
                 Progress& progress) {
    std::vector<SimMass> masses;
    try {
        masses.assign(obj.masses, obj.masses + obj.nMasses);
    } catch (const std::bad_alloc&) {
        if (plan.figures.chosen < 0) add(plan.figures, SimSpringWay{});
        return;
    }
    SimObject copy = obj;
    copy.masses = masses.data();
    copy.nSprings = static_cast<int32_t>(std::min<int64_t>(kSampleCells, obj.nSprings));
    copy.springs = obj.springs + (obj.nSprings - copy.nSprings) / 2;
    timeWay(request, plan.figures, progress, SimSpringWay{},
            static_cast<double>(obj.nSprings) / static_cast<double>(copy.nSprings),
            [&] { springsGeneral(copy); });
}

} // namespace

void springPlanMake(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan) {
    plan = SpringPlan{};
    plan.tiling = request.tiling;
    const int32_t nTiles = request.tiling ? static_cast<int32_t>(request.tiling->tiles.size()) : 0;
    if (request.tiling) plan.next.assign(static_cast<size_t>(nTiles), 0);
    // The grid and the workers, unless there is one tile or no worker to be
    // had; every object asks for as many, so the workers stay as they are.
    int threads = nTiles > 1 ? (request.forced ? request.forced->threads : request.threads) : 1;
    if (threads > 1 && !simParallelReserve(threads)) threads = 1;
    if (request.forced) {
        plan.way = *request.forced;
        plan.way.nanos = 0.0;
        if (!request.tiling) plan.way.layout = SIM_LAYOUT_GENERAL;
        plan.way.threads = threads;
    } else {
        int paths = 0;
        for (int p = 0; p < SIM_PATH_COUNT; ++p)
            paths += request.paths[p] && request.kernels[p];
        Progress progress{&request, 1 + (request.tiling ? paths * (threads > 1 ? 2 : 1) : 0), 0};
        SpringPlanRequest timed = request;
        timed.threads = threads;
        if (request.tiling) timeTiles(obj, timed, plan, progress);
        timeGeneral(obj, timed, plan, progress);
        plan.way = plan.figures.way[plan.figures.chosen];
    }
    if (plan.way.layout == SIM_LAYOUT_GENERAL) {
        plan.tiling = nullptr;
        plan.next.clear();
    }
    plan.kernel = plan.tiling ? request.kernels[plan.way.path] : nullptr;
    plan.grid.partTiles = {0, nTiles}; // one thread: the kernel over every tile in one call
    if (plan.tiling && plan.way.threads > 1) cutGrid(*plan.tiling, 0, nTiles, threads, plan.grid);
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
