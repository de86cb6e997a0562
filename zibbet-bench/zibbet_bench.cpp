// zibbet-bench: builds the world as start-up does (bench_world.h), runs whole
// simulation steps without a window and reports rates, phase times and a
// digest of the final state, so that two runs or two builds can be compared.
// The timed steps run several times at each thread count, each time from the
// world as loaded, after a warm-up; the report gives their medians and spread
// (bench_runs.h) and the machine they ran on (bench_machine.h). --plot draws
// the reports (bench_plot.h), --soak checks every step (bench_soak.h), --json
// writes the figures and --compare weighs two such files (bench_json.h);
// --suite runs two scenes built in memory, for comparing machines.
//
// Sections: the text report; outputs; the runs; one scene; the suite; main.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "scenegen/bodies.h"
#include "scenegen/moon_scene.h"
#include "sim/parallel.h"
#include "sim/springs.h"
#include "sim/world.h"
#include "startup/frame.h"
#include "zibbet-bench/bench_json.h"
#include "zibbet-bench/bench_machine.h"
#include "zibbet-bench/bench_options.h"
#include "zibbet-bench/bench_plot.h"
#include "zibbet-bench/bench_runs.h"
#include "zibbet-bench/bench_soak.h"
#include "zibbet-bench/bench_world.h"

namespace {

constexpr int kExitUsage = 2;
// A soak check, a world that did not build, runs that did not agree, a file
// not written.
constexpr int kExitFailed = 1;
constexpr long kMaxPlotSamples = 100000; // more would make a picture no one can open
const char* const kStandardOutput = "-"; // --json -

double secondsSince(int64_t start) {
    return static_cast<double>(platCounter() - start) / static_cast<double>(platCounterFrequency());
}

// ---------------------------------------------------------------------------
// The text report: the spring plans, each thread count's medians and spread,
// the scaling between counts, the suite's table and the peak memory
// ---------------------------------------------------------------------------

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

// "1 thread", "2 threads", "1 and 2 threads", "1, 2 and 4 threads".
std::string threadsText(const BenchThreadCounts& counts) {
    std::string text;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (i > 0) text += i + 1 == counts.size() ? " and " : ", ";
        text += std::to_string(counts[i].n);
    }
    return text + " thread" + plural(counts.size() == 1 && counts[0].n == 1 ? 1 : 2);
}

// A series' lines: the medians of its runs, their range and spread.
void printSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions& opt) {
    const BenchFigures f = benchFigures(work, s);
    const BenchSummary& rate = f.summary[BENCH_STEP_RATE];
    const double run = f.summary[BENCH_RUN_SECONDS].median;
    // A soak's one timed run is the one that reports.
    std::printf("run        %10.6f s  %10.1f steps/s%s", run, rate.median,
                opt.soak && opt.report ? "  (reports included)" : "");
    if (rate.count > 1)
        std::printf("  median of %d: %.1f to %.1f, spread %.1f %%", rate.count, rate.min, rate.max,
                    100.0 * rate.spread);
    std::printf("\n");
    for (int p = 0; p < kBenchPhases; ++p) {
        const double seconds = f.summary[BENCH_FORCES_SECONDS + p].median;
        std::printf("%-10s %10.6f s  %10.3f us/step  %5.1f %%\n", kBenchPhaseNames[p], seconds,
                    seconds * 1e6 / work.steps, run > 0.0 ? 100.0 * seconds / run : 0.0);
    }
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

// A suite series' one line, and its warning.
void printSuiteSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions&) {
    const BenchSummary rate = benchFigures(work, s).summary[BENCH_SPRING_RATE];
    std::printf("springs/s  %.4g in the spring phase, spread %.1f %%\n", rate.median,
                100.0 * rate.spread);
    char what[96];
    std::snprintf(what, sizeof what, "%s's %d-thread runs", work.scene.c_str(), s.threads);
    warnSpread(what, rate);
}

