// The physics step: the three timed phases of a whole step on bodies of about
// 1k, 10k and 100k springs, and the spring phase on a coherent 50,000-mass
// body against the same arithmetic on a body whose masses stay in L1 cache.
//
// The L1 kernel is the spring phase itself on a body of 179 masses (23 KB):
// the same code and arithmetic with every mass in L1, the speed limit of the
// arithmetic. Time per spring of BM_SpringPhase/Coherent50k divided by that of
// BM_SpringPhase/L1Kernel is the cost of memory traffic. BM_SpringPlain runs
// the plain one-spring-at-a-time loop on the same bodies. Run with
// --benchmark_repetitions=N: a "min" statistic is reported besides the median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/platform.h"
#include "scenegen/bodies.h"
#include "sim/bcube.h"
#include "sim/step.h"
#include "sim/world.h"
#include "startup/frame.h"
#include "tests/support/plain_springs.h"

namespace {

constexpr double kGravityY = -0.0098;
constexpr double kBand = 1.5;           // lattice spacings: 18 neighbours inside a body
constexpr double kMaxBodyRadius = 12.0; // world units, inside the 32-unit cube
constexpr double kPi = 3.14159265358979323846;

// Body sizes, in masses. A lattice ball with the band above has about nine
// springs per mass.
constexpr int kSmall = 120;   // about 1k springs
constexpr int kMedium = 1200; // about 10k springs
constexpr int kLarge = 11500; // about 100k springs
constexpr int kCoherent = 50000;
constexpr int kL1Masses = 180; // 23 KB of masses: they stay in the 48 KB L1

// The least of the repetitions: on a shared machine, the run that other
// programs disturbed least.
double minOf(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

int currentMasses = -1;
int bodyOid = -1;

// A world like start-up's (gravity, the bounding cube) holding one lattice
// ball of about `masses` masses; built once per size and reused.
int body(int masses) {
    if (masses == currentMasses) return bodyOid;
    simFreeWorld();
    verbosity = 0;
    simInitWorld("Bench_World");
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    const double radius = std::cbrt(3.0 * masses / (4.0 * kPi));
    const double scale = radius > kMaxBodyRadius ? kMaxBodyRadius / radius : 1.0;
    const FixtureMesh mesh = fixtureLatticeBall(static_cast<float>(radius), 1.0f);
    bodyOid = fixtureSoftBody("Lattice", mesh, scale, kBand * scale, kFixtureK, kFixtureDamping,
                              SIMF_BCUBE | SIMF_MKSPRINGS, kFixtureForceMask);
    cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
    mouseDx = mouseDy = 0;
    currentMasses = masses;
    return bodyOid;
}

// Body size and the rate of the phase's own work items: springs for the
// spring phase, masses for the others.
void countItems(benchmark::State& state, int oid, bool springs) {
    const SimObject& obj = simWorld.objects[oid];
    const double items = springs ? obj.nSprings : obj.nMasses;
    state.counters["masses"] = obj.nMasses;
    state.counters["springs"] = obj.nSprings;
    state.counters[springs ? "springs/s" : "masses/s"] =
        benchmark::Counter(items, benchmark::Counter::kIsIterationInvariantRate);
    // Printed with an "s" suffix by the library; the value is nanoseconds.
    state.counters[springs ? "ns/spring" : "ns/mass"] = benchmark::Counter(
        items * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Whole steps of the world, timing one phase with the frame loop's own timers.
enum Phase { kForces, kSprings, kMotion };

void BM_StepPhase(benchmark::State& state, Phase phase) {
    const int oid = body(static_cast<int>(state.range(0)));
    const double freq = static_cast<double>(platCounterFrequency());
    for (auto _ : state) {
        appStepWorld();
        const int64_t counts = phase == kForces    ? phaseForces
                               : phase == kSprings ? phaseSprings
                                                   : phaseMotion;
        state.SetIterationTime(counts / freq);
    }
    countItems(state, oid, phase == kSprings);
}

void registerPhases() {
    const struct {
        const char* name;
        Phase phase;
    } phases[] = {
        {"BM_StepForces", kForces}, {"BM_StepSprings", kSprings}, {"BM_StepMotion", kMotion}};
    for (const auto& p : phases)
        benchmark::RegisterBenchmark(p.name, BM_StepPhase, p.phase)
            ->Arg(kSmall)
            ->Arg(kMedium)
            ->Arg(kLarge)
            ->UseManualTime()
            ->ComputeStatistics("min", minOf);
}

// The spring phase alone, repeated on a still body: positions and velocities
// do not change, so every pass does the same work.
void BM_SpringPhase(benchmark::State& state) {
    const int oid = body(static_cast<int>(state.range(0)));
    for (auto _ : state)
        simApplySprings(oid);
    countItems(state, oid, true);
}

// The plain one-spring-at-a-time loop on the same bodies, for comparison.
void BM_SpringPlain(benchmark::State& state) {
    const int oid = body(static_cast<int>(state.range(0)));
    for (auto _ : state)
        fixturePlainSprings(oid);
    countItems(state, oid, true);
}

} // namespace

BENCHMARK(BM_SpringPhase)
    ->Name("BM_SpringPhase/L1Kernel")
    ->Arg(kL1Masses)
    ->ComputeStatistics("min", minOf);
BENCHMARK(BM_SpringPhase)
    ->Name("BM_SpringPhase/Coherent50k")
    ->Arg(kCoherent)
    ->ComputeStatistics("min", minOf);
BENCHMARK(BM_SpringPlain)
    ->Name("BM_SpringPlain/L1Kernel")
    ->Arg(kL1Masses)
    ->ComputeStatistics("min", minOf);
BENCHMARK(BM_SpringPlain)
    ->Name("BM_SpringPlain/Coherent50k")
    ->Arg(kCoherent)
    ->ComputeStatistics("min", minOf);

int main(int argc, char** argv) {
    registerPhases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    simFreeWorld();
    return 0;
}
