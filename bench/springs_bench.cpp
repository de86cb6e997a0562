// The spring phase on the default scene's moon (642 masses, about 170,000
// springs) and on a sphere of 7,842 masses and about 25 million springs, the
// body that `zibbet-assets --sphere 7842` writes: for each vector path this
// processor runs and one, two and three threads; beside it the general batched
// loop (the phase as it was before the tiles), the plain one-spring-at-a-time
// loop, and three floors: the divider (one square root and two divisions per
// spring, at each path's vector width), the law alone at that width, and
// memory bandwidth (a triad over arrays far larger than the caches, read as
// the time to stream the big body's tile data). Every figure is also given as
// ns/spring.
//
// Run with --benchmark_repetitions=N: medians and minima are reported.
#include <benchmark/benchmark.h>

// GCC 12 reports the deliberately undefined start value inside the 512-bit
// square root intrinsic as uninitialised.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "scenegen/bodies.h"
#include "scenegen/meshgen.h"
#include "scenegen/moon_scene.h"
#include "sim/springs.h"
#include "sim/springs_law.h"
#include "sim/springs_testing.h"
#include "sim/step.h"
#include "sim/world.h"
#include "tests/support/plain_springs.h"

namespace {

constexpr double kGravityY = -0.0098;
constexpr int kBigSphereVerts = 7842; // the nearest geodesic size: 25.4M springs
constexpr int kMaxThreads = 3;

double minOf(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

// ---------------------------------------------------------------------------
// Scenes
// ---------------------------------------------------------------------------
enum Scene { kMoon, kBigSphere };
const char* const kSceneNames[] = {"Moon", "Sphere25M"};

FixtureMesh toFixture(const FxMesh& mesh) {
    FixtureMesh out;
    for (const auto& v : mesh.verts)
        out.verts.insert(out.verts.end(), v.begin(), v.end());
    for (const auto& f : mesh.faces) {
        out.faces.push_back(f[0]);
        out.faces.push_back(f[1]);
        out.faces.push_back(f[2]);
    }
    return out;
}

int currentScene = -1;
int sceneOid = -1;

// A world as start-up makes it around the scene's body; built once per scene.
int scene(Scene which) {
    if (which == currentScene) return sceneOid;
    simSpringsRelease();
    simFreeWorld();
    verbosity = 0;
    simInitWorld("Bench_World");
    simAddFForce(0.0, kGravityY, 0.0);
    const FxMesh mesh = which == kMoon
                            ? fxDefaultMoon()
                            : fxBenchSphere("Sphere", FX_MOON_RADIUS, kBigSphereVerts)[0];
    sceneOid = fixtureStartupScene(toFixture(mesh));
    currentScene = which;
    return sceneOid;
}

void countSprings(benchmark::State& state, double springs) {
    state.counters["springs"] = springs;
    state.counters["springs/s"] =
        benchmark::Counter(springs, benchmark::Counter::kIsIterationInvariantRate);
    // Printed with an "s" suffix by the library; the value is nanoseconds.
    state.counters["ns/spring"] =
        benchmark::Counter(springs * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                               benchmark::Counter::kInvert);
}

// ---------------------------------------------------------------------------
// The spring phase
// ---------------------------------------------------------------------------

// The tiles on one path, on the still body: positions and velocities stay,
// so every pass does the same work. The first pass builds the plan and is not
// timed. With more than one thread every pass runs on them, even where one
// thread would be faster (the phase would then leave them).
void BM_Springs(benchmark::State& state, Scene which, SimSpringPath path, int threads) {
    const int oid = scene(which);
    if (!simSpringsPathSupported(path)) {
        state.SkipWithError("this processor cannot run the path");
        return;
    }
    SimSpringWay way;
    way.layout = SIM_LAYOUT_TILED;
    way.path = path;
    way.threads = threads;
    springsTestForce(&way);
    simApplySprings(oid);
    for (auto _ : state)
        simApplySprings(oid);
    springsTestReset();
    countSprings(state, simWorld.objects[oid].nSprings);
}

// The batched loop over the records that the phase ran before the tiles.
void BM_SpringsGeneral(benchmark::State& state, Scene which) {
    const int oid = scene(which);
    const SimSpringWay general;
    springsTestForce(&general);
    simApplySprings(oid);
    for (auto _ : state)
        simApplySprings(oid);
    springsTestReset();
    countSprings(state, simWorld.objects[oid].nSprings);
}

void BM_SpringsPlain(benchmark::State& state, Scene which) {
    const int oid = scene(which);
    for (auto _ : state)
        fixturePlainSprings(oid);
    countSprings(state, simWorld.objects[oid].nSprings);
}

// ---------------------------------------------------------------------------
// Floors
// ---------------------------------------------------------------------------
constexpr int kDividerLanes = 4096; // springs per pass, in L1

// One square root and two divisions per spring, as the law has them:
// L = sqrt(s), r = dot / L, f = n / (L * 1000), at each path's width.
__attribute__((optimize("no-tree-vectorize"))) void
dividerScalar(const double* s, const double* dot, const double* n, double* out, int count) {
    for (int i = 0; i < count; ++i) {
        const double len = __builtin_sqrt(s[i]);
        out[i] = dot[i] / len + n[i] / (len * 1000.0);
    }
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) void dividerAvx512(const double* s, const double* dot,
                                                      const double* n, double* out, int count) {
    const __m512d thousand = _mm512_set1_pd(1000.0);
    for (int i = 0; i < count; i += 8) {
        const __m512d len = _mm512_sqrt_pd(_mm512_load_pd(s + i));
        const __m512d r = _mm512_div_pd(_mm512_load_pd(dot + i), len);
        const __m512d f = _mm512_div_pd(_mm512_load_pd(n + i), _mm512_mul_pd(len, thousand));
        _mm512_store_pd(out + i, _mm512_add_pd(r, f));
    }
}

__attribute__((target("avx2"))) void dividerAvx2(const double* s, const double* dot,
                                                 const double* n, double* out, int count) {
    const __m256d thousand = _mm256_set1_pd(1000.0);
    for (int i = 0; i < count; i += 4) {
        const __m256d len = _mm256_sqrt_pd(_mm256_load_pd(s + i));
        const __m256d r = _mm256_div_pd(_mm256_load_pd(dot + i), len);
        const __m256d f = _mm256_div_pd(_mm256_load_pd(n + i), _mm256_mul_pd(len, thousand));
        _mm256_store_pd(out + i, _mm256_add_pd(r, f));
    }
}

void dividerSse2(const double* s, const double* dot, const double* n, double* out, int count) {
    const __m128d thousand = _mm_set1_pd(1000.0);
    for (int i = 0; i < count; i += 2) {
        const __m128d len = _mm_sqrt_pd(_mm_load_pd(s + i));
        const __m128d r = _mm_div_pd(_mm_load_pd(dot + i), len);
        const __m128d f = _mm_div_pd(_mm_load_pd(n + i), _mm_mul_pd(len, thousand));
        _mm_store_pd(out + i, _mm_add_pd(r, f));
    }
}
#endif

using Divider = void (*)(const double*, const double*, const double*, double*, int);

// The law alone, at each path's width: springs whose two ends already lie in
// vectors, one product d * f for both ends' sums, and no tiles, lanes or
// selections; what a kernel costs beyond it is its own. The values lie in one
// pool, a row of kLawSprings per quantity: a's position and velocity (0-5),
// b's (6-11), the rest length (12), a's acceleration (13-15) and b's (16-18).
// The 19 rows fit a 32 KiB L1 together, spread over its sets: rows a multiple
// of 4 KiB apart would crowd the same sets, and cost up to twice the time.
constexpr int kLawSprings = 200;
constexpr int kLawInputs = 13; // the rows read; the six after them are written
constexpr int kLawRows = 19;
constexpr size_t kLawStride = kLawSprings + 8;
constexpr double kLawK = 2.0, kLawDamping = 0.5;

// A vector of W springs from i: V a vector type with operators, SQRT its
// square root.
#define ZIBBET_LAW(V, SQRT)                                                                        \
    for (int i = 0; i < kLawSprings; i += static_cast<int>(sizeof(V) / sizeof(double))) {          \
        auto at = [&](int row) -> V& {                                                             \
            return *reinterpret_cast<V*>(pool + row * kLawStride + i);                             \
        };                                                                                         \
        const V dx = at(0) - at(6), dy = at(1) - at(7), dz = at(2) - at(8);                        \
        const V len = SQRT(dx * dx + dy * dy + dz * dz);                                           \
        const V r = ((at(3) - at(9)) * dx + (at(4) - at(10)) * dy + (at(5) - at(11)) * dz) / len;  \
        const V f = ((at(12) - len) * kLawK - r * kLawDamping) / (len * kSpringForceDivisor);      \
        const V fx = dx * f, fy = dy * f, fz = dz * f;                                             \
        at(13) += fx;                                                                              \
        at(14) += fy;                                                                              \
        at(15) += fz;                                                                              \
        at(16) -= fx;                                                                              \
        at(17) -= fy;                                                                              \
        at(18) -= fz;                                                                              \
    }

using Law = void (*)(double* pool);

__attribute__((optimize("no-tree-vectorize"))) void lawScalar(double* pool) {
    ZIBBET_LAW(double, __builtin_sqrt)
}
#if defined(__x86_64__)
__attribute__((target("avx512f"))) void lawAvx512(double* pool) {
    ZIBBET_LAW(__m512d, _mm512_sqrt_pd)
}
__attribute__((target("avx2"))) void lawAvx2(double* pool) {
    ZIBBET_LAW(__m256d, _mm256_sqrt_pd)
}
void lawSse2(double* pool) {
    ZIBBET_LAW(__m128d, _mm_sqrt_pd)
}
#endif
#undef ZIBBET_LAW

// The floors of each path: its own width's (NEON's are not measured: the
// aarch64 build runs under an emulator here).
struct Floors {
    Divider divider = dividerScalar;
    Law law = lawScalar;
};

Floors floorsOf(SimSpringPath path) {
#if defined(__x86_64__)
    if (path == SIM_PATH_AVX512) return {dividerAvx512, lawAvx512};
    if (path == SIM_PATH_AVX2) return {dividerAvx2, lawAvx2};
    if (path == SIM_PATH_SSE2) return {dividerSse2, lawSse2};
#endif
    (void)path;
    return {};
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

std::unique_ptr<double, FreeDeleter> alignedDoubles(size_t count, double value) {
    auto* p = static_cast<double*>(std::aligned_alloc(64, count * sizeof(double)));
    std::fill(p, p + count, value);
    return std::unique_ptr<double, FreeDeleter>(p);
}

// At each path's width.
void BM_Divider(benchmark::State& state, SimSpringPath path) {
    if (!simSpringsPathSupported(path)) {
        state.SkipWithError("this processor cannot run the path");
        return;
    }
    auto s = alignedDoubles(kDividerLanes, 2.25);
    auto dot = alignedDoubles(kDividerLanes, 0.3);
    auto n = alignedDoubles(kDividerLanes, -0.7);
    auto out = alignedDoubles(kDividerLanes, 0.0);
    const Divider divider = floorsOf(path).divider;
    for (auto _ : state) {
        divider(s.get(), dot.get(), n.get(), out.get(), kDividerLanes);
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    countSprings(state, kDividerLanes);
}

void BM_Law(benchmark::State& state, SimSpringPath path) {
    if (!simSpringsPathSupported(path)) {
        state.SkipWithError("this processor cannot run the path");
        return;
    }
    auto pool = alignedDoubles(kLawStride * kLawRows, 0.0);
    for (int row = 0; row < kLawInputs; ++row) // the ends apart, and moving apart
        for (int i = 0; i < kLawSprings; ++i)
            pool.get()[row * kLawStride + i] = row == 12 ? 1.0
                                               : row < 3 ? 1.0 + row + 1e-4 * i
                                               : row < 6 ? 0.01 * row
                                               : row < 9 ? 0.5
                                                         : 0.0;
    const Law law = floorsOf(path).law;
    for (auto _ : state) {
        law(pool.get());
        benchmark::ClobberMemory();
    }
    countSprings(state, kLawSprings);
}

// a = b + 1.5 c over three arrays of 16M doubles (384 MB) per thread, on one
// thread and on two: the memory's bandwidth, and the time to stream the big
// body's tile data at it.
constexpr size_t kTriadDoubles = size_t{1} << 24;
double tileBytesPerSpring = 0.0;

void BM_Triad(benchmark::State& state) {
    if (state.thread_index() == 0 && tileBytesPerSpring == 0.0) {
        const int oid = scene(kBigSphere);
        SimSpringWay tiles;
        tiles.layout = SIM_LAYOUT_TILED;
        tiles.path = simSpringsPath();
        springsTestForce(&tiles);
        simApplySprings(oid); // the tiles whose bytes are streamed
        tileBytesPerSpring = static_cast<double>(springsTestStreamedBytes(oid)) /
                             static_cast<double>(simWorld.objects[oid].nSprings);
        springsTestReset();
    }
    std::vector<double> a(kTriadDoubles, 0.0), b(kTriadDoubles, 1.0), c(kTriadDoubles, 2.0);
    for (auto _ : state) {
        double* __restrict pa = a.data();
        const double* __restrict pb = b.data();
        const double* __restrict pc = c.data();
        for (size_t i = 0; i < kTriadDoubles; ++i)
            pa[i] = pb[i] + 1.5 * pc[i];
        benchmark::DoNotOptimize(pa);
        benchmark::ClobberMemory();
    }
    const double bytes = 3.0 * kTriadDoubles * sizeof(double);
    state.counters["bytes/s"] =
        benchmark::Counter(bytes, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["plan_bytes/spring"] = tileBytesPerSpring;
    // The big body's tile data at this bandwidth, per spring.
    countSprings(state, bytes / tileBytesPerSpring);
}

void registerAll() {
    for (const Scene which : {kMoon, kBigSphere}) {
        const std::string name = kSceneNames[which];
        auto tune = [which](benchmark::internal::Benchmark* b) {
            b->UseRealTime()->Unit(benchmark::kMillisecond)->ComputeStatistics("min", minOf);
            if (which == kBigSphere) b->MinTime(2.0);
        };
        tune(benchmark::RegisterBenchmark(("BM_SpringsPlain/" + name).c_str(), BM_SpringsPlain,
                                          which));
        tune(benchmark::RegisterBenchmark(("BM_SpringsGeneral/" + name).c_str(), BM_SpringsGeneral,
                                          which));
        for (int i = 0; i < SIM_PATH_COUNT; ++i) {
            const SimSpringPath path = static_cast<SimSpringPath>(i);
            if (!simSpringsPathSupported(path)) continue;
            for (int threads = 1; threads <= kMaxThreads; ++threads)
                tune(benchmark::RegisterBenchmark(("BM_Springs/" + name + "/" +
                                                   simSpringsPathName(path) +
                                                   "/threads:" + std::to_string(threads))
                                                      .c_str(),
                                                  BM_Springs, which, path, threads));
        }
    }
    using Floor = void (*)(benchmark::State&, SimSpringPath);
    for (const auto& [name, floor] :
         {std::pair<const char*, Floor>{"BM_Divider/", BM_Divider}, {"BM_Law/", BM_Law}})
        for (int i = 0; i < SIM_PATH_COUNT; ++i)
            if (const SimSpringPath path = static_cast<SimSpringPath>(i);
                simSpringsPathSupported(path))
                benchmark::RegisterBenchmark((name + std::string(simSpringsPathName(path))).c_str(),
                                             floor, path)
                    ->UseRealTime()
                    ->ComputeStatistics("min", minOf);
    benchmark::RegisterBenchmark("BM_Triad", BM_Triad)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->ComputeStatistics("min", minOf);
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    springsTestReset();
    simSpringsRelease();
    simFreeWorld();
    return 0;
}
