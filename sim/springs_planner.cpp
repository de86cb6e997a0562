// The planner. Each way is run a few times on a sample of the object's
// springs and its fastest run kept, scaled to the whole. The first run of a
// way pays for cold caches, so a way runs at least twice unless its first run
// is far behind the best so far; no way runs longer than its budget beyond
// that.
//
// The sample is the run of whole tiles around the body's middle cell, about
// kSampleCells cells (the whole body when it is smaller), and as many springs
// around the middle of the array for the general loop. A phase's time is its
// cells' time: each way's cost per cell depends on how full the cell blocks
// are and on streaming them from memory, and the middle tiles are as full as
// the body's typical ones while 32 MB of rest lengths and more are too many
// for the caches to hold between two runs, so each path streams them as the
// whole body does.
#include "sim/springs_planner.h"

#include <algorithm>
#include <bit>
#include <new>
#include <vector>

#include "import/progress.h"
#include "platform/platform.h"
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

// The time of the way when it was timed before on the same tiles, or 0.
double knownNanos(const SpringPlanRequest& request, SimSpringLayout layout, SimSpringPath path,
                  int threads) {
    for (int i = 0; request.known && i < request.known->ways; ++i) {
        const SimSpringWay& w = request.known->way[i];
        if (w.layout == layout && w.path == path && w.threads == threads) return w.nanos;
    }
    return 0.0;
}

// The cells of tile t begin and end here.
int64_t cellBegin(const SpringTiling& tiling, int32_t t) {
    return tiling.blocks[static_cast<size_t>(tiling.tiles[static_cast<size_t>(t)].blockBegin)]
        .cellAt;
}
int64_t endOf(const SpringTiling& tiling, const SpringTile& tile) {
    const SpringBlock& last = tiling.blocks[static_cast<size_t>(tile.blockEnd) - 1];
    return last.cellAt + std::popcount(last.present);
}
int64_t cellEnd(const SpringTiling& tiling, int32_t t) {
    return endOf(tiling, tiling.tiles[static_cast<size_t>(t)]);
}

// What the ways are timed on (see the note above): tiles, springs, and the
// whole over each.
struct Sample {
    int32_t tileBegin = 0, tileEnd = 0, springFrom = 0, springs = 0;
    double tileScale = 1.0, springScale = 1.0;
};

Sample sampleOf(const SimObject& obj, const SpringTiling* tiling) {
    Sample s;
    int64_t size = std::min<int64_t>(kSampleCells, obj.nSprings);
    if (tiling) {
        const auto& tiles = tiling->tiles;
        const int64_t total = endOf(*tiling, tiles.back()), from = (total - kSampleCells) / 2;
        const auto at = [&](int64_t cell) { // the tile that holds the cell
            return static_cast<int32_t>(
                std::partition_point(tiles.begin(), tiles.end(),
                                     [&](const SpringTile& t) { return endOf(*tiling, t) <= cell; }) -
                tiles.begin());
        };
        s.tileBegin = total > kSampleCells ? at(from) : 0;
        s.tileEnd = total > kSampleCells ? at(from + kSampleCells - 1) + 1 : tiles.size();
        const int64_t cells = cellEnd(*tiling, s.tileEnd - 1) - cellBegin(*tiling, s.tileBegin);
        s.tileScale = static_cast<double>(total) / static_cast<double>(cells);
        size = std::min<int64_t>(cells, obj.nSprings);
    }
    s.springs = static_cast<int32_t>(size);
    s.springFrom = (obj.nSprings - s.springs) / 2;
    s.springScale = static_cast<double>(obj.nSprings) / static_cast<double>(s.springs);
    return s;
}

