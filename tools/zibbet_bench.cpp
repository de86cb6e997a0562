// zibbet-bench: builds the world as start-up does, runs whole simulation
// steps without a window and reports rates, phase times and a digest of the
// final state, so that two runs or two builds can be compared. With --plot
// it also draws its reports as an SVG picture. With --soak it is an endurance
// run: it checks the bodies after every step and ends with a summary and an
// exit status.
//
// Sections: options; world building; state report; plot; drag schedule; soak;
// machine and JSON; main.
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
#include "sim/springs.h"
#include "sim/world.h"
#include "tools/bench_plot.h"
#include "tools/fixtures/bodies.h"
#include "tools/fixtures/body_promises.h"

namespace {

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
constexpr long kDefaultSteps = 1000;
constexpr long kMaxSteps = 1000000000L;
constexpr long kMaxDrag = 100000; // pixels
constexpr int kExitUsage = 2;
constexpr int kExitSoakFailed = 1;

const char* const kDefaultScene = "bmoon1m.3ds"; // start-up's scene, in the working directory
constexpr long kPlotReport = 10;                 // steps between reports when --plot sets them
constexpr long kMaxPlotSamples = 100000;         // more would make a picture no one can open

struct BenchOptions {
    long steps = kDefaultSteps;
    const char* scene = kDefaultScene;
    long dragX = 0;
    long dragY = 0;
    long report = 0; // 0: no periodic report
    bool verbose = false;
    bool sceneGiven = false;
    const char* plot = nullptr; // SVG file to draw the reports into
    long schedule = 0;          // 0: the drag stays; else steps between drag changes
    bool soak = false;
    long threads = 1;           // spring phase threads
    const char* json = nullptr; // file for the run's figures as JSON
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: zibbet-bench [--steps N] [--scene FILE] [--drag DX DY] [--report K]\n"
                 "                    [--plot FILE.svg] [--schedule N] [--soak] [--threads N]\n"
                 "                    [--json FILE] [--verbose] [--help]\n"
                 "  --steps N      whole steps to run (default %ld)\n"
                 "  --scene FILE   3DS scene to load (default %s in the working directory,\n"
                 "                 else the one installed with the program)\n"
                 "  --drag DX DY   mouse offset from the window centre that a drag left, pixels\n"
                 "  --report K     every K steps: energies, distance moved, centre, stray masses\n"
                 "  --plot FILE    draw the reports (every %ld steps unless --report) as SVG\n"
                 "  --schedule N   the cube still for N steps, then every N steps the next of:\n"
                 "                 turning by the --drag offset, still, turning back, still...\n"
                 "  --soak         check the bodies after every step; end with a summary and\n"
                 "                 exit status 1 when a check fails\n"
                 "  --threads N    threads for the spring phase (default 1; same results; a\n"
                 "                 phase leaves them while one thread is faster)\n"
                 "  --json FILE    also write the run's figures to FILE as JSON\n"
                 "  --verbose      show the start-up console output (silenced by default)\n"
                 "  --help         this text\n",
                 kDefaultSteps, kDefaultScene, kPlotReport);
    std::fprintf(out, "The environment variable ZIBBET_ISA=baseline|avx2|avx512 forces a vector "
                      "path.\n");
}

