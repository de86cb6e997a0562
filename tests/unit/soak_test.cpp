// A short soak: zibbet-bench with the drag schedule and the soak checks on a
// small body, the same summary as the long run gives, and its exit status;
// and how the soak judges its memory readings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/bench_soak.h"

#include "tools/fixtures/run_command.h"
#include "tools/fixtures/seedsscene.h"

namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The runner's "digest" line, or empty.
std::string digestLine(const std::string& out) {
    const size_t at = out.find("\ndigest ");
    if (at == std::string::npos) return {};
    return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

// The small moon of the pipeline seeds: 42 masses, settled within 2,000
// steps of falling, so a schedule period of 2,500 steps sees it rest. Each
// test has a file of its own: CTest runs them side by side.
std::string writeSmallMoon() {
    const std::string path = ::testing::TempDir() + "zibbet_soak_moon_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".3ds";
    for (const FxSceneSeed& seed : fxSeedsScene())
        if (seed.name == "small_moon" && fxWriteFile(path, seed.bytes)) return path;
    return {};
}

} // namespace

TEST(Soak, ShortRunWithTheDragScheduleKeepsEveryCheck) {
    const std::string scene = writeSmallMoon();
    ASSERT_FALSE(scene.empty());
    // Still, then turning about two axes, still again, turning back.
    const std::string command = std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene +
                                " --steps 10000 --schedule 2500 --drag 30 20";
    const FxRunResult r = fxRunCommand(command + " --soak");
    // Watching changes nothing: the same final state without the checks.
    const FxRunResult plain = fxRunCommand(command);
    std::remove(scene.c_str());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(digestLine(r.out), "");
    EXPECT_EQ(digestLine(r.out), digestLine(plain.out));
    EXPECT_TRUE(
        has(r.out, "every 2500 steps the next drag of: (0, 0), (30, 20), (0, 0), (-30, -20)"))
        << r.out;
    EXPECT_TRUE(has(r.out, "soak: non-finite masses: 0 of 50 that started finite -- ok")) << r.out;
    EXPECT_TRUE(has(r.out, "soak: masses beyond the cube's reach: 0 of 42 colliding")) << r.out;
    EXPECT_TRUE(has(r.out, "; the body settled at step")) << r.out;
    // The heap's trend is judged by the product's own rule (256 kB over the
    // run); a page or two of it is no fault.
    EXPECT_TRUE(has(r.out, "over 10 readings, ")) << r.out;
    EXPECT_TRUE(has(r.out, " kB over the run (allowed 256 kB) -- ok")) << r.out;
    EXPECT_TRUE(has(r.out, "soak: PASS")) << r.out;
}

TEST(Soak, ABodyThatNeverRestsIsStillJudged) {
    const std::string scene = writeSmallMoon();
    ASSERT_FALSE(scene.empty());
    // Turning from the first step: the body never settles with the cube
    // still, which is no fault; its energy is judged all the same.
    const FxRunResult r = fxRunCommand(std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene +
                                       " --steps 1500 --drag 30 20 --soak");
    std::remove(scene.c_str());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "; the cube never stood still -- ok")) << r.out;
    EXPECT_TRUE(has(r.out, "soak: PASS")) << r.out;
}

namespace {

constexpr long kReadEvery = 1000;  // steps between the soak's readings
constexpr int64_t kHeap = 9 << 20; // bytes at the first reading

// Readings every kReadEvery steps from kReadEvery to `steps`, growing by
// `perStep` bytes a step, with a page's jitter on every third.
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

    // The reports' formatting: 20 kB once, at the second, middle or last
    // reading; and a stdio buffer of 64 kB in the last reading of a short
    // run.
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
