// zibbet-bench: builds the world as start-up does, runs whole simulation
// steps without a window and reports rates, phase times and a digest of the
// final state, so that two runs or two builds can be compared. The timed
// steps run several times at each thread count, each time from the world as
// loaded, after a warm-up (bench_runs.h); the report gives their medians and
// spread and the machine they ran on (bench_machine.h). With --plot it also
// draws its reports as an SVG picture; with --soak it is an endurance run
// (bench_soak.h); with --json it writes its figures (bench_json.h); --suite
// runs two scenes built in memory for comparing machines; --compare weighs
// two result files (bench_compare.h). The options are in bench_options.h,
// the calls to the spring engine in bench_springs.h.
//
// Sections: world building; state report; plot; drag schedule; the world's
// start; the runs; one scene; the suite; main.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/frame.h"
#include "app/startup.h"
#include "platform/platform.h"
#include "sim/bcube.h"
#include "sim/world.h"
#include "tools/bench_compare.h"
#include "tools/bench_json.h"
#include "tools/bench_machine.h"
#include "tools/bench_options.h"
#include "tools/bench_plot.h"
#include "tools/bench_runs.h"
#include "tools/bench_soak.h"
#include "tools/bench_springs.h"
#include "tools/bench_stats.h"
#include "tools/common/bodies.h"
#include "tools/common/body_promises.h"
#include "tools/common/moon_scene.h"

namespace {

constexpr int kExitUsage = 2;
// A soak check, a world that did not build, runs that did not agree, a file
// not written.
constexpr int kExitFailed = 1;
constexpr long kMaxPlotSamples = 100000; // more would make a picture no one can open
const char* const kStandardOutput = "-"; // --json -

// ---------------------------------------------------------------------------
// World building
// ---------------------------------------------------------------------------

// Start-up talks a lot. Unless --verbose, its output goes to a scratch file
// that is dropped once the world stands; should start-up end the process
// (a scene that does not load), the exit handler shows it after all.
struct Hush {
    int savedStdout = -1;
    std::FILE* scratch = nullptr;
};
Hush hush;

// Puts stdout back and, when asked, copies what start-up printed onto it.
void unhush(bool show) {
    if (hush.savedStdout < 0) return;
    std::fflush(stdout);
    dup2(hush.savedStdout, STDOUT_FILENO);
    close(hush.savedStdout);
    hush.savedStdout = -1;
    if (show) {
        std::rewind(hush.scratch);
        char buf[4096];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, hush.scratch)) > 0)
            std::fwrite(buf, 1, n, stdout);
    }
    std::fclose(hush.scratch);
    hush.scratch = nullptr;
}

void unhushAtExit() {
    unhush(true);
}

void beginHush() {
    static bool handlerSet = false;
    std::fflush(stdout);
    hush.scratch = std::tmpfile();
    if (!hush.scratch) return; // start-up then simply shows
    hush.savedStdout = dup(STDOUT_FILENO);
    if (hush.savedStdout < 0 || dup2(fileno(hush.scratch), STDOUT_FILENO) < 0) {
        if (hush.savedStdout >= 0) close(hush.savedStdout);
        hush.savedStdout = -1;
        std::fclose(hush.scratch);
        hush.scratch = nullptr;
        return;
    }
    if (!handlerSet) std::atexit(unhushAtExit);
    handlerSet = true;
}

// The scene stage ends the process with status 1 when the file does not
// load; a file that cannot even be read is a usage error of ours instead.
bool sceneReadable(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    int err = errno;
    if (f) {
        // Opening a directory succeeds; reading it does not.
        if (std::fgetc(f) == EOF && std::ferror(f))
            err = errno;
        else
            err = 0;
        std::fclose(f);
    }
    if (err == 0) return true;
    std::fprintf(stderr, "zibbet-bench: cannot read scene file '%s': %s\n", path,
                 std::strerror(err));
    return false;
}

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

