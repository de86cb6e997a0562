// The shipped scene as start-up builds it: how the moon falls, lands, settles
// and tumbles, and the headless runner zibbet-bench that reports on it.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tests/support/run_command.h"
#include "app/frame.h"
#include "app/startup.h"
#include "body_checks.h"
#include "sim/bcube.h"
#include "tools/common/moon_scene.h"
#include "world_fixture.h"

namespace {

constexpr double kCubeHalfEdge = 16.0;
constexpr double kPlaneOffset = 0.01; // contacts leave a mass this far inside a face

class DefaultSceneTest : public WorldTest {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        resetFrameState();
        scenePath = ::testing::TempDir() + "default_scene_test.3ds";
        ASSERT_TRUE(fxWriteFile(scenePath, fxDefaultScene()));
        simFreeWorld();
        captureStdout([&] { appSceneSetup(appWorldSetup(), scenePath.c_str()); });
        ASSERT_TRUE(simValidOid(lastConvertedOid));
        ASSERT_NE(lastConvertedOid, simWorld.bcubeOid);
    }
    void TearDown() override {
        std::remove(scenePath.c_str());
        resetFrameState();
        WorldTest::TearDown();
    }
    static void resetFrameState() {
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        lastConvertedOid = 0;
    }
    static const SimObject& moon() { return simWorld.objects[lastConvertedOid]; }

    std::string scenePath;
};

struct Motion {
    double meanMove = 0.0; // mean distance a mass moved in the step
    double lowest = 0.0;   // lowest y of a mass
    double centre[3] = {0.0, 0.0, 0.0};
};

// One whole step of the world, and how the moon moved in it.
Motion stepAndMeasure(const SimObject& body) {
    std::vector<double> before(3 * static_cast<size_t>(body.nMasses));
    for (int32_t i = 0; i < body.nMasses; ++i)
        std::copy(body.masses[i].pos, body.masses[i].pos + 3, before.begin() + 3 * i);
    appStepWorld();
    Motion m;
    m.lowest = 1e300;
    for (int32_t i = 0; i < body.nMasses; ++i) {
        const double* p = body.masses[i].pos;
        double d2 = 0.0;
        for (int j = 0; j < 3; ++j) {
            d2 += (p[j] - before[3 * i + j]) * (p[j] - before[3 * i + j]);
            m.centre[j] += p[j] / body.nMasses;
        }
        m.meanMove += std::sqrt(d2) / body.nMasses;
        m.lowest = std::min(m.lowest, p[1]);
    }
    return m;
}

} // namespace

TEST_F(DefaultSceneTest, MoonFallsLandsOnTheLowestFaceAndSettles) {
    const SimObject& body = moon();
    EXPECT_EQ(body.nMasses, 642);
    constexpr int kLandBy = 100;    // it starts about 10.7 above the floor
    // At 100 frames per second, 15 seconds; sanitized, just past the landing.
    constexpr int kSettleBy = fxSteps(1500, kLandBy + 50);
    constexpr int kDragSteps = fxSteps(300, 100); // thrown across the cube within about 100
    double fastest = 0.0;
    int landedAt = -1;
    Motion last;
    for (int step = 1; step <= kSettleBy; ++step) {
        last = stepAndMeasure(body);
        ASSERT_TRUE(allFinite(body)) << "step " << step;
        ASSERT_LT(worstEscape(body), 0.0) << "step " << step;
        fastest = std::max(fastest, last.meanMove);
        if (landedAt < 0 && last.lowest < -kCubeHalfEdge + 2 * kPlaneOffset) landedAt = step;
    }
    EXPECT_GT(landedAt, 0);
    EXPECT_LE(landedAt, kLandBy);
    // At rest on the floor: the bottom touches it, the body keeps its shape
    // (a radius of about 5.3) and has nearly stopped.
    if (!kSanitizedBuild) {
        EXPECT_NEAR(last.lowest, -kCubeHalfEdge + kPlaneOffset, 0.005);
        EXPECT_GT(last.centre[1], -kCubeHalfEdge + 4.0);
        EXPECT_LT(last.centre[1], -kCubeHalfEdge + 6.0);
        EXPECT_LT(last.meanMove, fastest / 20.0);
    }

    // A drag from the resting pose sends it tumbling, still inside the cube.
    mouseDx = 60;
    mouseDy = -60;
    const double rest[3] = {last.centre[0], last.centre[1], last.centre[2]};
    double farthest = 0.0;
    for (int step = 1; step <= kDragSteps; ++step) {
        last = stepAndMeasure(body);
        ASSERT_TRUE(allFinite(body)) << "dragged step " << step;
        ASSERT_LT(worstEscape(body), 0.0) << "dragged step " << step;
        double d2 = 0.0;
        for (int j = 0; j < 3; ++j)
            d2 += (last.centre[j] - rest[j]) * (last.centre[j] - rest[j]);
        farthest = std::max(farthest, std::sqrt(d2));
    }
    if (!kSanitizedBuild) {
        EXPECT_GT(farthest, 8.0);
    }
}

