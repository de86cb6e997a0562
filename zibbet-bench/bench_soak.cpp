// The soak's checks and summary.
//
// After every step every mass is looked at, objects in id order and masses in
// index order, with the cube posed as each object met it. The colliding masses
// of the soft bodies give the bodies' kinetic energy and how far they moved in
// the step. The energy is judged from the first step on, so that any drag
// schedule can be judged; whether and when the bodies came to rest with the
// cube still is told beside it, not judged. The heap and stack are read every
// kMemoryEvery steps from step kMemoryEvery on (the warm-up: the plans, the
// threads and the first steps have taken what they need by then), and once
// after the last step. The whole resident figure also counts code pages the
// first time they run, so it is reported but not judged.
#include "zibbet-bench/bench_soak.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr double kSettledMove = 1e-4; // world units per step, mean over the bodies
constexpr long kMemoryEvery = 1000;   // steps between readings, and the warm-up
constexpr double kBoundMargin = 2.0;  // room for the energy the springs hand back
constexpr double kKiB = 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;

struct Soak {
    std::vector<uint8_t> state;  // fxMassRecord per mass
    std::vector<double> lastPos; // per mass, after the latest step
    int64_t finiteAtStart = 0;
    int64_t colliding = 0; // masses with SIMF_BCUBE
    int64_t turnedNonFinite = 0;
    int64_t leftCube = 0;
    double furthest = -HUGE_VAL; // largest excess over the faces seen
    long stillSteps = 0;         // steps run with the cube still
    long settledAt = -1;
    double maxKinetic = 0.0;
    long maxKineticAt = 0;
    double diagonal = 0.0; // of the bounding cube
    double bound = 0.0;
    std::vector<SoakMemorySample> memory; // reserved before the run: reading allocates nothing
    bool posesMatch = true;               // the cube's poses were retraced as the steps made them
};
Soak soak;

// The largest kinetic energy a body can take from gravity inside the cube is
// that of every mass falling the cube's whole diagonal from rest: sum of
// m g d. Nothing else feeds it: the bodies start at rest, the contact
// replaces a touching mass's velocity by a tiny one and the turning walls
// move masses without giving them speed. The springs hand back what they
// store, which the margin leaves room for. A step that goes unstable grows
// its energy without limit and passes this bound within a few hundred steps.
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
        if (!benchIsBody(oid)) continue;
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

void readMemory(long step) {
    const int64_t anon = platAnonResidentBytes();
    if (anon < 0) return;
    if (!soak.memory.empty() && soak.memory.back().step == step) return;
    if (soak.memory.size() < soak.memory.capacity()) soak.memory.push_back({step, anon});
}

const char* verdict(bool ok) {
    return ok ? "ok" : "FAIL";
}

} // namespace

bool benchIsBody(int oid) {
    return simValidOid(oid) && oid != simWorld.forcesOid && oid != simWorld.bcubeOid;
}

SoakGrowth soakJudgeGrowth(const std::vector<SoakMemorySample>& samples) {
    SoakGrowth g;
    if (samples.size() < 2) return g;
    const double n = static_cast<double>(samples.size());
    double meanStep = 0.0, meanBytes = 0.0;
    for (const SoakMemorySample& s : samples) {
        meanStep += static_cast<double>(s.step) / n;
        meanBytes += static_cast<double>(s.bytes) / n;
    }
    double covariance = 0.0, variance = 0.0;
    for (const SoakMemorySample& s : samples) {
        const double ds = static_cast<double>(s.step) - meanStep;
        covariance += ds * (static_cast<double>(s.bytes) - meanBytes);
        variance += ds * ds;
    }
    if (!(variance > 0.0)) return g; // every reading at one step
    g.judged = true;
    g.bytesPerStep = covariance / variance;
    g.overRun = g.bytesPerStep * static_cast<double>(samples.back().step - samples.front().step);
    g.ok = g.overRun <= static_cast<double>(kSoakGrowthSlack);
    return g;
}

