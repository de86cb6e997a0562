// The world as zibbet-bench builds, keeps, counts and reports it.
#include "zibbet-bench/bench_world.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "sim/bcube.h"
#include "sim/springs_law.h"
#include "startup/frame.h"
#include "startup/startup.h"
#include "zibbet-bench/bench_soak.h"

namespace {

// Start-up talks a lot. Unless --verbose, its output goes to a scratch file
// that is dropped once the world stands; should start-up end the process
// (a scene that does not load), the exit handler shows it after all.
int savedStdout = -1;
std::FILE* scratch = nullptr;

// Puts stdout back and, when asked, copies what start-up printed onto it.
void unhush(bool show) {
    if (savedStdout < 0) return;
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    savedStdout = -1;
    std::rewind(scratch);
    char buf[4096];
    for (size_t n; show && (n = std::fread(buf, 1, sizeof buf, scratch)) > 0;)
        std::fwrite(buf, 1, n, stdout);
    std::fclose(scratch);
}

void hush() {
    static bool handlerSet = false;
    if (!std::exchange(handlerSet, true)) std::atexit([] { unhush(true); });
    std::fflush(stdout);
    scratch = std::tmpfile();
    if (!scratch) return; // start-up then simply shows
    savedStdout = dup(STDOUT_FILENO);
    if (savedStdout >= 0 && dup2(fileno(scratch), STDOUT_FILENO) >= 0) return;
    if (savedStdout >= 0) close(savedStdout);
    savedStdout = -1;
    std::fclose(scratch);
}

// The scene stage ends the process with status 1 when the file does not
// load; a file that cannot even be read is a usage error of ours instead.
bool sceneReadable(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    int err = errno;
    if (f) {
        // Opening a directory succeeds; reading it does not.
        err = std::fgetc(f) == EOF && std::ferror(f) ? errno : 0;
        std::fclose(f);
    }
    if (err == 0) return true;
    std::fprintf(stderr, "zibbet-bench: cannot read scene file '%s': %s\n", path,
                 std::strerror(err));
    return false;
}

// Everything start-up does before the window opens: the world stage, then
// the scene stage on the scene file.
void startUp(const char* scene, bool verbose) {
    if (!verbose) hush();
    const int grey = appWorldSetup();
    appSceneSetup(grey, scene);
    unhush(false);
}

// Body mass positions before the step that ends with a report, in object and
// mass order.
std::vector<double> positionsBefore;

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
            if ((m.flags & SIMF_BCUBE) && fxFiniteMass(m) && !fxWithinCubeReach(m.pos)) ++beyond;
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

} // namespace

bool benchBuildWorld(const char* scene, bool verbose) {
    if (!sceneReadable(scene)) return false;
    std::fprintf(stderr, "zibbet-bench: scene %s\n", scene);
    startUp(scene, verbose);
    return true;
}

bool benchBuildWorldFromMemory(const char* name, const std::vector<uint8_t>& bytes, bool verbose) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    size_t written = 0;
    while (fd >= 0 && written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    if (fd < 0 || written < bytes.size()) {
        std::fprintf(stderr, "zibbet-bench: cannot hold the scene %s in memory: %s\n", name,
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

BenchWorkload benchCountWorld() {
    BenchWorkload t;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        t.masses += simWorld.objects[oid].nMasses;
        t.springs += simWorld.objects[oid].nSprings;
    }
    return t;
}

BenchWorldStart benchKeepStart() {
    BenchWorldStart start;
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
    start.angles = fxCubeAngles();
    start.mouse = {mouseDx, mouseDy};
    return start;
}

// The counts of masses and triangles never change once start-up is over.
void benchRestoreStart(const BenchWorldStart& start) {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        SimObject& obj = simWorld.objects[oid];
        const std::vector<SimMass>& masses = start.masses[static_cast<size_t>(oid)];
        const std::vector<SimPoly>& polys = start.polys[static_cast<size_t>(oid)];
        std::copy(masses.begin(), masses.end(), obj.masses);
        std::copy(polys.begin(), polys.end(), obj.polys);
    }
    cubeAngleX = start.angles.x;
    cubeAngleY = start.angles.y;
    cubeAngleZ = start.angles.z;
    mouseDx = start.mouse[0];
    mouseDy = start.mouse[1];
}

std::vector<BenchPlan> benchPlans() {
    std::vector<BenchPlan> plans;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        const SimSpringsPlanFigures figures = simSpringsPlanOf(oid);
        if (figures.ways > 0 || figures.planRefused)
            plans.push_back({oid, simWorld.objects[oid].nSprings, figures});
    }
    return plans;
}

void benchRememberPositions() {
    positionsBefore.clear();
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!benchIsBody(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i)
            positionsBefore.insert(positionsBefore.end(), obj.masses[i].pos, obj.masses[i].pos + 3);
    }
}

// A mass held against a face keeps the velocity the contact gives it although
// it stays put, so a body at rest still shows some kinetic energy; the
// distance moved goes to zero.
PlotSample benchReportState(long step, const FxCubeAngles* before) {
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
            if (!fxFiniteMass(m)) {
                ++nonFinite;
                continue;
            }
            const double v2 = m.vel[0] * m.vel[0] + m.vel[1] * m.vel[1] + m.vel[2] * m.vel[2];
            kinetic += 0.5 * m.mass * v2;
            for (int j = 0; j < 3; ++j)
                centre[j] += m.pos[j];
            ++count;
        }
        for (int32_t s = 0; s < obj.nSprings; ++s) {
            const SimSpring& sp = obj.springs[s];
            if (sp.a < 0 || sp.a >= obj.nMasses || sp.b < 0 || sp.b >= obj.nMasses) continue;
            const double* pa = obj.masses[sp.a].pos;
            const double* pb = obj.masses[sp.b].pos;
            const double dx = pa[0] - pb[0], dy = pa[1] - pb[1], dz = pa[2] - pb[2];
            const double stretch = std::sqrt(dx * dx + dy * dy + dz * dz) - sp.rest;
            // The spring force is (rest - L) * k / divisor along the spring.
            if (std::isfinite(stretch))
                spring += 0.5 * (sp.k / kSpringForceDivisor) * stretch * stretch;
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
    return {step, kinetic, spring, centre[1]};
}