// Each object's planned ways with their times, the chosen one starred. An
// object whose tiled plan could not be had runs on the general loop, with
// the same bits: the run goes on, and says so first.
void printPlans(const std::vector<BenchPlan>& plans, double seconds) {
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
    std::printf("plans      %10.6f s  before the run\n", seconds);
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

// Each further thread count's steps per second against the first count's.
void printScaling(const BenchWorkload& work) {
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
void printPeakMemory() {
    const int64_t peak = platPeakResidentBytes();
    if (peak < 0)
        std::printf("peak rss   unknown\n");
    else
        std::printf("peak rss   %10.1f MiB\n", static_cast<double>(peak) / (1024.0 * 1024.0));
}

void printSuiteTable(const std::vector<BenchWorkload>& suite, int repeat) {
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

// ---------------------------------------------------------------------------
// Outputs
// ---------------------------------------------------------------------------

// Where the figures go besides the text report, and the reports kept for the
// picture. With --json -, the JSON has standard output to itself and the
// text report goes to standard error.
struct Outputs {
    std::FILE* json = nullptr;
    std::FILE* plot = nullptr;
    std::vector<PlotSample> plotSamples;
};

void keepReport(Outputs& out, const PlotSample& report) {
    if (out.plot) out.plotSamples.push_back(report);
}

// Opens the files before the world is built and the steps run, so that a
// long run does not end in a refusal. With --plot, reports every
// kBenchPlotReport steps unless --report chose. False after printing why.
bool openOutputs(BenchOptions& opt, Outputs& out) {
    if (opt.json && std::strcmp(opt.json, kStandardOutput) == 0) {
        std::fflush(stdout);
        const int jsonFd = dup(STDOUT_FILENO);
        out.json = jsonFd >= 0 ? fdopen(jsonFd, "w") : nullptr;
        if (!out.json || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "zibbet-bench: cannot write the JSON to standard output: %s\n",
                         std::strerror(errno));
            return false;
        }
    } else if (opt.json && !(out.json = std::fopen(opt.json, "w"))) {
        std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json,
                     std::strerror(errno));
        return false;
    }
    if (!opt.plot) return true;
    if (!opt.report) opt.report = kBenchPlotReport;
    if (opt.steps / opt.report + 1 > kMaxPlotSamples) {
        std::fprintf(stderr,
                     "zibbet-bench: --plot draws at most %ld reports: raise --report to at least "
                     "%ld\n",
                     kMaxPlotSamples, opt.steps / (kMaxPlotSamples - 1) + 1);
        return false;
    }
    out.plot = std::fopen(opt.plot, "w");
    if (!out.plot)
        std::fprintf(stderr, "zibbet-bench: cannot write plot file '%s': %s\n", opt.plot,
                     std::strerror(errno));
    return out.plot != nullptr;
}

// Closes the JSON file; false after printing why.
bool closeJson(std::FILE* f, const BenchOptions& opt) {
    if (std::fclose(f) == 0) return true;
    std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json, std::strerror(errno));
    return false;
}

// Draws the reports and closes the file; false after printing why.
bool closePlot(const Outputs& out, const BenchOptions& opt, const BenchFigures& figures) {
    std::fflush(stdout);
    char title[512];
    std::snprintf(title, sizeof title, "zibbet-bench: %s, %ld steps, drag (%ld, %ld)", opt.scene,
                  opt.steps, opt.drag[0], opt.drag[1]);
    bool ok = plotWriteSvg(out.plot, title, out.plotSamples, benchPhaseMedians(figures));
    ok = std::fclose(out.plot) == 0 && ok;
    if (ok)
        std::fprintf(stderr, "zibbet-bench: plot %s, %zu reports\n", opt.plot,
                     out.plotSamples.size());
    else
        std::fprintf(stderr, "zibbet-bench: cannot write plot file '%s'\n", opt.plot);
    return ok;
}

// ---------------------------------------------------------------------------
// The runs
// ---------------------------------------------------------------------------