bool parseLong(const char* text, long lo, long hi, long* out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// 0: run; 1: help shown; 2: bad options (message printed).
int parseOptions(int argc, char** argv, BenchOptions& opt) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto value = [&](int ahead) { return i + ahead < argc ? argv[i + ahead] : nullptr; };
        if (std::strcmp(arg, "--help") == 0) {
            usage(stdout);
            return 1;
        } else if (std::strcmp(arg, "--steps") == 0) {
            if (!parseLong(value(1), 1, kMaxSteps, &opt.steps)) {
                std::fprintf(stderr, "zibbet-bench: --steps needs a whole number from 1 to %ld\n",
                             kMaxSteps);
                return kExitUsage;
            }
            i += 1;
        } else if (std::strcmp(arg, "--report") == 0) {
            if (!parseLong(value(1), 1, kMaxSteps, &opt.report)) {
                std::fprintf(stderr, "zibbet-bench: --report needs a whole number from 1 to %ld\n",
                             kMaxSteps);
                return kExitUsage;
            }
            i += 1;
        } else if (std::strcmp(arg, "--drag") == 0) {
            if (!parseLong(value(1), -kMaxDrag, kMaxDrag, &opt.dragX) ||
                !parseLong(value(2), -kMaxDrag, kMaxDrag, &opt.dragY)) {
                std::fprintf(stderr,
                             "zibbet-bench: --drag needs two whole numbers from %ld to %ld\n",
                             -kMaxDrag, kMaxDrag);
                return kExitUsage;
            }
            i += 2;
        } else if (std::strcmp(arg, "--scene") == 0) {
            if (!value(1)) {
                std::fprintf(stderr, "zibbet-bench: --scene needs a file name\n");
                return kExitUsage;
            }
            opt.scene = value(1);
            opt.sceneGiven = true;
            i += 1;
        } else if (std::strcmp(arg, "--plot") == 0) {
            if (!value(1)) {
                std::fprintf(stderr, "zibbet-bench: --plot needs a file name\n");
                return kExitUsage;
            }
            opt.plot = value(1);
            i += 1;
        } else if (std::strcmp(arg, "--schedule") == 0) {
            if (!parseLong(value(1), 1, kMaxSteps, &opt.schedule)) {
                std::fprintf(stderr,
                             "zibbet-bench: --schedule needs a whole number from 1 to %ld\n",
                             kMaxSteps);
                return kExitUsage;
            }
            i += 1;
        } else if (std::strcmp(arg, "--soak") == 0) {
            opt.soak = true;
        } else if (std::strcmp(arg, "--threads") == 0) {
            if (!parseLong(value(1), 1, SIM_MAX_SPRING_THREADS, &opt.threads)) {
                std::fprintf(stderr, "zibbet-bench: --threads needs a whole number from 1 to %d\n",
                             SIM_MAX_SPRING_THREADS);
                return kExitUsage;
            }
            i += 1;
        } else if (std::strcmp(arg, "--json") == 0) {
            if (!value(1)) {
                std::fprintf(stderr, "zibbet-bench: --json needs a file name\n");
                return kExitUsage;
            }
            opt.json = value(1);
            i += 1;
        } else if (std::strcmp(arg, "--verbose") == 0) {
            opt.verbose = true;
        } else {
            std::fprintf(stderr, "zibbet-bench: unknown option '%s' (try --help)\n", arg);
            return kExitUsage;
        }
    }
    return 0;
}

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
    if (opt.sceneGiven || fs::exists(kDefaultScene, err)) return;
    const std::string bin = platExecutableDir();
    if (bin.empty()) return;
    const fs::path path = (fs::path(bin) / ZIBBET_DATA_FROM_BIN / kDefaultScene).lexically_normal();
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

bool isBody(int oid) {
    return simValidOid(oid) && oid != simWorld.forcesOid && oid != simWorld.bcubeOid;
}

// True when p lies beyond a face of the cube as it is posed now.
bool outsideCube(const double p[3]) {
    if (!simValidOid(simWorld.bcubeOid)) return false;
    const SimObject& cube = simWorld.objects[simWorld.bcubeOid];
    if (cube.nPolys < 11 || !cube.masses) return false;
    for (int k = 0; k < 6; ++k) {
        const SimPoly& tri = cube.polys[2 * k];
        if (tri.v0 < 0 || tri.v0 >= cube.nMasses) continue;
        const double* v = cube.masses[tri.v0].pos;
        double dist = 0.0;
        for (int j = 0; j < 3; ++j)
            dist += (p[j] - v[j]) * tri.normal[j];
        if (dist > 0.0) return true;
    }
    return false;
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
        if (!isBody(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i)
            positionsBefore.insert(positionsBefore.end(), obj.masses[i].pos, obj.masses[i].pos + 3);
    }
}

