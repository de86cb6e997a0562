// Repetitions and the rates drawn from them.
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

std::vector<double> benchStepRates(const std::vector<BenchSample>& samples, long steps) {
    std::vector<double> rates;
    for (const BenchSample& s : samples)
        rates.push_back(s.runSeconds > 0.0 ? static_cast<double>(steps) / s.runSeconds : 0.0);
    return rates;
}

std::vector<double> benchSpringRates(const std::vector<BenchSample>& samples, long steps,
                                     int64_t springs) {
    std::vector<double> rates;
    const double work = static_cast<double>(springs) * static_cast<double>(steps);
    for (const BenchSample& s : samples)
        rates.push_back(s.springs > 0.0 ? work / s.springs : 0.0);
    return rates;
}
