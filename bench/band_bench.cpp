// The distance band: the grid search against the plain all-pairs loop, on a
// moon-like surface mesh. The band runs from 0 to a few vertex spacings, as
// start-up's band does for a mesh fine enough to need a search at all; the
// wide case reaches a tenth of the radius. Both searches hand every pair to
// the same counting sink; the springs benchmarks add the springs to a world
// object, as the conversion does.
//
// The close body is start-up's case at its largest: a sphere of 7,842
// vertices scaled as start-up scales a scene, nearly every pair within the
// band, about 25 million springs (1 GB). It is built springs one by one, as
// they first were made, and by the builder on one thread and on two, side by
// side, and its tiles counted and built; time it with
//   band_bench --benchmark_filter=CloseBody --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "import/band.h"
#include "scenegen/bodies.h"
#include "scenegen/meshgen.h"
#include "scenegen/moon_scene.h"
#include "sim/parallel.h"
#include "sim/springs.h"
#include "sim/springs_testing.h"
#include "sim/world.h"
#include "tests/support/band_fixture.h"

namespace {

constexpr double kRadius = 24.0;  // world units: a body filling a good part of the cube
constexpr double kNearBand = 3.0; // upper bound in vertex spacings
constexpr double kWideBand = 0.1; // upper bound as a share of the radius
constexpr uint32_t kSeed = 1;

struct Sink {
    int64_t pairs = 0;
    double sum = 0.0;
};

void count(void* ctx, int32_t, int32_t, double d) {
    Sink* s = static_cast<Sink*>(ctx);
    ++s->pairs;
    s->sum += d;
}

std::vector<SimMass> surfaceMasses(int n) {
    std::vector<SimMass> masses(static_cast<size_t>(n));
    const std::vector<Point3> points = bumpySpherePoints(n, kRadius, kSeed);
    for (size_t i = 0; i < masses.size(); ++i)
        std::memcpy(masses[i].pos, points[i].data(), sizeof masses[i].pos);
    return masses;
}

// range(0): mass count; range(1): 0 for the near band, 1 for the wide one.
double upperBound(const benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    return state.range(1) == 0 ? kNearBand * sphereSpacing(n, kRadius) : kWideBand * kRadius;
}

void runSearch(benchmark::State& state, decltype(&simBandPairs) search) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<SimMass> masses = surfaceMasses(n);
    const double hi = upperBound(state);
    Sink sink;
    for (auto _ : state) {
        sink = Sink{};
        search(masses.data(), n, 0.0, hi, count, &sink);
        benchmark::DoNotOptimize(sink.sum);
    }
    state.counters["pairs"] = static_cast<double>(sink.pairs);
    state.counters["perMass"] = 2.0 * static_cast<double>(sink.pairs) / n;
}

// A fresh world with one object of these masses' positions; its id.
int freshObject(const std::vector<SimMass>& masses, const char* name) {
    simFreeWorld();
    simInitWorld("bench");
    const int oid = simAddObject(name, 0);
    for (const SimMass& m : masses) {
        SimMass* added = nullptr;
        simAddMass(oid, &added);
        std::memcpy(added->pos, m.pos, sizeof m.pos);
    }
    return oid;
}

void BM_BandGrid(benchmark::State& state) {
    runSearch(state, simBandPairs);
}
void BM_BandAllPairs(benchmark::State& state) {
    runSearch(state, bandAllPairs);
}

// Grid search plus simAddSpring, on a fresh world object each time.
void BM_BandGridSprings(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<SimMass> masses = surfaceMasses(n);
    const double hi = upperBound(state);
    int springs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const int oid = freshObject(masses, "moon");
        state.ResumeTiming();
        springs = simAddBandSprings(oid, 0.0, hi, 5.0, 1.0);
    }
    state.counters["springs"] = springs;
    simFreeWorld();
}