// Kinetic and spring energy of the soft bodies, their centre, how far their
// masses moved in the last step on average, and the masses that left the cube
// or stopped being finite numbers. A mass held against a face keeps the
// velocity the contact gives it although it stays put, so a body at rest
// still shows some kinetic energy; the distance moved goes to zero.
void reportState(long step) {
    double kinetic = 0.0, spring = 0.0, centre[3] = {0.0, 0.0, 0.0}, moved = 0.0;
    int64_t count = 0, outside = 0, nonFinite = 0;
    size_t at = 0; // into positionsBefore
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!isBody(oid)) continue;
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
            if ((m.flags & SIMF_BCUBE) && outsideCube(m.pos)) ++outside;
        }
        for (int32_t s = 0; s < obj.nSprings; ++s) {
            const SimSpring& sp = obj.springs[s];
            if (sp.a < 0 || sp.a >= obj.nMasses || sp.b < 0 || sp.b >= obj.nMasses) continue;
            const double* pa = obj.masses[sp.a].pos;
            const double* pb = obj.masses[sp.b].pos;
            const double dx = pa[0] - pb[0], dy = pa[1] - pb[1], dz = pa[2] - pb[2];
            const double stretch = std::sqrt(dx * dx + dy * dy + dz * dz) - sp.rest;
            // The spring force is (rest - L) * k / 1000 along the spring.
            if (std::isfinite(stretch)) spring += 0.5 * (sp.k / 1000.0) * stretch * stretch;
        }
    }
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

// Reports every kPlotReport steps unless --report chose; the picture's file
// is made before the run, so that a path that cannot be written costs no run.
std::FILE* openPlot(BenchOptions& opt) {
    if (!opt.plot) return nullptr;
    if (!opt.report) opt.report = kPlotReport;
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
                  opt.steps, opt.dragX, opt.dragY);
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
    mouseDx = static_cast<int32_t>(sign * opt.dragX);
    mouseDy = static_cast<int32_t>(sign * opt.dragY);
}

// ---------------------------------------------------------------------------
// Soak
//
// After every step every mass is looked at, objects in id order and masses in
// index order: one that started finite must stay finite, and a finite one
// that collides with the cube must stay within the cube's reach as posed when
// its object was stepped (tools/fixtures/body_promises.h). The colliding masses of the soft bodies
// give the body's kinetic energy and how far it moved in the step. The body
// has settled at the first step, with the cube standing still, at which its
// masses moved less than kSettledMove on average; from then on its kinetic
// energy must stay under the bound of soakBound. Stepping allocates nothing:
// the resident heap and stack, read at step kMemoryBaseStep and every
// kMemoryBaseStep steps after it, must never grow past that first reading.
// (The whole resident figure also counts code pages of the program and its
// libraries the first time they run, such as the formatting of the summary,
// so it is reported but not what is checked.)
// ---------------------------------------------------------------------------
constexpr double kSettledMove = 1e-4;  // world units per step, mean over the body
constexpr long kMemoryBaseStep = 1000; // memory must not grow after this step
constexpr double kBoundMargin = 2.0;   // room for the energy the springs hand back

constexpr uint8_t kStartedFinite = 1;
constexpr uint8_t kTurnedNonFinite = 2;
constexpr uint8_t kLeftCube = 4;

struct Soak {
    std::vector<uint8_t> state;  // kStartedFinite... per mass
    std::vector<double> lastPos; // per mass, after the latest step
    int64_t finiteAtStart = 0;
    int64_t colliding = 0; // masses with SIMF_BCUBE
    int64_t turnedNonFinite = 0;
    int64_t leftCube = 0;
    double furthest = -HUGE_VAL; // largest excess over the faces seen
    long settledAt = -1;
    double maxKinetic = 0.0;
    long maxKineticAt = 0;
    double diagonal = 0.0; // of the bounding cube
    double bound = 0.0;
    int64_t anonAtBase = -1; // resident heap and stack at kMemoryBaseStep
    int64_t anonMax = -1;    // the largest reading after it
    bool posesMatch = true;  // the cube's poses were retraced as the steps made them
};
Soak soak;