// The drag for `step` (from 1): the cube stands still for the first period,
// so that the body falls and settles as it does when the program starts, then
// each period takes the next of: turning by the --drag offset, still, turning
// back by the opposite offset, still.
void scheduleDrag(const BenchOptions& opt, long step) {
    static const long kSigns[4] = {0, 1, 0, -1};
    const long sign = kSigns[((step - 1) / opt.schedule) % 4];
    mouseDx = static_cast<int32_t>(sign * opt.drag[0]);
    mouseDy = static_cast<int32_t>(sign * opt.drag[1]);
}

// The spring plans, made before the clock starts (a large body's first step
// would otherwise carry seconds of preparation); their time in seconds, or a
// negative number when the world lost masses or springs to a failed
// allocation: its rate would be a false number, so none is given.
double makePlans() {
    const int64_t start = platCounter();
    simSpringsPrepareAll();
    const double seconds = secondsSince(start);
    if (const SimAllocFailure& fail = simAllocFailure(); fail.failed) {
        std::fprintf(stderr,
                     "zibbet-bench: the world did not build: %s: needed %lld bytes, %lld bytes "
                     "available (%s); no run\n",
                     fail.what, static_cast<long long>(fail.needed),
                     static_cast<long long>(fail.available), fail.limit);
        return -1.0;
    }
    printPlans(benchPlans(), seconds);
    return seconds;
}

// From the world's start, the steps with the drag schedule; with observe,
// the reports and the soak's checks too.
BenchSample runFromStart(const BenchOptions& opt, const BenchWorldStart& start, Outputs* observe) {
    benchRestoreStart(start);
    const double freq = static_cast<double>(platCounterFrequency()); // counts per second
    int64_t counts[kBenchPhases] = {};
    const int64_t began = platCounter();
    for (long step = 1; step <= opt.steps; ++step) {
        const bool reporting = observe && opt.report && step % opt.report == 0;
        if (reporting) benchRememberPositions();
        if (opt.schedule) scheduleDrag(opt, step);
        const FxCubeAngles before = fxCubeAngles();
        appStepWorld();
        counts[0] += phaseForces;
        counts[1] += phaseSprings;
        counts[2] += phaseMotion;
        if (reporting) keepReport(*observe, benchReportState(step, &before));
        if (observe && opt.soak) soakObserve(step, before);
    }
    BenchSample s;
    s.runSeconds = (platCounter() - began) / freq;
    // The last reading, before the report's own printing can touch anything.
    if (observe && opt.soak) soakEnd(opt.steps);
    for (int p = 0; p < kBenchPhases; ++p)
        s.phase[p] = static_cast<double>(counts[p]) / freq;
    s.digest = fixtureWorldDigest();
    return s;
}

// How the runs are made at each thread count: a soak is one run, checked as
// it goes.
BenchRunShape shapeOf(const BenchOptions& opt) {
    return opt.soak ? BenchRunShape{1, 0} : BenchRunShape{static_cast<int>(opt.repeat), 1};
}

// The bodies' springs and tiles are built on as many threads as the runs take
// at most; the same springs and tiles as on one.
void buildOnThreads(const BenchThreadCounts& counts) {
    simParallelSetBuildThreads(std::ranges::max(counts, {}, &BenchThreadCount::n).n);
}

// One thread count's plans, warm-up and timed runs; the phase counters are
// the timed runs' own. False after saying why when the plans could not be
// made or a run ended with another digest.
bool runSeries(int threads, const BenchRunShape& shape, const BenchRunFn& run,
               BenchAgreement& agreement, BenchSeries& s) {
    simSpringsSetThreads(threads);
    s.threads = simSpringsThreads();
    s.planSeconds = makePlans();
    if (s.planSeconds < 0.0) return false;
    std::vector<BenchSample> warmup;
    if (shape.warmups && !benchRepeat(0, true, run, agreement, warmup)) return false;
    const SimSpringsCounters before = simSpringsCounters();
    if (!benchRepeat(shape.repeat, false, run, agreement, s.samples)) return false;
    s.path = simSpringsPath();
    s.plans = benchPlans();
    s.counters = simSpringsCounters();
    s.counters.threadedPhases -= before.threadedPhases;
    s.counters.tiledPhases -= before.tiledPhases;
    return true;
}

