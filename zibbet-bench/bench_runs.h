// zibbet-bench's runs: repetitions of the timed steps from one start, the
// figures they leave, and the work they did (what two figures must share to
// be compared).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zibbet-bench/bench_springs.h"

// One run of the steps.
struct BenchSample {
    double runSeconds = 0.0;
    double forces = 0.0, springs = 0.0, motion = 0.0; // seconds in each phase
    uint64_t digest = 0;                              // of the final state
};

// The timed runs at one thread count.
struct BenchSeries {
    int threads = 1;
    double planSeconds = 0.0; // making the spring plans for this count, before its runs
    BenchSprings engine;      // path, plans, and the phase counters of the timed runs
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

// Per sample: steps per second of the whole run, and springs per second of
// the spring phase.
std::vector<double> benchStepRates(const std::vector<BenchSample>& samples, long steps);
std::vector<double> benchSpringRates(const std::vector<BenchSample>& samples, long steps,
                                     int64_t springs);