// The largest kinetic energy a body can take from gravity inside the cube is
// that of every mass falling the cube's whole diagonal from rest: sum of
// m g d. Nothing else feeds it: the contact replaces a touching mass's
// velocity by a tiny one and the turning walls move masses without giving
// them speed. The springs hand back what they store, which the margin leaves
// room for. A step that goes unstable grows its energy without limit and
// passes this bound within a few hundred steps.
double soakBound() {
    double diagonal = 0.0;
    for (const auto& a : simWorld.bcubeCorners) {
        for (const auto& b : simWorld.bcubeCorners) {
            const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
            diagonal = std::max(diagonal, std::sqrt(dx * dx + dy * dy + dz * dz));
        }
    }
    if (!simValidOid(simWorld.bcubeOid)) diagonal = 0.0;
    soak.diagonal = diagonal;
    double mgSum = 0.0;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!isBody(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i) {
            const SimMass& m = obj.masses[i];
            if (!(m.flags & SIMF_BCUBE) || (m.flags & SIMF_FIXED)) continue;
            double g = 0.0; // the uniform fields that act on the mass
            for (int slot = 0; slot < SIM_MAX_FORCES; ++slot) {
                const SimFForce& f = simWorld.forces[slot];
                if (!(simWorld.forceBits & (1u << slot)) || f.target != -1 ||
                    !(m.forceMask & f.mask))
                    continue;
                g += std::sqrt(f.vec[0] * f.vec[0] + f.vec[1] * f.vec[1] + f.vec[2] * f.vec[2]);
            }
            mgSum += m.mass * g;
        }
    }
    return kBoundMargin * mgSum * diagonal;
}

void soakBegin() {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i) {
            const SimMass& m = obj.masses[i];
            const bool finite = fxFiniteMass(m);
            soak.state.push_back(finite ? kStartedFinite : 0);
            soak.lastPos.insert(soak.lastPos.end(), m.pos, m.pos + 3);
            soak.finiteAtStart += finite;
            soak.colliding += (m.flags & SIMF_BCUBE) != 0;
        }
    }
    soak.bound = soakBound();
}

void soakReadMemory(long step) {
    const int64_t anon = platAnonResidentBytes();
    if (step == kMemoryBaseStep) soak.anonAtBase = anon;
    soak.anonMax = std::max(soak.anonMax, anon);
}

void soakObserve(long step, const FxCubeAngles& before) {
    double kinetic = 0.0, moved = 0.0;
    int64_t watched = 0;
    size_t at = 0;
    // Each object's masses are held to the cube as that object met it.
    const bool posed = fxForEachObjectPose(before, [&](int oid) {
        const SimObject& obj = simWorld.objects[oid];
        const bool body = isBody(oid);
        for (int32_t i = 0; i < obj.nMasses; ++i, ++at) {
            const SimMass& m = obj.masses[i];
            uint8_t& state = soak.state[at];
            double* last = &soak.lastPos[3 * at];
            const bool finite = fxFiniteMass(m);
            if ((state & kStartedFinite) && !finite && !(state & kTurnedNonFinite)) {
                state |= kTurnedNonFinite;
                ++soak.turnedNonFinite;
            }
            if (finite && (m.flags & SIMF_BCUBE)) {
                const double excess = fxCubeExcess(m.pos);
                soak.furthest = std::max(soak.furthest, excess);
                if (!(excess <= FX_CUBE_REACH) && !(state & kLeftCube)) {
                    state |= kLeftCube;
                    ++soak.leftCube;
                }
                if (body) {
                    const double v2 =
                        m.vel[0] * m.vel[0] + m.vel[1] * m.vel[1] + m.vel[2] * m.vel[2];
                    const double dx = m.pos[0] - last[0], dy = m.pos[1] - last[1],
                                 dz = m.pos[2] - last[2];
                    kinetic += 0.5 * m.mass * v2;
                    moved += std::sqrt(dx * dx + dy * dy + dz * dz);
                    ++watched;
                }
            }
            last[0] = m.pos[0];
            last[1] = m.pos[1];
            last[2] = m.pos[2];
        }
    });
    soak.posesMatch = soak.posesMatch && posed;
    if (soak.settledAt < 0) {
        const bool still = mouseDx == 0 && mouseDy == 0;
        if (still && watched > 0 && moved / static_cast<double>(watched) < kSettledMove)
            soak.settledAt = step;
    }
    if (soak.settledAt >= 0 && !(kinetic <= soak.maxKinetic)) {
        soak.maxKinetic = kinetic;
        soak.maxKineticAt = step;
    }
    if (step >= kMemoryBaseStep && step % kMemoryBaseStep == 0) soakReadMemory(step);
}

