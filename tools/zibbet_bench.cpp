// zibbet-bench: builds the world as start-up does, runs whole simulation
// steps without a window and reports rates, phase times and a digest of the
// final state, so that two runs or two builds can be compared. With --plot
// it also draws its reports as an SVG picture; with --soak it is an endurance
// run (bench_soak.h); with --json it writes its figures (bench_json.h). The
// options are in bench_options.h, the calls to the spring engine in
// bench_springs.h.
//
// Sections: world building; state report; plot; drag schedule; the run; main.
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
#include "tools/bench_json.h"
#include "tools/bench_options.h"
#include "tools/bench_plot.h"
#include "tools/bench_soak.h"
#include "tools/bench_springs.h"
#include "tools/common/bodies.h"
#include "tools/common/body_promises.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1; // a soak check, a world that did not build, a file not written
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
    std::atexit(unhushAtExit);
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
// the scene stage on the scene file. Returns false after printing why.
bool buildWorld(const BenchOptions& opt) {
    if (!sceneReadable(opt.scene)) return false;
    std::fprintf(stderr, "zibbet-bench: scene %s\n", opt.scene);
    if (!opt.verbose) beginHush();
    const int grey = appWorldSetup();
    appSceneSetup(grey, opt.scene);
    unhush(false);
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

void printPhase(const char* name, int64_t counts, double freq, long steps, double runSeconds) {
    const double seconds = counts / freq;
    std::printf("%-10s %10.6f s  %10.3f us/step  %5.1f %%\n", name, seconds, seconds * 1e6 / steps,
                runSeconds > 0.0 ? 100.0 * seconds / runSeconds : 0.0);
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
// The run
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
    double planSeconds = 0.0;
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

// The steps, with the drag schedule, the reports and the soak's checks as
// asked.
RunTimes runSteps(const BenchOptions& opt, double planSeconds) {
    RunTimes t;
    t.freq = static_cast<double>(platCounterFrequency());
    t.planSeconds = planSeconds;
    const int64_t start = platCounter();
    for (long step = 1; step <= opt.steps; ++step) {
        const bool reporting = opt.report && step % opt.report == 0;
        if (reporting) rememberPositions();
        if (opt.schedule) scheduleDrag(opt, step);
        const FxCubeAngles before = fxCubeAngles();
        appStepWorld();
        t.forces += phaseForces;
        t.springs += phaseSprings;
        t.motion += phaseMotion;
        if (reporting) reportState(step, &before);
        if (opt.soak) soakObserve(step, before);
    }
    t.runSeconds = (platCounter() - start) / t.freq;
    // The last reading, before the report's own printing can touch anything.
    if (opt.soak) soakEnd(opt.steps);
    return t;
}

// The text report's lines after the run; the digest.
uint64_t printRun(const BenchOptions& opt, const WorldTotals& totals, const RunTimes& t) {
    std::printf("run        %10.6f s  %10.1f steps/s%s\n", t.runSeconds,
                t.runSeconds > 0.0 ? opt.steps / t.runSeconds : 0.0,
                opt.report ? "  (reports included)" : "");
    printPhase("forces", t.forces, t.freq, opt.steps, t.runSeconds);
    printPhase("springs", t.springs, t.freq, opt.steps, t.runSeconds);
    printPhase("motion", t.motion, t.freq, opt.steps, t.runSeconds);
    const double springSeconds = t.springs / t.freq;
    std::printf("springs/s  %.4g in the spring phase, %.4g over the run\n",
                springSeconds > 0.0 ? totals.springs * opt.steps / springSeconds : 0.0,
                t.runSeconds > 0.0 ? totals.springs * opt.steps / t.runSeconds : 0.0);
    const BenchSprings engine = benchSprings();
    if (engine.threads > 1)
        std::printf("threads    %" PRId64 " of %" PRId64 " tiled spring phases ran on them\n",
                    engine.threadedPhases, engine.tiledPhases);
    const uint64_t digest = fixtureWorldDigest();
    std::printf("digest     %016" PRIx64 "\n", digest);
    printPeakMemory();
    return digest;
}

// Writes the JSON and closes its file; false after printing why.
bool finishJson(std::FILE* f, const BenchOptions& opt, const WorldTotals& totals, const RunTimes& t,
                uint64_t digest) {
    BenchRunFigures figures;
    figures.scene = opt.scene;
    figures.drag[0] = opt.drag[0];
    figures.drag[1] = opt.drag[1];
    figures.steps = opt.steps;
    figures.masses = totals.masses;
    figures.springs = totals.springs;
    figures.runSeconds = t.runSeconds;
    figures.forces = t.forces / t.freq;
    figures.springPhase = t.springs / t.freq;
    figures.motion = t.motion / t.freq;
    figures.plans = t.planSeconds;
    figures.engine = benchSprings();
    figures.digest = digest;
    // The text report first, where both share a terminal.
    std::fflush(stdout);
    benchWriteJson(f, figures);
    if (std::fclose(f) == 0) return true;
    std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json, std::strerror(errno));
    return false;
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
    Outputs out;
    if (!openOutputs(opt, out)) return kExitUsage;
    if (!startWorld(opt)) return kExitUsage;
    benchSpringsSetThreads(static_cast<int>(opt.threads));
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
    const BenchSprings engine = benchSprings();
    std::printf("springs on the %s path, %d thread%s\n", engine.path, engine.threads,
                engine.threads == 1 ? "" : "s");
    if (opt.report) reportState(0, nullptr);
    if (opt.soak) soakBegin(opt.steps);

    const double planSeconds = makePlans();
    if (planSeconds < 0.0) return kExitFailed;
    const RunTimes times = runSteps(opt, planSeconds);
    const uint64_t digest = printRun(opt, totals, times);
    if (out.json && !finishJson(out.json, opt, totals, times, digest)) return kExitFailed;
    if (out.plot) {
        std::fflush(stdout);
        const PlotPhases phases{times.forces / times.freq, times.springs / times.freq,
                                times.motion / times.freq};
        if (!closePlot(out.plot, opt, phases)) return kExitFailed;
    }
    if (opt.soak && !soakSummary(opt.steps, times.runSeconds)) return kExitFailed;
    return 0;
}