// Everything start-up does before the window opens: the world stage, then
// the scene stage on the scene file.
void startUp(const char* scene, bool verbose) {
    if (!verbose) beginHush();
    const int grey = appWorldSetup();
    appSceneSetup(grey, scene);
    unhush(false);
}

// The world from --scene; false after printing why.
bool buildWorld(const BenchOptions& opt) {
    if (!sceneReadable(opt.scene)) return false;
    std::fprintf(stderr, "zibbet-bench: scene %s\n", opt.scene);
    startUp(opt.scene, opt.verbose);
    return true;
}

// ---------------------------------------------------------------------------
// State report
// ---------------------------------------------------------------------------
struct WorldTotals {
    int64_t masses = 0;
    int64_t springs = 0;
};

WorldTotals countWorld() {
    WorldTotals t;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        t.masses += simWorld.objects[oid].nMasses;
        t.springs += simWorld.objects[oid].nSprings;
    }
    return t;
}

// The reports kept for the picture, when --plot asks for one.
bool plotting = false;
std::vector<PlotSample> plotSamples;

// Body mass positions before the step that ends with a report, in object and
// mass order.
std::vector<double> positionsBefore;

void rememberPositions() {
    positionsBefore.clear();
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!benchIsBody(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i)
            positionsBefore.insert(positionsBefore.end(), obj.masses[i].pos, obj.masses[i].pos + 3);
    }
}

// The finite colliding masses of the soft bodies beyond the cube, by the
// soak's rule: the cube posed as each object met it in the step. Before the
// first step the cube has no faces yet: it is posed where it stands (the
// step poses it afresh from its angles, so this changes no result).
int64_t countBeyondCube(const FxCubeAngles* before) {
    int64_t beyond = 0;
    auto count = [&](int oid) {
        if (!benchIsBody(oid)) return;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i) {
            const SimMass& m = obj.masses[i];
            if ((m.flags & SIMF_BCUBE) && fxFiniteMass(m) && benchBeyondCube(m.pos)) ++beyond;
        }
    };
    if (before) {
        fxForEachObjectPose(*before, count);
    } else {
        simRotBCube(cubeAngleX, cubeAngleY, cubeAngleZ);
        for (int oid = 0; oid < simWorld.nObjects; ++oid)
            count(oid);
    }
    return beyond;
}

// Kinetic and spring energy of the soft bodies, their centre, how far their
// masses moved in the last step on average, and the masses that left the cube
// or stopped being finite numbers. A mass held against a face keeps the
// velocity the contact gives it although it stays put, so a body at rest
// still shows some kinetic energy; the distance moved goes to zero.
// `before` holds the cube's angles before the step, null before the first.
void reportState(long step, const FxCubeAngles* before) {
    double kinetic = 0.0, spring = 0.0, centre[3] = {0.0, 0.0, 0.0}, moved = 0.0;
    int64_t count = 0, nonFinite = 0;
    size_t at = 0; // into positionsBefore
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!benchIsBody(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i, at += 3) {
            const SimMass& m = obj.masses[i];
            if (at + 3 <= positionsBefore.size()) {
                double d2 = 0.0;
                for (int j = 0; j < 3; ++j)
                    d2 +=
                        (m.pos[j] - positionsBefore[at + j]) * (m.pos[j] - positionsBefore[at + j]);
                if (std::isfinite(d2)) moved += std::sqrt(d2);
            }
            bool finite = true;
            for (int j = 0; j < 3; ++j)
                finite = finite && std::isfinite(m.pos[j]) && std::isfinite(m.vel[j]);
            if (!finite) {
                ++nonFinite;
                continue;
            }
            const double v2 = m.vel[0] * m.vel[0] + m.vel[1] * m.vel[1] + m.vel[2] * m.vel[2];
            kinetic += 0.5 * m.mass * v2;
            for (int j = 0; j < 3; ++j)
                centre[j] += m.pos[j];
            ++count;
        }
        const double divisor = benchSpringForceDivisor();
        for (int32_t s = 0; s < obj.nSprings; ++s) {
            const SimSpring& sp = obj.springs[s];
            if (sp.a < 0 || sp.a >= obj.nMasses || sp.b < 0 || sp.b >= obj.nMasses) continue;
            const double* pa = obj.masses[sp.a].pos;
            const double* pb = obj.masses[sp.b].pos;
            const double dx = pa[0] - pb[0], dy = pa[1] - pb[1], dz = pa[2] - pb[2];
            const double stretch = std::sqrt(dx * dx + dy * dy + dz * dz) - sp.rest;
            // The spring force is (rest - L) * k / divisor along the spring.
            if (std::isfinite(stretch)) spring += 0.5 * (sp.k / divisor) * stretch * stretch;
        }
    }
    const int64_t outside = countBeyondCube(before);
    if (count > 0) {
        for (double& c : centre)
            c /= static_cast<double>(count);
        moved /= static_cast<double>(count);
    }
    std::printf("step %8ld  kinetic %12.6f  spring %12.6f  moved %.3e  centre (%9.4f %9.4f "
                "%9.4f)  outside %" PRId64 "  nonfinite %" PRId64 "\n",
                step, kinetic, spring, moved, centre[0], centre[1], centre[2], outside, nonFinite);
    if (plotting) plotSamples.push_back({step, kinetic, spring, centre[1]});
}

