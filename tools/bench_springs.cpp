// The runner's calls to the spring engine, and the progress of making plans.
#include "tools/bench_springs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "import/progress.h"
#include "sim/springs.h"
#include "sim/springs_law.h"
#include "sim/world.h"

namespace {

const char* const kPlanStage = "Making spring plans";
// How often the line is told again while one object's plan is made: the
// engine cannot report from inside, so the stage's time goes on showing.
constexpr std::chrono::milliseconds kPlanTick{100};

// Reports the stage at the fraction the main thread last set, until told to
// stop. (No spring count: a plan is made whole, so none would move.)
struct PlanTicker {
    std::atomic<double> fraction{0.0};
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};

void tick(PlanTicker& t) {
    std::unique_lock<std::mutex> held(t.lock);
    while (!t.wake.wait_for(held, kPlanTick, [&] { return t.stop; }))
        simProgressReport(kPlanStage, t.fraction.load(), -1);
}

} // namespace

int benchSpringsMaxThreads() {
    return SIM_MAX_SPRING_THREADS;
}

void benchSpringsSetThreads(int n) {
    SimSpringsConfig config = simSpringsConfig();
    config.threads = n;
    simSpringsConfigure(config);
}

double benchSpringForceDivisor() {
    return kSpringForceDivisor;
}

namespace {

BenchPlan planOf(int oid) {
    const SimSpringsStats stats = simSpringsStats(oid);
    BenchPlan plan;
    plan.oid = oid;
    plan.springs = simWorld.objects[oid].nSprings;
    plan.chosen = stats.chosen;
    plan.bytes = stats.planBytes;
    plan.refused = stats.planRefused;
    plan.available = stats.availableBytes;
    plan.limit = stats.limit;
    for (int i = 0; i < stats.candidates; ++i) {
        const SimSpringCandidate& c = stats.candidate[i];
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
    const SimSpringsConfig config = simSpringsConfig();
    const SimSpringsStats totals = simSpringsStats(-1);
    BenchSprings s;
    s.path = simSpringsPathName(config.path);
    s.threads = config.threads;
    s.threadedPhases = totals.threadedPhases;
    s.tiledPhases = totals.tiledPhases;
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        if (simValidOid(oid)) {
            const SimSpringsStats stats = simSpringsStats(oid);
            if (stats.candidates > 0 || stats.planRefused) s.plans.push_back(planOf(oid));
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
    int64_t total = 0;
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        if (simValidOid(oid)) total += simWorld.objects[oid].nSprings;
    if (!simProgressHook || total == 0) {
        for (int oid = 0; oid < simWorld.nObjects; ++oid)
            simSpringsPrepare(oid);
        return;
    }
    // The listener is only ever called from one thread at a time: the ticker
    // while a plan is made, this thread once it has stopped.
    PlanTicker ticker;
    int64_t planned = 0;
    std::thread reporter(tick, std::ref(ticker));
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        simSpringsPrepare(oid);
        if (simValidOid(oid)) planned += simWorld.objects[oid].nSprings;
        ticker.fraction = static_cast<double>(planned) / static_cast<double>(total);
    }
    {
        std::lock_guard<std::mutex> held(ticker.lock);
        ticker.stop = true;
    }
    ticker.wake.notify_one();
    reporter.join();
    simProgressDone();
}
