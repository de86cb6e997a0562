// zibbet-bench: builds the world as start-up does, runs whole simulation
// steps without a window and reports rates, phase times and a digest of the
// final state, so that two runs or two builds can be compared.
//
// Sections: options; world building; state report; machine and JSON; main.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/frame.h"
#include "app/startup.h"
#include "platform/platform.h"
#include "sim/springs.h"
#include "sim/world.h"
#include "tools/fixtures/bodies.h"

namespace {

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
constexpr long kDefaultSteps = 1000;
constexpr long kMaxSteps = 1000000000L;
constexpr long kMaxDrag = 100000; // pixels
constexpr int kExitUsage = 2;

const char* const kDefaultScene = "bmoon1m.3ds"; // start-up's scene, in the working directory

struct BenchOptions {
    long steps = kDefaultSteps;
    const char* scene = kDefaultScene;
    long dragX = 0;
    long dragY = 0;
    long report = 0; // 0: no periodic report
    bool verbose = false;
    long threads = 1;           // spring phase threads
    const char* json = nullptr; // file for the run's figures as JSON
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: zibbet-bench [--steps N] [--scene FILE] [--drag DX DY] [--report K]\n"
                 "                    [--threads N] [--json FILE] [--verbose] [--help]\n"
                 "  --steps N      whole steps to run (default %ld)\n"
                 "  --scene FILE   3DS scene to load (default %s in the working directory)\n"
                 "  --drag DX DY   mouse offset from the window centre that a drag left, pixels\n"
                 "  --report K     every K steps: energies, distance moved, centre, stray masses\n"
                 "  --threads N    threads for the spring phase (default 1; same results; a\n"
                 "                 phase leaves them while one thread is faster)\n"
                 "  --json FILE    also write the run's figures to FILE as JSON\n"
                 "  --verbose      show the start-up console output (silenced by default)\n"
                 "  --help         this text\n",
                 kDefaultSteps, kDefaultScene);
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
            i += 1;
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

// Everything start-up does before the window opens: the world stage, then
// the scene stage on the scene file. Returns false after printing why.
bool buildWorld(const BenchOptions& opt) {
    if (!sceneReadable(opt.scene)) return false;
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
}

void printPhase(const char* name, int64_t counts, double freq, long steps, double runSeconds) {
    const double seconds = counts / freq;
    std::printf("%-10s %10.6f s  %10.3f us/step  %5.1f %%\n", name, seconds, seconds * 1e6 / steps,
                runSeconds > 0.0 ? 100.0 * seconds / runSeconds : 0.0);
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
    if (!buildWorld(opt)) return kExitUsage;
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
    std::printf("springs on the %s path, %d thread%s\n", simSpringsPathName(simSpringsPath()),
                simSpringsThreads(), simSpringsThreads() == 1 ? "" : "s");
    if (opt.report) reportState(0);

    const double freq = static_cast<double>(platCounterFrequency());
    // The spring phase's plans are made before the clock starts: a large
    // body's first step would otherwise carry seconds of preparation.
    const int64_t planStart = platCounter();
    for (int oid = 0; oid < simWorld.nObjects; ++oid)
        simSpringsPrepare(oid);
    const double planSeconds = (platCounter() - planStart) / freq;
    std::printf("plans      %10.6f s  before the run\n", planSeconds);
    int64_t forces = 0, springs = 0, motion = 0;
    const int64_t start = platCounter();
    for (long step = 1; step <= opt.steps; ++step) {
        const bool reporting = opt.report && step % opt.report == 0;
        if (reporting) rememberPositions();
        appStepWorld();
        forces += phaseForces;
        springs += phaseSprings;
        motion += phaseMotion;
        if (reporting) reportState(step);
    }
    const int64_t runCounts = platCounter() - start;
    const double runSeconds = runCounts / freq;

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
    return 0;
}