// ---------------------------------------------------------------------------
// Plot
// ---------------------------------------------------------------------------

// Reports every kBenchPlotReport steps unless --report chose; the picture's file
// is made before the run, so that a path that cannot be written costs no run.
std::FILE* openPlot(BenchOptions& opt) {
    if (!opt.plot) return nullptr;
    if (!opt.report) opt.report = kBenchPlotReport;
    if (opt.steps / opt.report + 1 > kMaxPlotSamples) {
        std::fprintf(stderr,
                     "zibbet-bench: --plot draws at most %ld reports: raise --report to at least "
                     "%ld\n",
                     kMaxPlotSamples, opt.steps / (kMaxPlotSamples - 1) + 1);
        return nullptr;
    }
    std::FILE* f = std::fopen(opt.plot, "w");
    if (!f)
        std::fprintf(stderr, "zibbet-bench: cannot write plot file '%s': %s\n", opt.plot,
                     std::strerror(errno));
    plotting = f != nullptr;
    return f;
}

// Draws the reports and closes the file; false after printing why.
bool closePlot(std::FILE* f, const BenchOptions& opt, const PlotPhases& phases) {
    char title[512];
    std::snprintf(title, sizeof title, "zibbet-bench: %s, %ld steps, drag (%ld, %ld)", opt.scene,
                  opt.steps, opt.drag[0], opt.drag[1]);
    bool ok = plotWriteSvg(f, title, plotSamples, phases);
    ok = std::fclose(f) == 0 && ok;
    if (ok)
        std::fprintf(stderr, "zibbet-bench: plot %s, %zu reports\n", opt.plot, plotSamples.size());
    else
        std::fprintf(stderr, "zibbet-bench: cannot write plot file '%s'\n", opt.plot);
    return ok;
}

// ---------------------------------------------------------------------------
// Drag schedule
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

// ---------------------------------------------------------------------------
// The world's start
// ---------------------------------------------------------------------------

// What the steps change, as the world stood when it was loaded: every run
// starts from it, so that each does the same work and ends with the same
// digest. The springs, and so the spring plans made from them, stay put.
struct WorldStart {
    std::vector<std::vector<SimMass>> masses; // by oid
    std::vector<std::vector<SimPoly>> polys;  // the cube's face normals move with it
    double angles[3] = {0.0, 0.0, 0.0};
    int32_t mouse[2] = {0, 0};
};