// ---------------------------------------------------------------------------
// zibbet-bench
// ---------------------------------------------------------------------------
namespace {

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ZibbetBench, UnreadableSceneIsAUsageErrorAndABadSceneShowsWhyItFailed) {
    char dir[] = "/tmp/zibbet-bench-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string bench = std::string("cd ") + dir + " && " + ZIBBET_BENCH_BINARY;

    FxRunResult missing = fxRunCommand(bench + " --steps 1");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(has(missing.out, "cannot read scene file 'bmoon1m.3ds'")) << missing.out;

    FxRunResult directory = fxRunCommand(bench + " --scene .");
    EXPECT_EQ(directory.status, 2);
    EXPECT_TRUE(has(directory.out, "cannot read scene file '.'")) << directory.out;

    // Readable but not a scene: start-up's own failure, which is not hidden.
    const std::string empty = std::string(dir) + "/empty.3ds";
    ASSERT_TRUE(fxWriteFile(empty, {}));
    FxRunResult bad = fxRunCommand(bench + " --scene empty.3ds");
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(has(bad.out, "*** ERROR *** simLoad3DS() FAILED to load scene.")) << bad.out;
    EXPECT_TRUE(has(bad.out, ": ABORTING.")) << bad.out;
    std::remove(empty.c_str());
    rmdir(dir);
}

TEST(ZibbetBench, RunsTheSceneInTheWorkingDirectory) {
    char dir[] = "/tmp/zibbet-bench-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string scene = std::string(dir) + "/bmoon1m.3ds";
    ASSERT_TRUE(fxWriteFile(scene, fxDefaultScene()));
    FxRunResult r = fxRunCommand(std::string("cd ") + dir + " && " + ZIBBET_BENCH_BINARY +
                                 " --steps 2 --report 2");
    std::remove(scene.c_str());
    rmdir(dir);
    EXPECT_EQ(r.status, 0) << r.out;
    // The moon and the cube's corners; start-up's chatter stays out.
    const long springs = fxCountBandSprings(fxDefaultMoon(), FX_LOAD_SCALE, FX_SPRING_BAND);
    EXPECT_TRUE(has(r.out, "3 objects, 650 masses, " + std::to_string(springs) + " springs"))
        << r.out;
    EXPECT_FALSE(has(r.out, "Zibbet. A physical demo.")) << r.out;
    EXPECT_TRUE(has(r.out, "outside 0  nonfinite 0")) << r.out;
}

TEST(ZibbetBench, UsualOptionsHelpVersionAndJsonOnStandardOutput) {
    char dir[] = "/tmp/zibbet-bench-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string scene = std::string(dir) + "/bmoon1m.3ds";
    ASSERT_TRUE(fxWriteFile(scene, fxDefaultScene()));
    const std::string bench = std::string("cd ") + dir + " && " + ZIBBET_BENCH_BINARY;

    const FxRunResult help = fxRunCommand(bench + " -h", false);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: zibbet-bench [--steps N]", 0), 0u) << help.out;
    const FxRunResult version = fxRunCommand(bench + " --version", false);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("zibbet-bench 0.", 0), 0u) << version.out;

    // --name=value as --name value; the JSON alone on standard output.
    const FxRunResult json = fxRunCommand(bench + " --steps=2 --drag=3 -4 --json -", false);
    const FxRunResult text =
        fxRunCommand(bench + " --steps 2 --drag 3 -4 --json - 2>&1 >/dev/null", false);
    std::remove(scene.c_str());
    rmdir(dir);
    EXPECT_EQ(json.status, 0);
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(json.out.front(), '{') << json.out;
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "}\n") << json.out;
    EXPECT_TRUE(has(json.out, "\"steps\": 2,\n  \"drag\": [3, -4],")) << json.out;
    EXPECT_TRUE(has(text.out, "zibbet-bench: 2 steps, 3 objects")) << text.out;
    EXPECT_TRUE(has(text.out, "\ndigest     ")) << text.out;
    EXPECT_FALSE(has(text.out, "\"digest\"")) << text.out;
    EXPECT_EQ(fxRunCommand(bench + " --drag=3").status, 2);
}