// The tiles [tileBegin, tileEnd) cut for `threads` threads: parts of about
// equal cells, and segments of equal width over the columns from the first
// part's rows on.
void cutGrid(const SpringTiling& tiling, int32_t tileBegin, int32_t tileEnd, int threads,
             SpringGrid& grid) {
    const int32_t nTiles = tileEnd - tileBegin;
    const int parts = std::min({nTiles, kPartsPerThread * threads, SIM_MAX_GRID_ROWS});
    const int64_t first = cellBegin(tiling, tileBegin);
    const int64_t total = cellEnd(tiling, tileEnd - 1) - first;
    grid.partTiles.assign(1, tileBegin);
    for (int32_t t = tileBegin; t + 1 < tileEnd; ++t) {
        const int made = static_cast<int>(grid.partTiles.size());
        if (made < parts && (cellEnd(tiling, t) - first) * parts >= total * made)
            grid.partTiles.push_back(t + 1);
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

// One run of the grid's tiles (all of them when the grid is empty) on the
// plan's path with `threads` threads, from the packed rows; the threads it
// ran on.
int runTiles(const SpringPlan& plan, int threads, const SpringGrid& grid, int32_t* next) {
    const SpringTiling& tiling = *plan.tiling;
    const int32_t tileBegin = grid.partTiles.empty() ? 0 : grid.partTiles.front();
    const int32_t tileEnd =
        grid.partTiles.empty() ? static_cast<int32_t>(tiling.tiles.size()) : grid.partTiles.back();
    for (int32_t t = tileBegin; t < tileEnd; ++t)
        next[t] = tiling.tiles[static_cast<size_t>(t)].blockBegin;
    if (threads > 1) {
        GridRun run{&grid, springTilingView(tiling), springPackedRows(), plan.kernel, next};
        SimTaskGrid tasks;
        tasks.rows = static_cast<int>(grid.partTiles.size()) - 1;
        tasks.columns = static_cast<int>(grid.segment.size()) - 1;
        tasks.firstColumn = grid.firstSegment.data();
        if (simParallelGrid(tasks, threads, runTask, &run)) return threads;
    }
    plan.kernel(springTilingView(tiling), springPackedRows(), tileBegin, tileEnd,
                tiling.massBlocks, next + tileBegin);
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
// the others), on one thread and on the threads, over the sample's tiles.
void timeTiles(const SimObject& obj, const SpringPlanRequest& request, const Sample& sample,
               SpringPlan& plan, Progress& progress) {
    const SpringTiling& tiling = *request.tiling;
    SpringGrid grid; // the sample's tiles, on one thread: the kernel over them in one call
    grid.partTiles = {sample.tileBegin, sample.tileEnd};
    SpringGrid threaded;
    if (request.threads > 1)
        cutGrid(tiling, sample.tileBegin, sample.tileEnd, request.threads, threaded);
    for (int p = SIM_PATH_COUNT - 1; p >= 0; --p) {
        if (!request.paths[p] || !request.kernels[p]) continue;
        plan.kernel = request.kernels[p];
        const SimSpringPath path = static_cast<SimSpringPath>(p);
        const int counts[2] = {1, request.threads};
        for (int c = 0; c < (request.threads > 1 ? 2 : 1); ++c) {
            const int threads = counts[c];
            double nanos = knownNanos(request, SIM_LAYOUT_TILED, path, threads);
            if (nanos <= 0.0) {
                nanos = sample.tileScale *
                        timeWay(
                            [&] {
                                springPackIn(obj, tiling.massBlocks);
                                runTiles(plan, threads, threads > 1 ? threaded : grid,
                                         plan.next.data());
                            },
                            bestOf(plan.figures) / sample.tileScale);
                progress.step();
            }
            add(plan.figures, SIM_LAYOUT_TILED, path, threads, nanos);
        }
    }
}

// The general loop writes the records: it runs on a copy of the masses, whose
// increments it is free to pile up, over the sample's springs.
void timeGeneral(const SimObject& obj, const SpringPlanRequest& request, const Sample& sample,
                 SpringPlan& plan, Progress& progress) {
    double nanos = knownNanos(request, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1);
    if (nanos <= 0.0) {
        std::vector<SimMass> masses;
        try {
            masses.assign(obj.masses, obj.masses + obj.nMasses);
        } catch (const std::bad_alloc&) {
            if (plan.figures.chosen < 0)
                add(plan.figures, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, 0.0);
            return;
        }
        SimObject copy = obj;
        copy.masses = masses.data();
        copy.springs = obj.springs + sample.springFrom;
        copy.nSprings = sample.springs;
        nanos = sample.springScale * timeWay([&] { springsGeneral(copy); },
                                             bestOf(plan.figures) / sample.springScale);
        progress.step();
    }
    add(plan.figures, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, nanos);
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
        const Sample sample = sampleOf(obj, request.tiling);
        int paths = 0;
        for (int p = 0; p < SIM_PATH_COUNT; ++p)
            paths += request.paths[p] && request.kernels[p];
        Progress progress{&request, 1 + (request.tiling ? paths * (threads > 1 ? 2 : 1) : 0), 0};
        SpringPlanRequest timed = request;
        timed.threads = threads;
        if (request.tiling) timeTiles(obj, timed, sample, plan, progress);
        timeGeneral(obj, timed, sample, plan, progress);
        plan.way = plan.figures.way[plan.figures.chosen];
    }
    if (plan.way.layout == SIM_LAYOUT_GENERAL) {
        plan.tiling = nullptr;
        plan.next.clear();
    }
    plan.kernel = plan.tiling ? request.kernels[plan.way.path] : nullptr;
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
