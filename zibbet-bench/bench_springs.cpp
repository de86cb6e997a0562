// The runner's calls to the spring engine, and the progress of making plans.
#include "zibbet-bench/bench_springs.h"

#include "sim/springs.h"
#include "sim/springs_law.h"
#include "sim/world.h"

int benchSpringsMaxThreads() {
    return SIM_MAX_SPRING_THREADS;
}

void benchSpringsSetThreads(int n) {
    simSpringsSetThreads(n);
}

double benchSpringForceDivisor() {
    return kSpringForceDivisor;
}

namespace {

BenchPlan planOf(int oid) {
    const SimSpringsPlanFigures figures = simSpringsPlanOf(oid);
    BenchPlan plan;
    plan.oid = oid;
    plan.springs = simWorld.objects[oid].nSprings;
    plan.chosen = figures.chosen;
    plan.bytes = figures.planBytes;
    plan.refused = figures.planRefused;
    plan.available = figures.availableBytes;
    plan.limit = figures.limit;
    for (int i = 0; i < figures.ways; ++i) {
        const SimSpringWay& c = figures.way[i];
        BenchCandidate out;
        const bool tiled = c.layout == SIM_LAYOUT_TILED;
        out.layout = tiled ? "tiles" : "general";
        out.path = tiled ? simSpringsPathName(c.path) : "";
        out.threads = c.threads;
        out.way =
            tiled ? out.layout + " " + out.path + " x" + std::to_string(c.threads) : out.layout;
        out.seconds = c.nanos * 1e-9;
        plan.candidates.push_back(out);
    }
    return plan;
}

} // namespace

BenchSprings benchSprings() {
    const SimSpringsCounters counters = simSpringsCounters();
    BenchSprings s;
    s.path = simSpringsPathName(simSpringsPath());
    s.threads = simSpringsThreads();
    s.threadedPhases = counters.threadedPhases;
    s.tiledPhases = counters.tiledPhases;
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        if (simValidOid(oid)) {
            const SimSpringsPlanFigures figures = simSpringsPlanOf(oid);
            if (figures.ways > 0 || figures.planRefused) s.plans.push_back(planOf(oid));
        }
    return s;
}

std::vector<std::string> benchSpringsPaths() {
    std::vector<std::string> names;
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        if (simSpringsPathSupported(path)) names.emplace_back(simSpringsPathName(path));
    }
    return names;
}

void benchSpringsPrepare() {
    simSpringsPrepareAll();
}