WorldStart keepStart() {
    WorldStart start;
    start.masses.resize(static_cast<size_t>(simWorld.nObjects));
    start.polys.resize(static_cast<size_t>(simWorld.nObjects));
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        if (obj.masses)
            start.masses[static_cast<size_t>(oid)].assign(obj.masses, obj.masses + obj.nMasses);
        if (obj.polys)
            start.polys[static_cast<size_t>(oid)].assign(obj.polys, obj.polys + obj.nPolys);
    }
    start.angles[0] = cubeAngleX;
    start.angles[1] = cubeAngleY;
    start.angles[2] = cubeAngleZ;
    start.mouse[0] = mouseDx;
    start.mouse[1] = mouseDy;
    return start;
}

// The counts of masses and triangles never change once start-up is over.
void restoreStart(const WorldStart& start) {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        SimObject& obj = simWorld.objects[oid];
        const std::vector<SimMass>& masses = start.masses[static_cast<size_t>(oid)];
        const std::vector<SimPoly>& polys = start.polys[static_cast<size_t>(oid)];
        std::copy(masses.begin(), masses.end(), obj.masses);
        std::copy(polys.begin(), polys.end(), obj.polys);
    }
    cubeAngleX = start.angles[0];
    cubeAngleY = start.angles[1];
    cubeAngleZ = start.angles[2];
    mouseDx = start.mouse[0];
    mouseDy = start.mouse[1];
}

// ---------------------------------------------------------------------------
// The runs
// ---------------------------------------------------------------------------

// Where the figures go besides the text report. With --json -, the JSON has
// standard output to itself and the text report goes to standard error.
struct Outputs {
    std::FILE* json = nullptr;
    std::FILE* plot = nullptr;
};

// Opens the files before the world is built and the steps run, so that a
// long run does not end in a refusal. False after printing why.
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
    } else if (opt.json) {
        out.json = std::fopen(opt.json, "w");
        if (!out.json) {
            std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json,
                         std::strerror(errno));
            return false;
        }
    }
    out.plot = openPlot(opt);
    return !opt.plot || out.plot;
}

// Start-up as the program does it, up to the window: the world and the
// scene. False after printing why the run cannot go on.
bool startWorld(BenchOptions& opt) {
    pickInstalledScene(opt);
    if (!buildWorld(opt)) return false;
    return true;
}

struct RunTimes {
    double freq = 1.0;                           // counts per second
    int64_t forces = 0, springs = 0, motion = 0; // phase counts
    double runSeconds = 0.0;
};

// Each object's planned ways with their times; the chosen one is starred.
void printPlans() {
    for (const BenchPlan& plan : benchSprings().plans) {
        std::printf("plan       object %d, %" PRId64 " springs:", plan.oid, plan.springs);
        if (plan.refused) std::printf(" general (no memory for the tiles)");
        for (size_t i = 0; i < plan.candidates.size(); ++i)
            std::printf("%s %s %.3f ms%s", i ? "," : "", plan.candidates[i].way.c_str(),
                        plan.candidates[i].seconds * 1e3,
                        static_cast<int>(i) == plan.chosen ? "*" : "");
        std::printf("\n");
    }
}

// An object whose tiled plan could not be had runs on the general loop, with
// the same bits: the run goes on, and says so.
void tellRefusedPlans() {
    for (const BenchPlan& plan : benchSprings().plans) {
        if (!plan.refused) continue;
        std::fprintf(stderr, "zibbet-bench: spring plan of obj%d: needed %lld bytes", plan.oid,
                     static_cast<long long>(plan.bytes));
        if (plan.available >= 0)
            std::fprintf(stderr, ", %lld bytes available", static_cast<long long>(plan.available));
        std::fprintf(stderr, " (%s); obj%d runs on the general loop\n", plan.limit.c_str(),
                     plan.oid);
    }
}

// The spring plans, made before the clock starts (a large body's first step
// would otherwise carry seconds of preparation); their time in seconds, or a
// negative number when the world lost masses or springs to a failed
// allocation: its rate would be a false number, so none is given.
double makePlans() {
    const int64_t start = platCounter();
    benchSpringsPrepare();
    const double seconds =
        static_cast<double>(platCounter() - start) / static_cast<double>(platCounterFrequency());
    if (const SimAllocFailure& fail = simAllocFailure(); fail.failed) {
        std::fprintf(stderr,
                     "zibbet-bench: the world did not build: %s: needed %lld bytes, %lld bytes "
                     "available (%s); no run\n",
                     fail.what, static_cast<long long>(fail.needed),
                     static_cast<long long>(fail.available), fail.limit);
        return -1.0;
    }
    tellRefusedPlans();
    std::printf("plans      %10.6f s  before the run\n", seconds);
    printPlans();
    return seconds;
}