// The close body's masses: a geodesic sphere of about 8,000 vertices (7,842)
// of the moon's radius, at start-up's scale.
std::vector<SimMass> closeBody() {
    constexpr int kCloseVerts = 8000;
    const std::vector<FxMesh> parts = fxBenchSphere("Close", FX_MOON_RADIUS, kCloseVerts);
    std::vector<SimMass> masses;
    for (const auto& v : parts.at(0).verts) {
        SimMass m{};
        for (int c = 0; c < 3; ++c)
            m.pos[c] = kFixtureScale * static_cast<double>(v[c]);
        masses.push_back(m);
    }
    return masses;
}

// The springs of the band as they were first made: one simAddSpring call per
// pair in the grid's order, none for a mass beyond SIM_BAND_MAX_COORD.
struct OneByOne {
    int oid;
    double k;
    double damping;
    int added;
};

void addOne(void* ctx, int32_t i, int32_t j, double d) {
    OneByOne* t = static_cast<OneByOne*>(ctx);
    const SimMass* masses = simWorld.objects[t->oid].masses;
    if (!bandNearOrigin(masses[i]) || !bandNearOrigin(masses[j])) return;
    if (simAddSpring(t->oid, i, j, d, t->k, t->damping, 1) >= 0) ++t->added;
}

int bandSpringsOneByOne(int oid, double lo, double hi, double k, double damping) {
    OneByOne target{oid, k, damping, 0};
    const SimObject& obj = simWorld.objects[oid];
    simBandPairs(obj.masses, obj.nMasses, lo, hi, addOne, &target);
    return target.added;
}

// Builds the close body's springs with build(oid, lo, hi, k, damping) on a
// fresh object each time; only the building is timed.
void runCloseBody(benchmark::State& state, int (*build)(int, double, double, double, double)) {
    const std::vector<SimMass> masses = closeBody();
    int springs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const int oid = freshObject(masses, "close");
        state.ResumeTiming();
        springs = build(oid, 0.0, kFixtureBandMax, kFixtureK, kFixtureDamping);
        benchmark::DoNotOptimize(simWorld.objects[oid].springs);
    }
    state.counters["springs"] = springs;
    state.counters["springs/s"] = benchmark::Counter(static_cast<double>(springs),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    simFreeWorld();
}

void BM_CloseBodyOneByOne(benchmark::State& state) {
    runCloseBody(state, bandSpringsOneByOne);
}
void BM_CloseBodyBuilder(benchmark::State& state) {
    simParallelSetBuildThreads(static_cast<int>(state.range(0)));
    runCloseBody(state, simAddBandSprings);
    simParallelSetBuildThreads(1);
}

// The close body's tiles, counted and built (no plan timed), on range(0)
// threads.
void BM_CloseBodyTiles(benchmark::State& state) {
    const std::vector<SimMass> masses = closeBody();
    const int oid = freshObject(masses, "close");
    const int springs = simAddBandSprings(oid, 0.0, kFixtureBandMax, kFixtureK, kFixtureDamping);
    const SimSpringWay tiles{SIM_LAYOUT_TILED, simSpringsPath(), 1};
    simParallelSetBuildThreads(static_cast<int>(state.range(0)));
    springsTestForce(&tiles);
    for (auto _ : state) {
        simTouchObject(oid);
        simSpringsPrepare(oid);
    }
    state.counters["springs/s"] = benchmark::Counter(static_cast<double>(springs),
                                                     benchmark::Counter::kIsIterationInvariantRate);
    springsTestReset();
    simParallelSetBuildThreads(1);
    simSpringsRelease();
    simFreeWorld();
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({10000, 0})->Args({50000, 0})->Args({10000, 1})->Args({50000, 1});
    b->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_BandGrid)->Apply(sizes);
BENCHMARK(BM_BandAllPairs)->Args({10000, 0})->Args({50000, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BandGridSprings)->Args({10000, 0})->Args({50000, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseBodyOneByOne)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseBodyBuilder)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseBodyTiles)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