void soakBegin(long steps) {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        if (!simValidOid(oid)) continue;
        const SimObject& obj = simWorld.objects[oid];
        for (int32_t i = 0; i < obj.nMasses; ++i) {
            const SimMass& m = obj.masses[i];
            soak.state.push_back(fxMassRecord(m));
            soak.lastPos.insert(soak.lastPos.end(), m.pos, m.pos + 3);
            soak.finiteAtStart += soak.state.back() & FX_MASS_STARTED_FINITE;
            soak.colliding += (m.flags & SIMF_BCUBE) != 0;
        }
    }
    soak.bound = soakBound();
    // Every kMemoryEvery steps, and the last.
    soak.memory.reserve(static_cast<size_t>(steps / kMemoryEvery) + 1);
}

void soakObserve(long step, const FxCubeAngles& before) {
    double kinetic = 0.0, moved = 0.0;
    int64_t watched = 0;
    size_t at = 0;
    const bool posed = fxForEachObjectPose(before, [&](int oid) {
        const SimObject& obj = simWorld.objects[oid];
        const bool body = benchIsBody(oid);
        for (int32_t i = 0; i < obj.nMasses; ++i, ++at) {
            const SimMass& m = obj.masses[i];
            const uint8_t was = soak.state[at];
            double* last = &soak.lastPos[3 * at];
            double excess = 0.0;
            const uint8_t now = fxLookAtMass(soak.state[at], m, excess);
            soak.turnedNonFinite += (now & ~was & FX_MASS_NON_FINITE) != 0;
            if (now & (FX_MASS_BEYOND | FX_MASS_WITHIN)) { // finite and colliding
                soak.furthest = std::max(soak.furthest, excess);
                soak.leftCube += (now & ~was & FX_MASS_BEYOND) != 0;
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
            std::copy(m.pos, m.pos + 3, last);
        }
    });
    soak.posesMatch = soak.posesMatch && posed;
    const bool still = mouseDx == 0 && mouseDy == 0;
    soak.stillSteps += still;
    if (soak.settledAt < 0 && still && watched > 0 &&
        moved / static_cast<double>(watched) < kSettledMove)
        soak.settledAt = step;
    if (!(kinetic <= soak.maxKinetic)) {
        soak.maxKinetic = kinetic;
        soak.maxKineticAt = step;
    }
    if (step % kMemoryEvery == 0) readMemory(step);
}

void soakEnd(long steps) {
    if (steps >= kMemoryEvery) readMemory(steps);
}

bool soakSummary(long steps, double runSeconds) {
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
    } else {
        energyOk = soak.maxKinetic <= soak.bound;
        char rest[160];
        if (soak.settledAt >= 0)
            std::snprintf(rest, sizeof rest, "the body settled at step %ld", soak.settledAt);
        else if (soak.stillSteps == 0)
            std::snprintf(rest, sizeof rest, "the cube never stood still");
        else
            std::snprintf(rest, sizeof rest,
                          "the body did not settle in the %ld steps the cube stood still (mean "
                          "move under %g per step)",
                          soak.stillSteps, kSettledMove);
        std::printf("soak: kinetic energy: max %.6g at step %ld of the run; bound %.6g (%g x sum "
                    "of m g x cube diagonal %.4g); %s -- %s\n",
                    soak.maxKinetic, soak.maxKineticAt, soak.bound, kBoundMargin, soak.diagonal,
                    rest, verdict(energyOk));
    }

    const int64_t peak = platPeakResidentBytes();
    const SoakGrowth growth = soakJudgeGrowth(soak.memory);
    if (!growth.judged) {
        std::printf("soak: peak resident memory: %.1f MiB; growth not judged (needs readings at "
                    "two steps, every %ld from step %ld: at least %ld steps)\n",
                    peak / kMiB, kMemoryEvery, kMemoryEvery, 2 * kMemoryEvery);
    } else {
        const SoakMemorySample& first = soak.memory.front();
        const int64_t largest = std::ranges::max(soak.memory, {}, &SoakMemorySample::bytes).bytes;
        std::printf("soak: peak resident memory: %.1f MiB; heap and stack %.1f MiB at step %ld, "
                    "growth after it: %" PRId64 " kB; trend %.3g bytes/step over %zu readings, "
                    "%.0f kB over the run (allowed %.0f kB) -- %s\n",
                    peak / kMiB, first.bytes / kMiB, first.step, (largest - first.bytes) / 1024,
                    growth.bytesPerStep, soak.memory.size(), growth.overRun / kKiB,
                    kSoakGrowthSlack / kKiB, verdict(growth.ok));
    }
    const bool ok = finiteOk && cubeOk && energyOk && growth.ok;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok;
}