// The steps, with the drag schedule; with observe, the reports and the
// soak's checks too.
RunTimes runSteps(const BenchOptions& opt, bool observe) {
    RunTimes t;
    t.freq = static_cast<double>(platCounterFrequency());
    const int64_t start = platCounter();
    for (long step = 1; step <= opt.steps; ++step) {
        const bool reporting = observe && opt.report && step % opt.report == 0;
        if (reporting) rememberPositions();
        if (opt.schedule) scheduleDrag(opt, step);
        const FxCubeAngles before = fxCubeAngles();
        appStepWorld();
        t.forces += phaseForces;
        t.springs += phaseSprings;
        t.motion += phaseMotion;
        if (reporting) reportState(step, &before);
        if (observe && opt.soak) soakObserve(step, before);
    }
    t.runSeconds = (platCounter() - start) / t.freq;
    // The last reading, before the report's own printing can touch anything.
    if (observe && opt.soak) soakEnd(opt.steps);
    return t;
}

// What a run needs to start again from the world's start; the reports and
// the soak's checks go with the first run only, as every run does the same.
struct RunContext {
    const BenchOptions* opt = nullptr;
    const WorldStart* start = nullptr;
    bool observed = false;
};

BenchSample runFromStart(void* context, bool /*warmup*/) {
    RunContext& ctx = *static_cast<RunContext*>(context);
    restoreStart(*ctx.start);
    const bool observe = !ctx.observed;
    ctx.observed = true;
    const RunTimes t = runSteps(*ctx.opt, observe);
    BenchSample s;
    s.runSeconds = t.runSeconds;
    s.forces = static_cast<double>(t.forces) / t.freq;
    s.springs = static_cast<double>(t.springs) / t.freq;
    s.motion = static_cast<double>(t.motion) / t.freq;
    s.digest = fixtureWorldDigest();
    return s;
}

// How the runs are made at each thread count.
struct RunShape {
    int timed = 1;
    bool warmup = true;
};

RunShape shapeOf(const BenchOptions& opt) {
    // A soak is one run, checked as it goes.
    return opt.soak ? RunShape{1, false} : RunShape{static_cast<int>(opt.repeat), true};
}

// One thread count's plans, warm-up and timed runs; the phase counters are
// the timed runs' own. False after saying why when the plans could not be
// made or a run ended with another digest.
bool runSeries(int threads, const RunShape& shape, RunContext& ctx, BenchAgreement& agreement,
               BenchSeries& s) {
    benchSpringsSetThreads(threads);
    s.threads = benchSprings().threads;
    s.planSeconds = makePlans();
    if (s.planSeconds < 0.0) return false;
    std::vector<BenchSample> warmup;
    if (shape.warmup && !benchRepeat(0, true, runFromStart, &ctx, agreement, warmup)) return false;
    const BenchSprings before = benchSprings();
    if (!benchRepeat(shape.timed, false, runFromStart, &ctx, agreement, s.samples)) return false;
    s.engine = benchSprings();
    s.engine.threadedPhases -= before.threadedPhases;
    s.engine.tiledPhases -= before.tiledPhases;
    return true;
}

const char* plural(long n) {
    return n == 1 ? "" : "s";
}

// "1 thread", "2 threads", "1 and 2 threads", "1, 2 and 4 threads".
std::string threadsText(const BenchThreadCounts& counts) {
    std::string text;
    for (int i = 0; i < counts.count; ++i) {
        if (i > 0) text += i + 1 == counts.count ? " and " : ", ";
        text += std::to_string(counts.n[i]);
    }
    return text + " thread" + plural(counts.n[counts.count - 1] == 1 && counts.count == 1 ? 1 : 2);
}

