// zibbet-bench's runs: repetitions of the timed steps from one start, the
// work they did (what two figures must share to be compared), and the one
// record of a series' figures that the text report, the JSON, the plot and
// --compare all read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/springs.h"
#include "zibbet-bench/bench_stats.h"

// One run of the steps.
struct BenchSample {
    double runSeconds = 0.0;
    double forces = 0.0, springs = 0.0, motion = 0.0; // seconds in each phase
    uint64_t digest = 0;                              // of the final state
};

// An object's spring plan, as the engine gives it.
struct BenchPlan {
    int oid = -1;
    int64_t springs = 0;
    SimSpringsPlanFigures figures;
};

// The timed runs at one thread count.
struct BenchSeries {
    int threads = 1;
    double planSeconds = 0.0;             // making the spring plans for this count, before its runs
    SimSpringPath path = SIM_PATH_SCALAR; // the widest path in use
    SimSpringsCounters counters;          // the engine's work in the timed runs
    std::vector<BenchPlan> plans;
    std::vector<BenchSample> samples;
};

// A scene's runs: the work, and its figures at each thread count.
struct BenchWorkload {
    std::string scene;
    long steps = 0;
    long drag[2] = {0, 0};
    long schedule = 0; // 0: the drag stays
    int64_t masses = 0;
    int64_t springs = 0;
    uint64_t digest = 0;
    std::vector<BenchSeries> series;
};

// The figures drawn from each sample of a series.
enum BenchFigure {
    BENCH_STEP_RATE,   // steps per second of the whole run
    BENCH_SPRING_RATE, // springs times steps per second of the spring phase
    BENCH_RUN_SECONDS,
    BENCH_FORCES_SECONDS, // seconds in each phase
    BENCH_SPRINGS_SECONDS,
    BENCH_MOTION_SECONDS,
    BENCH_FIGURE_COUNT
};

// Each figure per sample, in the samples' order, and summed up.
struct BenchFigures {
    std::vector<double> samples[BENCH_FIGURE_COUNT];
    BenchSummary summary[BENCH_FIGURE_COUNT];
};

BenchFigures benchFigures(const BenchWorkload& work, const BenchSeries& s);
// "tiles avx512 x1" (layout, path and threads) or "general".
std::string benchWayName(const SimSpringWay& way);

// Runs the steps once from the start the caller restores, and returns the
// run's figures; warmup says that they will not be counted.
using BenchRunFn = BenchSample (*)(void* ctx, bool warmup);

// Every run of a benchmark, over all its thread counts, must end with the
// same digest: the first run's.
struct BenchAgreement {
    int runs = 0;        // runs so far, warm-ups included
    uint64_t digest = 0; // the first run's
};

// The warm-up when asked, then `timed` runs, their figures appended to
// samples. False, after saying which run differed on stderr, as soon as a
// run ends with another digest than the first run did: then no figure of
// the benchmark stands.
bool benchRepeat(int timed, bool warmup, BenchRunFn run, void* ctx, BenchAgreement& agreement,
                 std::vector<BenchSample>& samples);
