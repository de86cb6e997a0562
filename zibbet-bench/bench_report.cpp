// zibbet-bench's text report.
#include "zibbet-bench/bench_report.h"

#include <cinttypes>
#include <cstdio>

#include "platform/platform.h"

namespace {

const char* plural(long n) {
    return n == 1 ? "" : "s";
}

// The one line that says a series' figures are unsure; nothing when they
// are not.
void warnSpread(const char* what, const BenchSummary& s) {
    if (s.count < 2 || s.spread <= kBenchBusySpread) return;
    std::printf("zibbet-bench: warning: %s spread %.1f %% from slowest to fastest (over %.0f %%): "
                "the machine was busy, the figure is unsure\n",
                what, 100.0 * s.spread, 100.0 * kBenchBusySpread);
}

void printPhase(const char* name, double seconds, long steps, double runSeconds) {
    std::printf("%-10s %10.6f s  %10.3f us/step  %5.1f %%\n", name, seconds, seconds * 1e6 / steps,
                runSeconds > 0.0 ? 100.0 * seconds / runSeconds : 0.0);
}

} // namespace

// "1 thread", "2 threads", "1 and 2 threads", "1, 2 and 4 threads".
std::string benchThreadsText(const BenchThreadCounts& counts) {
    std::string text;
    for (int i = 0; i < counts.count; ++i) {
        if (i > 0) text += i + 1 == counts.count ? " and " : ", ";
        text += std::to_string(counts.n[i]);
    }
    return text + " thread" + plural(counts.n[counts.count - 1] == 1 && counts.count == 1 ? 1 : 2);
}

void benchPrintSeriesHead(int threads, bool all, int timed, bool warmup) {
    std::printf("%d thread%s%s: ", threads, plural(threads), all ? " (all processors)" : "");
    if (warmup)
        std::printf("a warm-up, then %d timed run%s, each from the world as loaded\n", timed,
                    plural(timed));
    else
        std::printf("one run, checked after every step\n");
}

// A series' lines: the medians of its runs, their range and spread.
void benchPrintSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions& opt) {
    // A soak's one timed run is the one that reports.
    const bool reportsIncluded = opt.soak && opt.report;
    const BenchFigures f = benchFigures(work, s);
    const BenchSummary& rate = f.summary[BENCH_STEP_RATE];
    const double run = f.summary[BENCH_RUN_SECONDS].median;
    std::printf("run        %10.6f s  %10.1f steps/s%s", run, rate.median,
                reportsIncluded ? "  (reports included)" : "");
    if (rate.count > 1)
        std::printf("  median of %d: %.1f to %.1f, spread %.1f %%", rate.count, rate.min, rate.max,
                    100.0 * rate.spread);
    std::printf("\n");
    printPhase("forces", f.summary[BENCH_FORCES_SECONDS].median, work.steps, run);
    printPhase("springs", f.summary[BENCH_SPRINGS_SECONDS].median, work.steps, run);
    printPhase("motion", f.summary[BENCH_MOTION_SECONDS].median, work.steps, run);
    const double springSteps = static_cast<double>(work.springs) * static_cast<double>(work.steps);
    std::printf("springs/s  %.4g in the spring phase, %.4g over the run\n",
                f.summary[BENCH_SPRING_RATE].median, run > 0.0 ? springSteps / run : 0.0);
    if (s.threads > 1)
        std::printf("threads    %" PRId64 " of %" PRId64 " tiled spring phases ran on them\n",
                    s.counters.threadedPhases, s.counters.tiledPhases);
    char what[64];
    std::snprintf(what, sizeof what, "the %d-thread runs", s.threads);
    warnSpread(what, rate);
}

// Each object's planned ways with their times; the chosen one is starred.
void benchPrintPlans(const std::vector<BenchPlan>& plans) {
    for (const BenchPlan& plan : plans) {
        const SimSpringsPlanFigures& f = plan.figures;
        std::printf("plan       object %d, %" PRId64 " springs:", plan.oid, plan.springs);
        if (f.planRefused) std::printf(" general (no memory for the tiles)");
        for (int i = 0; i < f.ways; ++i)
            std::printf("%s %s %.3f ms%s", i ? "," : "", benchWayName(f.way[i]).c_str(),
                        f.way[i].nanos * 1e-9 * 1e3, i == f.chosen ? "*" : "");
        std::printf("\n");
    }
}