void printSeriesHead(int threads, bool all, const RunShape& shape) {
    std::printf("%d thread%s%s: ", threads, plural(threads), all ? " (all processors)" : "");
    if (shape.warmup)
        std::printf("a warm-up, then %d timed run%s, each from the world as loaded\n", shape.timed,
                    plural(shape.timed));
    else
        std::printf("one run, checked after every step\n");
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

// The median of one field of the samples.
double medianOf(const std::vector<BenchSample>& samples, double BenchSample::*field) {
    std::vector<double> v;
    for (const BenchSample& s : samples)
        v.push_back(s.*field);
    return benchSummarize(v).median;
}

// A series' lines: the medians of its runs, their range and spread.
void printSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions& opt) {
    // A soak's one timed run is the one that reports.
    const bool reportsIncluded = opt.soak && opt.report;
    const BenchSummary rate = benchSummarize(benchStepRates(s.samples, work.steps));
    const double run = medianOf(s.samples, &BenchSample::runSeconds);
    std::printf("run        %10.6f s  %10.1f steps/s%s", run, rate.median,
                reportsIncluded ? "  (reports included)" : "");
    if (rate.count > 1)
        std::printf("  median of %d: %.1f to %.1f, spread %.1f %%", rate.count, rate.min, rate.max,
                    100.0 * rate.spread);
    std::printf("\n");
    printPhase("forces", medianOf(s.samples, &BenchSample::forces), work.steps, run);
    printPhase("springs", medianOf(s.samples, &BenchSample::springs), work.steps, run);
    printPhase("motion", medianOf(s.samples, &BenchSample::motion), work.steps, run);
    const double springSteps = static_cast<double>(work.springs) * static_cast<double>(work.steps);
    std::printf("springs/s  %.4g in the spring phase, %.4g over the run\n",
                benchSummarize(benchSpringRates(s.samples, work.steps, work.springs)).median,
                run > 0.0 ? springSteps / run : 0.0);
    if (s.threads > 1)
        std::printf("threads    %" PRId64 " of %" PRId64 " tiled spring phases ran on them\n",
                    s.engine.threadedPhases, s.engine.tiledPhases);
    char what[64];
    std::snprintf(what, sizeof what, "the %d-thread runs", s.threads);
    warnSpread(what, rate);
}

// The work of the world as it stands, as opt runs it.
BenchWorkload workOf(const BenchOptions& opt, const WorldTotals& totals) {
    BenchWorkload work;
    work.scene = opt.scene;
    work.steps = opt.steps;
    work.drag[0] = opt.drag[0];
    work.drag[1] = opt.drag[1];
    work.schedule = opt.schedule;
    work.masses = totals.masses;
    work.springs = totals.springs;
    return work;
}

using SeriesPrinter = void (*)(const BenchWorkload& work, const BenchSeries& s,
                               const BenchOptions& opt);

// Every thread count's runs from start, each series printed as it ends; the
// series and the digest into work. The number of runs, or -1 after saying
// why there are no figures.
int runCounts(const BenchOptions& opt, const BenchThreadCounts& counts, const WorldStart& start,
              BenchWorkload& work, SeriesPrinter print) {
    RunContext ctx;
    ctx.opt = &opt;
    ctx.start = &start;
    BenchAgreement agreement;
    const RunShape shape = shapeOf(opt);
    for (int i = 0; i < counts.count; ++i) {
        printSeriesHead(counts.n[i], counts.all[i], shape);
        BenchSeries series;
        if (!runSeries(counts.n[i], shape, ctx, agreement, series)) return -1;
        print(work, series, opt);
        work.series.push_back(series);
    }
    work.digest = agreement.digest;
    return agreement.runs;
}