// The work of the world as it stands, as opt runs it.
BenchWorkload workOf(const BenchOptions& opt) {
    BenchWorkload work = benchCountWorld();
    work.scene = opt.scene;
    work.steps = opt.steps;
    work.drag[0] = opt.drag[0];
    work.drag[1] = opt.drag[1];
    work.schedule = opt.schedule;
    return work;
}

using SeriesPrinter = void (*)(const BenchWorkload& work, const BenchSeries& s,
                               const BenchOptions& opt);

// Every thread count's runs from start, each series printed as it ends; the
// series and the digest into work. The number of runs, or -1 after saying
// why there are no figures.
int runCounts(const BenchOptions& opt, const BenchThreadCounts& counts,
              const BenchWorldStart& start, Outputs& out, SeriesPrinter print,
              BenchWorkload& work) {
    // The reports and the soak's checks go with the first run only, as every
    // run does the same.
    bool observed = false;
    const BenchRunFn run = [&](bool) {
        return runFromStart(opt, start, std::exchange(observed, true) ? nullptr : &out);
    };
    BenchAgreement agreement;
    const BenchRunShape shape = shapeOf(opt);
    for (const BenchThreadCount& count : counts) {
        std::printf("%d thread%s%s: ", count.n, plural(count.n),
                    count.all ? " (all processors)" : "");
        if (shape.warmups)
            std::printf("a warm-up, then %d timed run%s, each from the world as loaded\n",
                        shape.repeat, plural(shape.repeat));
        else
            std::printf("one run, checked after every step\n");
        BenchSeries& series = work.series.emplace_back();
        if (!runSeries(count.n, shape, run, agreement, series)) return -1;
        print(work, series, opt);
    }
    work.digest = agreement.digest;
    return agreement.runs;
}

// ---------------------------------------------------------------------------
// One scene
// ---------------------------------------------------------------------------

// Without --scene and without a scene in the working directory, the default
// scene installed with the program: the data folder lies at a fixed place
// relative to the folder of the executable (bin/../share/zibbet).
void pickInstalledScene(BenchOptions& opt) {
    static std::string installed;
    namespace fs = std::filesystem;
    std::error_code err;
    if (opt.sceneGiven || fs::exists(kBenchDefaultScene, err)) return;
    const std::string bin = platExecutableDir();
    if (bin.empty()) return;
    const fs::path path =
        (fs::path(bin) / ZIBBET_DATA_FROM_BIN / kBenchDefaultScene).lexically_normal();
    if (!fs::is_regular_file(path, err)) return;
    installed = path.string();
    opt.scene = installed.c_str();
}

// The scene of --scene at each thread count: the report, the JSON, the plot
// and the soak's summary. The exit status.
int runScene(BenchOptions& opt, Outputs& out, const BenchMachine& machine) {
    const BenchThreadCounts counts = benchThreadCounts(opt);
    buildOnThreads(counts);
    pickInstalledScene(opt);
    if (!benchBuildWorld(opt.scene, opt.verbose)) return kExitUsage;
    // The offsets that a drag would have left; x and y as motion stores them.
    mouseDx = static_cast<int32_t>(opt.drag[0]);
    mouseDy = static_cast<int32_t>(opt.drag[1]);

    BenchWorkload work = workOf(opt);
    std::printf("zibbet-bench: %ld steps, %d objects, %" PRId64 " masses, %" PRId64
                " springs, drag (%ld, %ld)\n",
                opt.steps, simWorld.nObjects, work.masses, work.springs, opt.drag[0], opt.drag[1]);
    if (opt.schedule)
        std::printf("zibbet-bench: every %ld steps the next drag of: (0, 0), (%ld, %ld), (0, 0), "
                    "(%ld, %ld)\n",
                    opt.schedule, opt.drag[0], opt.drag[1], -opt.drag[0], -opt.drag[1]);
    std::printf("springs on the %s path, %s\n", simSpringsPathName(simSpringsPath()),
                threadsText(counts).c_str());
    benchPrintMachine(machine);

    const BenchWorldStart start = benchKeepStart();
    if (opt.report) keepReport(out, benchReportState(0, nullptr));
    if (opt.soak) soakBegin(opt.steps);
    const int runs = runCounts(opt, counts, start, out, printSeries, work);
    if (runs < 0) return kExitFailed;
    printScaling(work);
    std::printf("digest     %016" PRIx64 "\n", work.digest);
    if (runs > 1) std::printf("runs       all %d ended with this digest\n", runs);
    printPeakMemory();

    const BenchSeries& first = work.series.front();
    if (out.json) {
        std::fflush(stdout); // the text report first, where both share a terminal
        benchWriteJson(out.json, machine, work, shapeOf(opt));
        if (!closeJson(out.json, opt)) return kExitFailed;
    }
    if (out.plot && !closePlot(out, opt, benchFigures(work, first))) return kExitFailed;
    if (opt.soak && !soakSummary(opt.steps, first.samples.front().runSeconds)) return kExitFailed;
    return 0;
}

