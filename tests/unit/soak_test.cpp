// A short soak: zibbet-bench with the drag schedule and the soak checks on a
// small body, the same summary as the long run gives, and its exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
    EXPECT_TRUE(has(r.out, "after the body settled at step")) << r.out;
    EXPECT_TRUE(has(r.out, "growth after it: 0 kB -- ok")) << r.out;
    EXPECT_TRUE(has(r.out, "soak: PASS")) << r.out;
}

TEST(Soak, ABodyThatNeverRestsFailsTheRun) {
    const std::string scene = writeSmallMoon();
    ASSERT_FALSE(scene.empty());
    // Turning from the first step: the body never settles with the cube
    // still, so its energy cannot be judged, and the run fails.
    const FxRunResult r = fxRunCommand(std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene +
                                       " --steps 1500 --drag 30 20 --soak");
    std::remove(scene.c_str());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "the body never settled while the cube stood still")) << r.out;
    EXPECT_TRUE(has(r.out, "soak: FAIL")) << r.out;
}