const char* verdict(bool ok) {
    return ok ? "ok" : "FAIL";
}

// Prints the summary; true when every check passed.
bool soakSummary(long steps, double runSeconds) {
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("soak: %ld steps, %.1f steps/s (checks included)\n", steps,
                runSeconds > 0.0 ? steps / runSeconds : 0.0);

    const bool finiteOk = soak.turnedNonFinite == 0;
    std::printf("soak: non-finite masses: %" PRId64 " of %" PRId64 " that started finite -- %s\n",
                soak.turnedNonFinite, soak.finiteAtStart, verdict(finiteOk));

    const bool cubeOk = soak.leftCube == 0 && soak.posesMatch;
    std::printf("soak: masses beyond the cube's reach: %" PRId64 " of %" PRId64
                " colliding (reach %g beyond a face of the cube as the mass met it; furthest "
                "seen %.3g)%s -- %s\n",
                soak.leftCube, soak.colliding, FX_CUBE_REACH, soak.furthest,
                soak.posesMatch ? "" : "; the cube's poses could not be retraced", verdict(cubeOk));

    bool energyOk = true;
    if (soak.colliding == 0) {
        std::printf("soak: kinetic energy: no body collides with the cube -- ok\n");
    } else if (soak.settledAt < 0) {
        energyOk = false;
        std::printf("soak: kinetic energy: the body never settled while the cube stood still "
                    "(mean move under %g per step) -- FAIL\n",
                    kSettledMove);
    } else {
        energyOk = soak.maxKinetic <= soak.bound;
        std::printf("soak: kinetic energy: max %.6g at step %ld after the body settled at step "
                    "%ld; bound %.6g (%g x sum of m g x cube diagonal %.4g) -- %s\n",
                    soak.maxKinetic, soak.maxKineticAt, soak.settledAt, soak.bound, kBoundMargin,
                    soak.diagonal, verdict(energyOk));
    }

    bool memoryOk = true;
    const int64_t peak = platPeakResidentBytes();
    if (soak.anonAtBase < 0) {
        std::printf("soak: peak resident memory: %.1f MiB; growth not measured (needs %ld "
                    "steps)\n",
                    peak / kMiB, kMemoryBaseStep);
    } else {
        memoryOk = soak.anonMax == soak.anonAtBase;
        std::printf("soak: peak resident memory: %.1f MiB; heap and stack %.1f MiB at step %ld, "
                    "growth after it: %" PRId64 " kB -- %s\n",
                    peak / kMiB, soak.anonAtBase / kMiB, kMemoryBaseStep,
                    (soak.anonMax - soak.anonAtBase) / 1024, verdict(memoryOk));
    }
    const bool ok = finiteOk && cubeOk && energyOk && memoryOk;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok;
}

// ---------------------------------------------------------------------------
// Machine and JSON
// ---------------------------------------------------------------------------

// The processor's model name as Linux reports it, or "unknown".
std::string cpuModel() {
    std::string model = "unknown";
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return model;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "model name", 10) != 0) continue;
        const char* colon = std::strchr(line, ':');
        if (!colon) continue;
        model = colon + 1;
        while (!model.empty() && (model.front() == ' ' || model.front() == '\t'))
            model.erase(model.begin());
        while (!model.empty() && (model.back() == '\n' || model.back() == ' '))
            model.pop_back();
        break;
    }
    std::fclose(f);
    return model;
}

// text as a JSON string, quotes included.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct RunFigures {
    long steps = 0;
    WorldTotals totals;
    double runSeconds = 0.0;
    double forces = 0.0, springs = 0.0, motion = 0.0; // phase seconds
    double plans = 0.0;                               // making the spring plans, before the run
    uint64_t digest = 0;
};