// ---------------------------------------------------------------------------
// The suite
// ---------------------------------------------------------------------------

// The geodesic sphere nearest 25 million springs (25.4 million): too large
// for any processor's caches, so that memory speed counts.
constexpr int kSuiteSphereVerts = 7842;

struct SuiteScene {
    const char* name; // as zibbet-assets would name its file
    long steps;       // about a second a run on a recent processor
    FxBytes (*bytes)();
};

const SuiteScene kSuite[] = {
    {"bmoon1m.3ds", 1000, fxDefaultScene},
    {"sphere-7842.3ds", 10, [] { return fxSphereScene(fxSphereParts(kSuiteSphereVerts)); }},
};

// --suite: each scene at each thread count, one table. The exit status.
int runSuite(const BenchOptions& opt, Outputs& out, const BenchMachine& machine) {
    const int64_t began = platCounter();
    const BenchThreadCounts counts = benchThreadCounts(opt);
    buildOnThreads(counts);
    const BenchRunShape shape = shapeOf(opt);
    std::printf("zibbet-bench --suite: the default scene and a sphere of about 25 million "
                "springs, built in memory, at %s; a warm-up and %d timed run%s each\n",
                threadsText(counts).c_str(), shape.repeat, plural(shape.repeat));
    benchPrintMachine(machine);
    std::vector<BenchWorkload> suite;
    for (const SuiteScene& scene : kSuite) {
        std::fflush(stdout);
        if (!benchBuildWorldFromMemory(scene.name, scene.bytes(), opt.verbose)) return kExitFailed;
        BenchOptions sceneOpt = opt;
        sceneOpt.scene = scene.name;
        sceneOpt.steps = scene.steps;
        BenchWorkload& work = suite.emplace_back(workOf(sceneOpt));
        std::printf("scene      %s: %" PRId64 " masses, %" PRId64 " springs, %ld steps a run\n",
                    scene.name, work.masses, work.springs, scene.steps);
        const BenchWorldStart start = benchKeepStart();
        if (runCounts(sceneOpt, counts, start, out, printSuiteSeries, work) < 0) return kExitFailed;
    }
    printSuiteTable(suite, shape.repeat);
    printPeakMemory();
    std::printf("suite      %.1f s in all\n", secondsSince(began));
    if (out.json) {
        std::fflush(stdout);
        benchWriteSuiteJson(out.json, machine, suite, shape);
        if (!closeJson(out.json, opt)) return kExitFailed;
    }
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Main
// ---------------------------------------------------------------------------
int main(int argc, char** argv) {
    BenchOptions opt;
    const BenchParse parsed = benchParseOptions(argc, argv, opt);
    if (parsed == BenchParse::Done) return 0;
    if (parsed == BenchParse::Bad) return kExitUsage;
    if (opt.compare[0]) return benchCompare(opt.compare[0], opt.compare[1], opt.force, stdout);
    // The load before this program adds its own.
    const BenchMachine machine = benchReadMachine();
    Outputs out;
    if (!openOutputs(opt, out)) return kExitUsage;
    return opt.suite ? runSuite(opt, out, machine) : runScene(opt, out, machine);
}
