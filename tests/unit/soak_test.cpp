// Short soaks of zibbet-bench on a small body, and how the soak judges its
// memory readings.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/run_command.h"
#include "tests/support/seedsscene.h"
#include "world_fixture.h"
#include "zibbet-bench/bench_soak.h"

// The seeds' small moon (42 masses) settles within 2,000 steps of falling:
// with the cube still between turns every check holds; turning from the
// first step it never settles with the cube still, which is no fault.
TEST(Soak, ShortRunsKeepEveryCheck) {
    const std::string scene = testDir() + "/moon.3ds";
    for (const FxSeed& seed : fxSeedsScene())
        ASSERT_TRUE(seed.name != "small_moon" || fxWriteFile(scene, seed.bytes));
    const std::string bench = std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene;
    const struct {
        const char* args;
        std::vector<std::string> said;
    } runs[] = {
        {" --steps 10000 --schedule 2500 --drag 30 20",
         {"every 2500 steps the next drag of: (0, 0), (30, 20), (0, 0), (-30, -20)",
          "soak: non-finite masses: 0 of 50 that started finite -- ok",
          "soak: masses beyond the cube's reach: 0 of 42 colliding", "; the body settled at step",
          "over 10 readings, ", " kB over the run (allowed 256 kB) -- ok"}},
        {" --steps 1500 --drag 30 20", {"; the cube never stood still -- ok"}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args);
        const FxRunResult r = fxRunCommand(bench + run.args + " --soak");
        EXPECT_EQ(r.status, 0) << r.out;
        for (const std::string& line : run.said)
            EXPECT_TRUE(has(r.out, line));
        EXPECT_TRUE(has(r.out, "soak: PASS"));
        // Watching changes nothing.
        EXPECT_NE(digestLine(r.out), "");
        EXPECT_EQ(digestLine(r.out),
                  digestLine(fxRunCommand(bench + run.args + " --repeat 1 --threads 1").out));
    }
    std::remove(scene.c_str());
}

namespace {

constexpr long kReadEvery = 1000;  // steps between the soak's readings
constexpr int64_t kHeap = 9 << 20; // bytes at the first reading

// Readings up to `steps`, growing by `perStep` bytes a step, a page's jitter
// on every third.
std::vector<SoakMemorySample> readings(long steps, double perStep) {
    std::vector<SoakMemorySample> out;
    for (long step = kReadEvery; step <= steps; step += kReadEvery)
        out.push_back({step, kHeap + static_cast<int64_t>(perStep * (step - kReadEvery)) +
                                 (step / kReadEvery % 3 == 0 ? 4096 : 0)});
    return out;
}

} // namespace

TEST(Soak, MemoryGrowthFailsForALeakButNotForOneOffPages) {
    // A leak of a few bytes a step over a million steps fails.
    for (double perStep : {1.0, 4.0}) {
        const SoakGrowth leak = soakJudgeGrowth(readings(1000000, perStep));
        EXPECT_TRUE(leak.judged);
        EXPECT_FALSE(leak.ok) << perStep << " bytes/step";
        EXPECT_NEAR(leak.bytesPerStep, perStep, 0.05);
    }
    // So does a larger one over a short run.
    EXPECT_FALSE(soakJudgeGrowth(readings(20000, 64.0)).ok);
    // 20 kB once, at the second, middle or last reading; a stdio buffer of
    // 64 kB in the last reading of a short run.
    for (long steps : {2000L, 5000L, 20000L, 1000000L}) {
        const std::vector<SoakMemorySample> flat = readings(steps, 0.0);
        for (size_t from : {size_t{1}, flat.size() / 2, flat.size() - 1}) {
            std::vector<SoakMemorySample> r = flat;
            for (size_t i = from; i < r.size(); ++i)
                r[i].bytes += 20 << 10;
            const SoakGrowth once = soakJudgeGrowth(r);
            EXPECT_TRUE(once.judged);
            EXPECT_TRUE(once.ok) << steps << " steps, jump at reading " << from;
        }
    }
    std::vector<SoakMemorySample> buffered = readings(2000, 0.0);
    buffered.back().bytes += 64 << 10;
    EXPECT_TRUE(soakJudgeGrowth(buffered).ok);
    // One reading cannot be judged, and does not fail.
    const SoakGrowth one = soakJudgeGrowth(readings(1000, 100.0));
    EXPECT_FALSE(one.judged);
    EXPECT_TRUE(one.ok);
}