// A rate, or 0 when the time is too short to measure.
double perSecond(double count, double seconds) {
    return seconds > 0.0 ? count / seconds : 0.0;
}

void writeJson(std::FILE* f, const BenchOptions& opt, const RunFigures& run) {
    std::string paths;
    for (int path = 0; path < SIM_PATH_COUNT; ++path) {
        if (!simSpringsPathSupported(path)) continue;
        if (!paths.empty()) paths += ", ";
        paths += jsonString(simSpringsPathName(path));
    }
    const double springSteps = static_cast<double>(run.totals.springs) * run.steps;
    std::fprintf(f, "{\n");
    std::fprintf(f, "  \"machine\": {\"cpu\": %s, \"processors\": %d, \"paths\": [%s]},\n",
                 jsonString(cpuModel()).c_str(), platProcessorCount(), paths.c_str());
    std::fprintf(f, "  \"scene\": %s,\n", jsonString(opt.scene).c_str());
    std::fprintf(f, "  \"path\": %s,\n", jsonString(simSpringsPathName(simSpringsPath())).c_str());
    std::fprintf(f, "  \"threads\": %d,\n", simSpringsThreads());
    std::fprintf(f, "  \"threaded_phases\": %" PRId64 ",\n", simSpringsThreadedPhases());
    std::fprintf(f, "  \"tiled_phases\": %" PRId64 ",\n", simSpringsTiledPhases());
    std::fprintf(f, "  \"steps\": %ld,\n", run.steps);
    std::fprintf(f, "  \"drag\": [%ld, %ld],\n", opt.dragX, opt.dragY);
    std::fprintf(f, "  \"masses\": %" PRId64 ",\n", run.totals.masses);
    std::fprintf(f, "  \"springs\": %" PRId64 ",\n", run.totals.springs);
    std::fprintf(f, "  \"run_seconds\": %.9g,\n", run.runSeconds);
    std::fprintf(f, "  \"steps_per_second\": %.9g,\n", perSecond(run.steps, run.runSeconds));
    std::fprintf(f,
                 "  \"phase_seconds\": {\"forces\": %.9g, \"springs\": %.9g, \"motion\": "
                 "%.9g},\n",
                 run.forces, run.springs, run.motion);
    std::fprintf(f, "  \"plan_seconds\": %.9g,\n", run.plans);
    std::fprintf(f, "  \"springs_per_second\": %.9g,\n", perSecond(springSteps, run.springs));
    std::fprintf(f, "  \"peak_resident_bytes\": %" PRId64 ",\n", platPeakResidentBytes());
    std::fprintf(f, "  \"digest\": \"%016" PRIx64 "\"\n", run.digest);
    std::fprintf(f, "}\n");
}

} // namespace

