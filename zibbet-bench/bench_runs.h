// zibbet-bench's runs: repetitions of the timed steps from one start, the
// work they did (what two figures must share to be compared), and the one
// record of a series' figures that the text report, the JSON, the plot and
// --compare all read. And the statistics: a series summed up, and two series
// weighed with the Mann-Whitney U test and an interval for their ratio. Both
// are rank methods: one run slowed by another program moves them by one
// rank, not by its size.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/springs.h"

constexpr double kBenchBusySpread = 0.05;    // a wider spread: the machine was busy
constexpr double kBenchSignificance = 0.05;  // a smaller two-sided p: the series differ
constexpr double kBenchIntervalLevel = 0.95; // the least confidence of a ratio's interval
constexpr int kBenchExactPairs = 2500;       // a's count times b's, at most, for exact counts

struct BenchSummary {
    int count = 0;
    double median = 0.0; // of an even count, the mean of the middle two
    double min = 0.0;
    double max = 0.0;
    double spread = 0.0; // (max - min) / median; 0 for a single figure
};

// The Mann-Whitney U test of two series against the hypothesis that both
// come from one distribution.
struct BenchUTest {
    double u = 0.0;           // pairs (a, b) with a > b, a tie counting one half
    double p = 1.0;           // two-sided
    bool exact = false;       // exact distribution; else the normal approximation
    bool significant = false; // p < kBenchSignificance
};

// b's figures over a's: the ratio of the medians, and the median of the
// ratios of all pairs (b_j / a_i) with a distribution-free interval drawn
// from those ratios by the U statistic's distribution (the Hodges-Lehmann
// estimate and interval, on ratios). The interval holds 1 exactly when the
// exact U test finds no difference at the same level; it is the pairs'
// interval, so with skewed figures the ratio of the medians may lie outside.
struct BenchRatio {
    double ratio = 0.0; // median(b) / median(a)
    double pairs = 0.0; // median of b_j / a_i over all pairs
    double lo = 0.0;    // the interval, when level > 0
    double hi = 0.0;
    double level = 0.0; // its confidence, at least kBenchIntervalLevel; 0: too few figures
};

BenchSummary benchSummarize(const std::vector<double>& figures); // median, range and spread
// Exact when neither series has a tie and a's count times b's is at most
// kBenchExactPairs; else the normal approximation with the tie correction and
// a continuity correction.
BenchUTest benchMannWhitney(const std::vector<double>& a, const std::vector<double>& b);
BenchRatio benchRatio(const std::vector<double>& a, const std::vector<double>& b); // positive

// The step's three phases, in the order the step runs them.
constexpr int kBenchPhases = 3;
const char* const kBenchPhaseNames[kBenchPhases] = {"forces", "springs", "motion"};

struct BenchSample { // one run of the steps
    double runSeconds = 0.0;
    double phase[kBenchPhases] = {}; // seconds in each phase
    uint64_t digest = 0;             // of the final state
};

struct BenchPlan { // an object's spring plan, as the engine gives it
    int oid = -1;
    int64_t springs = 0;
    SimSpringsPlanFigures figures;
};

struct BenchSeries { // the timed runs at one thread count
    int threads = 1;
    double planSeconds = 0.0;             // making the spring plans for this count, before its runs
    SimSpringPath path = SIM_PATH_SCALAR; // the widest path in use
    SimSpringsCounters counters;          // the engine's work in the timed runs
    std::vector<BenchPlan> plans;
    std::vector<BenchSample> samples;
};

struct BenchWorkload { // a scene's runs: the work, and its figures at each thread count
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
    BENCH_FORCES_SECONDS, // seconds in each phase, in kBenchPhaseNames' order
    BENCH_SPRINGS_SECONDS,
    BENCH_MOTION_SECONDS,
    BENCH_FIGURE_COUNT
};

struct BenchFigures { // each figure per sample, in the samples' order, and summed up
    std::vector<double> samples[BENCH_FIGURE_COUNT];
    BenchSummary summary[BENCH_FIGURE_COUNT];
};

BenchFigures benchFigures(const BenchWorkload& work, const BenchSeries& s);
using BenchPhaseSeconds = std::array<double, kBenchPhases>;
BenchPhaseSeconds benchPhaseMedians(const BenchFigures& f); // each phase's median seconds
std::string benchWayName(const SimSpringWay& way); // "tiles avx512 x1" (layout, path, threads)

// Runs the steps once from the start the caller restores, and returns the
// run's figures; its argument says that they will not be counted (a warm-up).
using BenchRunFn = std::function<BenchSample(bool warmup)>;

struct BenchRunShape { // timed runs and warm-ups per thread count
    int repeat = 1;
    int warmups = 1;
};

// Every run of a benchmark, over all its thread counts, must end with the
// first run's digest.
struct BenchAgreement {
    int runs = 0;        // runs so far, warm-ups included
    uint64_t digest = 0; // the first run's
};

// The warm-up when asked, then `timed` runs, their figures appended to
// samples. False, after saying which run differed on stderr, as soon as a
// run ends with another digest than the first run did: then no figure of
// the benchmark stands.
bool benchRepeat(int timed, bool warmup, const BenchRunFn& run, BenchAgreement& agreement,
                 std::vector<BenchSample>& samples);
