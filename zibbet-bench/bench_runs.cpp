// Repetitions, and the figures drawn from them.
#include "zibbet-bench/bench_runs.h"

#include <cinttypes>
#include <cstdio>

bool benchRepeat(int timed, bool warmup, BenchRunFn run, void* ctx, BenchAgreement& agreement,
                 std::vector<BenchSample>& samples) {
    for (int i = warmup ? -1 : 0; i < timed; ++i) {
        const BenchSample sample = run(ctx, i < 0);
        if (agreement.runs++ == 0) agreement.digest = sample.digest;
        if (sample.digest != agreement.digest) {
            std::fprintf(stderr,
                         "zibbet-bench: run %d ended with digest %016" PRIx64
                         ", the first with %016" PRIx64
                         ": the runs did not do the same work, so no figure stands\n",
                         agreement.runs, sample.digest, agreement.digest);
            return false;
        }
        if (i >= 0) samples.push_back(sample);
    }
    return true;
}

BenchFigures benchFigures(const BenchWorkload& work, const BenchSeries& s) {
    BenchFigures f;
    const double steps = static_cast<double>(work.steps);
    const double springSteps = static_cast<double>(work.springs) * steps;
    for (const BenchSample& x : s.samples) {
        f.samples[BENCH_STEP_RATE].push_back(x.runSeconds > 0.0 ? steps / x.runSeconds : 0.0);
        f.samples[BENCH_SPRING_RATE].push_back(x.springs > 0.0 ? springSteps / x.springs : 0.0);
        f.samples[BENCH_RUN_SECONDS].push_back(x.runSeconds);
        f.samples[BENCH_FORCES_SECONDS].push_back(x.forces);
        f.samples[BENCH_SPRINGS_SECONDS].push_back(x.springs);
        f.samples[BENCH_MOTION_SECONDS].push_back(x.motion);
    }
    for (int i = 0; i < BENCH_FIGURE_COUNT; ++i)
        f.summary[i] = benchSummarize(f.samples[i]);
    return f;
}

std::string benchWayName(const SimSpringWay& way) {
    if (way.layout != SIM_LAYOUT_TILED) return "general";
    return std::string("tiles ") + simSpringsPathName(way.path) + " x" +
           std::to_string(way.threads);
}