// ---------------------------------------------------------------------------
// Main
// ---------------------------------------------------------------------------
int main(int argc, char** argv) {
    BenchOptions opt;
    const int parsed = parseOptions(argc, argv, opt);
    if (parsed == 1) return 0;
    if (parsed != 0) return parsed;
    pickInstalledScene(opt);
    if (!buildWorld(opt)) return kExitUsage;
    std::FILE* plot = openPlot(opt);
    if (opt.plot && !plot) return kExitUsage;
    // Opened before the run, so that a long run does not end in a refusal.
    std::FILE* json = nullptr;
    if (opt.json) {
        json = std::fopen(opt.json, "w");
        if (!json) {
            std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json,
                         std::strerror(errno));
            return kExitUsage;
        }
    }
    simSpringsSetThreads(static_cast<int>(opt.threads));

    // The offsets that a drag would have left; x and y as motion stores them.
    mouseDx = static_cast<int32_t>(opt.dragX);
    mouseDy = static_cast<int32_t>(opt.dragY);

    const WorldTotals totals = countWorld();
    std::printf("zibbet-bench: %ld steps, %d objects, %" PRId64 " masses, %" PRId64
                " springs, drag (%ld, %ld)\n",
                opt.steps, simWorld.nObjects, totals.masses, totals.springs, opt.dragX, opt.dragY);
    if (opt.schedule)
        std::printf("zibbet-bench: every %ld steps the next drag of: (0, 0), (%ld, %ld), (0, 0), "
                    "(%ld, %ld)\n",
                    opt.schedule, opt.dragX, opt.dragY, -opt.dragX, -opt.dragY);
    std::printf("springs on the %s path, %d thread%s\n", simSpringsPathName(simSpringsPath()),
                simSpringsThreads(), simSpringsThreads() == 1 ? "" : "s");
    if (opt.report) reportState(0);
    if (opt.soak) soakBegin();

    const double freq = static_cast<double>(platCounterFrequency());
    // The spring phase's plans are made before the clock starts: a large
    // body's first step would otherwise carry seconds of preparation.
    const int64_t planStart = platCounter();
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        simSpringsPrepare(oid);
    const double planSeconds = (platCounter() - planStart) / freq;
    // A world that lost springs or a plan to a failed allocation is not the
    // one asked for: its rate would be a false number, so none is given.
    if (const SimAllocFailure& fail = simAllocFailure(); fail.failed) {
        std::fprintf(stderr,
                     "zibbet-bench: the world did not build: %s: needed %lld bytes, %lld bytes "
                     "available (%s); no run\n",
                     fail.what, static_cast<long long>(fail.needed),
                     static_cast<long long>(fail.available), fail.limit);
        return 1;
    }
    std::printf("plans      %10.6f s  before the run\n", planSeconds);
    int64_t forces = 0, springs = 0, motion = 0;
    const int64_t start = platCounter();
    for (long step = 1; step <= opt.steps; ++step) {
        const bool reporting = opt.report && step % opt.report == 0;
        if (reporting) rememberPositions();
        if (opt.schedule) scheduleDrag(opt, step);
        const FxCubeAngles before = fxCubeAngles();
        appStepWorld();
        forces += phaseForces;
        springs += phaseSprings;
        motion += phaseMotion;
        if (reporting) reportState(step);
        if (opt.soak) soakObserve(step, before);
    }
    const int64_t runCounts = platCounter() - start;
    const double runSeconds = runCounts / freq;
    // The last reading, before the report's own printing can touch anything.
    if (opt.soak && opt.steps >= kMemoryBaseStep) soakReadMemory(opt.steps);

    std::printf("run        %10.6f s  %10.1f steps/s%s\n", runSeconds,
                runSeconds > 0.0 ? opt.steps / runSeconds : 0.0,
                opt.report ? "  (reports included)" : "");
    printPhase("forces", forces, freq, opt.steps, runSeconds);
    printPhase("springs", springs, freq, opt.steps, runSeconds);
    printPhase("motion", motion, freq, opt.steps, runSeconds);
    const double springSeconds = springs / freq;
    std::printf("springs/s  %.4g in the spring phase, %.4g over the run\n",
                springSeconds > 0.0 ? totals.springs * opt.steps / springSeconds : 0.0,
                runSeconds > 0.0 ? totals.springs * opt.steps / runSeconds : 0.0);
    if (simSpringsThreads() > 1)
        std::printf("threads    %" PRId64 " of %" PRId64 " tiled spring phases ran on them\n",
                    simSpringsThreadedPhases(), simSpringsTiledPhases());
    const uint64_t digest = fixtureWorldDigest();
    std::printf("digest     %016" PRIx64 "\n", digest);
    printPeakMemory();
    if (json) {
        RunFigures figures;
        figures.steps = opt.steps;
        figures.totals = totals;
        figures.runSeconds = runSeconds;
        figures.forces = forces / freq;
        figures.springs = springSeconds;
        figures.motion = motion / freq;
        figures.plans = planSeconds;
        figures.digest = digest;
        writeJson(json, opt, figures);
        if (std::fclose(json) != 0) {
            std::fprintf(stderr, "zibbet-bench: cannot write '%s': %s\n", opt.json,
                         std::strerror(errno));
            return 1;
        }
    }
    if (plot) {
        std::fflush(stdout);
        const PlotPhases phases{forces / freq, springs / freq, motion / freq};
        if (!closePlot(plot, opt, phases)) return 1;
    }
    if (opt.soak && !soakSummary(opt.steps, runSeconds)) return kExitSoakFailed;
    return 0;
}
