// The planner: each candidate is run a few times on the object's springs and
// its fastest run kept. The first run of a candidate pays for cold caches, so
// a candidate runs at least twice unless its first run is far behind the best
// so far; no candidate runs longer than its budget beyond that.
#include "sim/springs_planner.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "sim/springs_packed.h"
#include "sim/springs_plan.h"
#include "sim/springs_threads.h"
#include "sim/world.h"

namespace {

constexpr int kMinRuns = 2;
constexpr int kMaxRuns = 5;
constexpr double kBudgetNanos = 2e6; // per candidate, once it has run kMinRuns times
constexpr double kHopeless = 2.0;    // a first run this many times the best stops at once

double nanosSince(int64_t start) {
    return static_cast<double>(platCounter() - start) * 1e9 /
           static_cast<double>(platCounterFrequency());
}

// Runs `once` until the candidate has had its runs or its budget; its fastest run.
template <typename Run> double timeCandidate(Run&& once, double best) {
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

void add(SpringPlanChoice& choice, SimSpringLayout layout, SimSpringPath path, int threads,
         double nanos) {
    if (choice.candidates == SIM_MAX_SPRING_CANDIDATES) return;
    SimSpringCandidate& c = choice.candidate[choice.candidates];
    c.layout = layout;
    c.path = path;
    c.threads = threads;
    c.nanos = nanos;
    if (choice.chosen < 0 || nanos < choice.candidate[choice.chosen].nanos)
        choice.chosen = choice.candidates;
    ++choice.candidates;
}

double bestOf(const SpringPlanChoice& choice) {
    return choice.chosen < 0 ? 0.0 : choice.candidate[choice.chosen].nanos;
}

void timeTiles(const SimObject& obj, const SpringPlanRequest& request, SpringSchedule& schedule,
               int32_t* next, SpringPlanChoice& choice) {
    const SpringLayout& layout = *request.layout;
    const SpringTiles view = springLayoutView(layout);
    const int32_t nTiles = static_cast<int32_t>(layout.tiles.size());
    const int threads = std::min<int>(request.threads, nTiles);
    // Widest first: the likely winner sets the bar for the others.
    for (int p = SIM_PATH_COUNT - 1; p >= 0; --p) {
        if (!request.paths[p]) continue;
        const SimSpringPath path = static_cast<SimSpringPath>(p);
        const SpringTileKernel kernel = request.kernels[p];
        const double one = timeCandidate(
            [&] {
                springPackIn(obj, layout.massBlocks);
                for (int32_t t = 0; t < nTiles; ++t)
                    next[t] = layout.tiles[static_cast<size_t>(t)].blockBegin;
                kernel(view, springPackedRows(), 0, nTiles, layout.massBlocks, next);
            },
            bestOf(choice));
        add(choice, SIM_LAYOUT_TILED, path, 1, one);
        if (threads < 2) continue;
        springThreadsPrepare(schedule, layout, threads);
        const double many = timeCandidate(
            [&] {
                springPackIn(obj, layout.massBlocks);
                springThreadsRun(schedule, layout, springPackedRows(), kernel, next);
            },
            bestOf(choice));
        add(choice, SIM_LAYOUT_TILED, path, threads, many);
    }
}

// The general loop writes the records: it runs on a copy of the masses, whose
// increments it is free to pile up.
void timeGeneral(const SimObject& obj, SpringPlanChoice& choice) {
    std::vector<SimMass> masses;
    try {
        masses.assign(obj.masses, obj.masses + obj.nMasses);
    } catch (const std::bad_alloc&) {
        if (choice.chosen < 0) add(choice, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, 0.0);
        return;
    }
    SimObject copy = obj;
    copy.masses = masses.data();
    const double nanos = timeCandidate([&] { springsGeneral(copy); }, bestOf(choice));
    add(choice, SIM_LAYOUT_GENERAL, SIM_PATH_SCALAR, 1, nanos);
}

} // namespace

SpringPlanChoice springPlan(const SimObject& obj, const SpringPlanRequest& request,
                            SpringSchedule& schedule, int32_t* next) {
    SpringPlanChoice choice;
    if (request.layout) timeTiles(obj, request, schedule, next, choice);
    timeGeneral(obj, choice);
    // The adaptive choice between one thread and the threads starts from
    // what was measured on the chosen path.
    const SimSpringCandidate& won = choice.candidate[choice.chosen];
    if (won.layout == SIM_LAYOUT_TILED) {
        for (int i = 0; i < choice.candidates; ++i) {
            const SimSpringCandidate& c = choice.candidate[i];
            if (c.layout != SIM_LAYOUT_TILED || c.path != won.path) continue;
            const SpringWay way = c.threads > 1 ? SpringWay::kThreads : SpringWay::kOneThread;
            schedule.wayNanos[static_cast<int>(way)] = c.nanos;
        }
    }
    return choice;
}