// Each further thread count's steps per second against the first count's.
void printScaling(const BenchWorkload& work) {
    if (work.series.size() < 2) return;
    const BenchSeries& first = work.series.front();
    const double base = benchSummarize(benchStepRates(first.samples, work.steps)).median;
    for (size_t i = 1; i < work.series.size(); ++i) {
        const BenchSeries& s = work.series[i];
        const double rate = benchSummarize(benchStepRates(s.samples, work.steps)).median;
        std::printf("scaling    %d thread%s: %.2f times the steps/s of %d thread%s (medians)\n",
                    s.threads, plural(s.threads), base > 0.0 ? rate / base : 0.0, first.threads,
                    plural(first.threads));
    }
}

// The most memory the run held at once, start-up included: what a scene
// costs (springs take 40 bytes each).
void printPeakMemory() {
    constexpr double kBytesPerMiB = 1024.0 * 1024.0;
    const int64_t peak = platPeakResidentBytes();
    if (peak < 0) {
        std::printf("peak rss   unknown\n");
        return;
    }
    std::printf("peak rss   %10.1f MiB\n", static_cast<double>(peak) / kBytesPerMiB);
}

// Closes the JSON file; false after printing why.
bool closeJson(std::FILE* f, const BenchOptions& opt) {
    if (std::fclose(f) == 0) return true;
    std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json, std::strerror(errno));
    return false;
}

// ---------------------------------------------------------------------------
// One scene
// ---------------------------------------------------------------------------