// An object whose tiled plan could not be had runs on the general loop, with
// the same bits: the run goes on, and says so.
void benchTellRefusedPlans(const std::vector<BenchPlan>& plans) {
    for (const BenchPlan& plan : plans) {
        const SimSpringsPlanFigures& f = plan.figures;
        if (!f.planRefused) continue;
        std::fprintf(stderr, "zibbet-bench: spring plan of obj%d: needed %lld bytes", plan.oid,
                     static_cast<long long>(f.planBytes));
        if (f.availableBytes >= 0)
            std::fprintf(stderr, ", %lld bytes available",
                         static_cast<long long>(f.availableBytes));
        std::fprintf(stderr, " (%s); obj%d runs on the general loop\n", f.limit, plan.oid);
    }
}

// Each further thread count's steps per second against the first count's.
void benchPrintScaling(const BenchWorkload& work) {
    if (work.series.size() < 2) return;
    const BenchSeries& first = work.series.front();
    const double base = benchFigures(work, first).summary[BENCH_STEP_RATE].median;
    for (size_t i = 1; i < work.series.size(); ++i) {
        const BenchSeries& s = work.series[i];
        const double rate = benchFigures(work, s).summary[BENCH_STEP_RATE].median;
        std::printf("scaling    %d thread%s: %.2f times the steps/s of %d thread%s (medians)\n",
                    s.threads, plural(s.threads), base > 0.0 ? rate / base : 0.0, first.threads,
                    plural(first.threads));
    }
}

// The most memory the run held at once, start-up included: what a scene
// costs (springs take 40 bytes each).
void benchPrintPeakMemory() {
    constexpr double kBytesPerMiB = 1024.0 * 1024.0;
    const int64_t peak = platPeakResidentBytes();
    if (peak < 0) {
        std::printf("peak rss   unknown\n");
        return;
    }
    std::printf("peak rss   %10.1f MiB\n", static_cast<double>(peak) / kBytesPerMiB);
}

// A suite series' one line, and its warning.
void benchPrintSuiteSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions&) {
    const BenchSummary rate = benchFigures(work, s).summary[BENCH_SPRING_RATE];
    std::printf("springs/s  %.4g in the spring phase, spread %.1f %%\n", rate.median,
                100.0 * rate.spread);
    char what[96];
    std::snprintf(what, sizeof what, "%s's %d-thread runs", work.scene.c_str(), s.threads);
    warnSpread(what, rate);
}

void benchPrintSuiteTable(const std::vector<BenchWorkload>& suite, int repeat) {
    std::printf("suite      springs per second in the spring phase: medians of %d timed run%s\n",
                repeat, plural(repeat));
    std::printf("%-16s %10s %6s %7s %11s %11s %11s %7s %8s\n", "scene", "springs", "steps",
                "threads", "springs/s", "min", "max", "spread", "x first");
    for (const BenchWorkload& w : suite) {
        double first = 0.0;
        for (const BenchSeries& s : w.series) {
            const BenchSummary r = benchFigures(w, s).summary[BENCH_SPRING_RATE];
            if (first == 0.0) first = r.median;
            std::printf("%-16s %10" PRId64 " %6ld %7d %11.4g %11.4g %11.4g %5.1f %% %8.2f\n",
                        w.scene.c_str(), w.springs, w.steps, s.threads, r.median, r.min, r.max,
                        100.0 * r.spread, first > 0.0 ? r.median / first : 0.0);
        }
    }
    std::printf("digest    ");
    for (size_t i = 0; i < suite.size(); ++i)
        std::printf("%s %016" PRIx64 " %s", i ? "," : "", suite[i].digest, suite[i].scene.c_str());
    std::printf("\n");
}
