// Reading scenes: the default moon and a sphere near the 3DS count limits.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include "import/load3ds.h"
#include "scenegen/meshgen.h"
#include "scenegen/moon_scene.h"
#include "scenegen/writer3ds.h"

namespace {

void loadFile(benchmark::State& state, const FxBytes& bytes, const char* name) {
    std::string path = std::string("/tmp/") + name;
    if (!fxWriteFile(path, bytes)) {
        state.SkipWithError("cannot write the scene");
        return;
    }
    // The reader prints an empty line per load; keep it off the report,
    // which goes to the same stdout.
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY);
    if (saved >= 0 && devNull >= 0) dup2(devNull, STDOUT_FILENO);
    for (auto _ : state) {
        Scene3DS* scene = simLoad3DS(path.c_str());
        benchmark::DoNotOptimize(scene);
        simFree3DS(scene);
    }
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    if (devNull >= 0) close(devNull);
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}

void BM_LoadDefaultScene(benchmark::State& state) {
    loadFile(state, fxDefaultScene(), "zibbet_bench_moon.3ds");
}
BENCHMARK(BM_LoadDefaultScene);

void BM_LoadLargeSphere(benchmark::State& state) {
    loadFile(state, fx3dsScene(fxBenchSphere("Big", 2.2f, 30000), {}), "zibbet_bench_big.3ds");
}
BENCHMARK(BM_LoadLargeSphere);

} // namespace

BENCHMARK_MAIN();