// The scene of --scene at each thread count: the report, the JSON, the plot
// and the soak's summary. The exit status.
int runScene(BenchOptions& opt, const Outputs& out, const BenchMachine& machine) {
    if (!startWorld(opt)) return kExitUsage;
    const BenchThreadCounts counts = benchThreadCounts(opt);
    // The offsets that a drag would have left; x and y as motion stores them.
    mouseDx = static_cast<int32_t>(opt.drag[0]);
    mouseDy = static_cast<int32_t>(opt.drag[1]);

    const WorldTotals totals = countWorld();
    std::printf("zibbet-bench: %ld steps, %d objects, %" PRId64 " masses, %" PRId64
                " springs, drag (%ld, %ld)\n",
                opt.steps, simWorld.nObjects, totals.masses, totals.springs, opt.drag[0],
                opt.drag[1]);
    if (opt.schedule)
        std::printf("zibbet-bench: every %ld steps the next drag of: (0, 0), (%ld, %ld), (0, 0), "
                    "(%ld, %ld)\n",
                    opt.schedule, opt.drag[0], opt.drag[1], -opt.drag[0], -opt.drag[1]);
    std::printf("springs on the %s path, %s\n", benchSprings().path, threadsText(counts).c_str());
    benchPrintMachine(stdout, machine);
    benchWarnFrequency(stdout, machine);

    const WorldStart start = keepStart();
    if (opt.report) reportState(0, nullptr);
    if (opt.soak) soakBegin(opt.steps);
    BenchWorkload work = workOf(opt, totals);
    const int runs = runCounts(opt, counts, start, work, printSeries);
    if (runs < 0) return kExitFailed;
    printScaling(work);
    std::printf("digest     %016" PRIx64 "\n", work.digest);
    if (runs > 1) std::printf("runs       all %d ended with this digest\n", runs);
    printPeakMemory();

    const BenchSeries& first = work.series.front();
    if (out.json) {
        // The text report first, where both share a terminal.
        std::fflush(stdout);
        const RunShape shape = shapeOf(opt);
        benchWriteJson(out.json, machine, work, BenchRunShape{shape.timed, shape.warmup ? 1 : 0});
        if (!closeJson(out.json, opt)) return kExitFailed;
    }
    if (out.plot) {
        std::fflush(stdout);
        const PlotPhases phases{medianOf(first.samples, &BenchSample::forces),
                                medianOf(first.samples, &BenchSample::springs),
                                medianOf(first.samples, &BenchSample::motion)};
        if (!closePlot(out.plot, opt, phases)) return kExitFailed;
    }
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

FxBytes suiteMoon() {
    return fxDefaultScene();
}

FxBytes suiteSphere() {
    return fxSphereScene(fxSphereParts(kSuiteSphereVerts));
}

const SuiteScene kSuite[] = {
    {"bmoon1m.3ds", 1000, suiteMoon},
    {"sphere-7842.3ds", 10, suiteSphere},
};

// A fresh world from a scene held in memory, read by start-up through a
// file that lives in memory only. False after printing why.
bool buildWorldFromMemory(const SuiteScene& scene, bool verbose) {
    const FxBytes bytes = scene.bytes();
    const int fd = memfd_create(scene.name, MFD_CLOEXEC);
    size_t written = 0;
    while (fd >= 0 && written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    if (fd < 0 || written < bytes.size()) {
        std::fprintf(stderr, "zibbet-bench: cannot hold the scene %s in memory: %s\n", scene.name,
                     std::strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    simFreeWorld();
    cubeAngleX = cubeAngleY = cubeAngleZ = 0.0; // as at program start
    mouseDx = mouseDy = 0;
    startUp(path, verbose);
    close(fd);
    return true;
}

// A suite series' one line, and its warning.
void printSuiteSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions&) {
    const BenchSummary rate = benchSummarize(benchSpringRates(s.samples, work.steps, work.springs));
    std::printf("springs/s  %.4g in the spring phase, spread %.1f %%\n", rate.median,
                100.0 * rate.spread);
    char what[96];
    std::snprintf(what, sizeof what, "%s's %d-thread runs", work.scene.c_str(), s.threads);
    warnSpread(what, rate);
}

void printSuiteTable(const std::vector<BenchWorkload>& suite, int repeat) {
    std::printf("suite      springs per second in the spring phase: medians of %d timed run%s\n",
                repeat, plural(repeat));
    std::printf("%-16s %10s %6s %7s %11s %11s %11s %7s %8s\n", "scene", "springs", "steps",
                "threads", "springs/s", "min", "max", "spread", "x first");
    for (const BenchWorkload& w : suite) {
        double first = 0.0;
        for (const BenchSeries& s : w.series) {
            const BenchSummary r = benchSummarize(benchSpringRates(s.samples, w.steps, w.springs));
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

// --suite: each scene at each thread count, one table. The exit status.
int runSuite(const BenchOptions& opt, const Outputs& out, const BenchMachine& machine) {
    const int64_t began = platCounter();
    const BenchThreadCounts counts = benchThreadCounts(opt);
    const RunShape shape = shapeOf(opt);
    std::printf("zibbet-bench --suite: the default scene and a sphere of about 25 million "
                "springs, built in memory, at %s; a warm-up and %d timed run%s each\n",
                threadsText(counts).c_str(), shape.timed, plural(shape.timed));
    benchPrintMachine(stdout, machine);
    benchWarnFrequency(stdout, machine);
    std::vector<BenchWorkload> suite;
    for (const SuiteScene& scene : kSuite) {
        std::fflush(stdout);
        if (!buildWorldFromMemory(scene, opt.verbose)) return kExitFailed;
        const WorldTotals totals = countWorld();
        std::printf("scene      %s: %" PRId64 " masses, %" PRId64 " springs, %ld steps a run\n",
                    scene.name, totals.masses, totals.springs, scene.steps);
        BenchOptions sceneOpt = opt;
        sceneOpt.scene = scene.name;
        sceneOpt.steps = scene.steps;
        const WorldStart start = keepStart();
        BenchWorkload work = workOf(sceneOpt, totals);
        if (runCounts(sceneOpt, counts, start, work, printSuiteSeries) < 0) return kExitFailed;
        suite.push_back(work);
    }
    printSuiteTable(suite, shape.timed);
    printPeakMemory();
    const double seconds =
        static_cast<double>(platCounter() - began) / static_cast<double>(platCounterFrequency());
    std::printf("suite      %.1f s in all\n", seconds);
    if (out.json) {
        std::fflush(stdout);
        benchWriteSuiteJson(out.json, machine, suite, BenchRunShape{shape.timed, 1});
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
