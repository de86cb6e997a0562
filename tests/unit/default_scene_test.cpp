// Start-up's and the frame loop's numbers, written out here, against the
// world start-up builds; its panic; how the shipped scene's moon falls, lands,
// settles and tumbles; and the headless runner zibbet-bench.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "bench_dir.h"
#include "import/conv3ds.h"
#include "scenegen/body_promises.h"
#include "scenegen/moon_scene.h"
#include "sim/bcube.h"
#include "startup/frame.h"
#include "startup/startup.h"
#include "tests/support/scratch.h"
#include "tests/support/seedsscene.h"
#include "world_fixture.h"

namespace {

// A fresh world made by start-up from the scene bytes, its chatter
// swallowed; the scene's scratch path. grey receives the grey material.
std::string startUp(const FxBytes& scene, int& grey) {
    const std::string path = fxWriteScratch("startup", scene.data(), scene.size());
    EXPECT_FALSE(path.empty());
    simFreeWorld();
    captureStdout([&] { appSceneSetup(grey = appWorldSetup(), path.c_str()); });
    return path;
}

// The world's, the scene's and the frame loop's numbers, written out.
const float kGrey[3][3] = {{0.1f, 0.1f, 0.1f}, {0.4f, 0.4f, 0.4f}, {1.0f, 1.0f, 1.0f}};
const float kYellow[3][3] = {{0.1f, 0.1f, 0.0f}, {0.3f, 0.3f, 0.0f}, {1.0f, 1.0f, 0.0f}};
const float kEmission[3] = {0.0f, 0.0f, 0.0f};
constexpr float kShininess = 8.0f;
constexpr double kGravityY = -0.0098;
constexpr float kCubeEdge = 32.0f; // 4 x the world scale
constexpr int32_t kCubeFlags = 0x6000408, kBodyFlags = 0x5004E20, kForceMask = 1;
constexpr double kScale = 2.4, kK = 5.0, kDamping = 1.0, kBandMin = 0.0, kBandMax = 1.2;
constexpr double kTurnY = 1.3; // and the grey material on the last object only
constexpr float kMouseFactor = 0.0001f;

// Every record of the world that the steps and the renderer read, as bytes.
std::string worldBytes() {
    std::string out;
    const auto add = [&out](const void* p, size_t n) {
        out.append(static_cast<const char*>(p), n);
    };
    const SimWorld& w = simWorld;
    add(&w, offsetof(SimWorld, objects));                        // the name and counts
    add(&w.forcesOid, sizeof w - offsetof(SimWorld, forcesOid)); // fields, materials, cube
    for (int oid = 0; oid < w.nObjects; ++oid) {
        const SimObject& o = w.objects[oid];
        add(&o, offsetof(SimObject, masses)); // the name, id and counts
        add(&o.flags, sizeof o.flags);
        add(o.springs, sizeof(SimSpring) * static_cast<size_t>(o.nSprings));
        add(o.conns, sizeof(SimConnList) * static_cast<size_t>(o.connLen));
        // Field by field: the padding between them holds whatever the heap had.
        for (const SimMass& m : std::span(o.masses, static_cast<size_t>(o.nMasses))) {
            add(m.pos, 12 * sizeof(double)); // pos, vel, acc, normal
            add(&m.polyCount, sizeof m.polyCount);
            add(&m.mass, 2 * sizeof(double));   // mass, range
            add(&m.flags, 2 * sizeof(int32_t)); // flags, forceMask
        }
        for (const SimPoly& t : std::span(o.polys, static_cast<size_t>(o.nPolys))) {
            add(&t.v0, 3 * sizeof(int32_t));
            add(t.normal, sizeof t.normal);
            add(&t.material, 3 * sizeof(int32_t)); // material, index, flags
        }
    }
    return out;
}

constexpr double kFloor = -16.0 + 0.01; // contacts leave a mass this far inside a face

struct Motion {
    double meanMove = 0.0; // mean distance a mass moved in the step
    double lowest = 0.0;   // lowest y of a mass
    double centre[3] = {0.0, 0.0, 0.0};
    bool inside = true; // every mass finite and inside every face of the cube
};

// One whole step of the world, and how the body moved in it.
Motion stepAndMeasure(const SimObject& body) {
    std::vector<double> before;
    for (int32_t i = 0; i < body.nMasses; ++i)
        before.insert(before.end(), body.masses[i].pos, body.masses[i].pos + 3);
    appStepWorld();
    Motion m;
    m.lowest = 1e300;
    for (int32_t i = 0; i < body.nMasses; ++i) {
        const double* p = body.masses[i].pos;
        m.meanMove += std::hypot(p[0] - before[3 * i], p[1] - before[3 * i + 1],
                                 p[2] - before[3 * i + 2]) /
                      body.nMasses;
        for (int j = 0; j < 3; ++j)
            m.centre[j] += p[j] / body.nMasses;
        m.lowest = std::min(m.lowest, p[1]);
        m.inside = m.inside && fxFiniteMass(body.masses[i]) && fxCubeExcess(p) < 0.0;
    }
    return m;
}

} // namespace

// Two objects, so that the grey material's place shows; then one step with
// the mouse off-centre turns the cube once per object by the mouse factor.
TEST_F(WorldTest, StartUpBuildsTheDocumentedWorldAndTheMouseTurnsTheCube) {
    FxBytes moons;
    for (const FxSeed& seed : fxSeedsScene())
        if (seed.name == "two_moons") moons = seed.bytes;
    int grey = -1;
    const std::string path = startUp(moons, grey);
    EXPECT_EQ(verbosity, 2);
    EXPECT_EQ(lastConvertedOid, 3);
    const std::string startup = worldBytes();

    simFreeWorld();
    captureStdout([&] {
        ASSERT_EQ(simInitWorld("Hello_World"), 1);
        EXPECT_EQ(simAddMat(kGrey[0], kGrey[1], kGrey[2], kEmission, kShininess, 1), grey);
        simAddMat(kYellow[0], kYellow[1], kYellow[2], kEmission, kShininess, 1);
        simAddFForce(0.0, kGravityY, 0.0);
        simSetBCube(0.0f, 0.0f, 0.0f, kCubeEdge, kCubeFlags);
        Scene3DS* scene = simLoad3DS(path.c_str());
        ASSERT_NE(scene, nullptr);
        int last = -1;
        for (int i = 0; i < scene->nObjects; ++i) {
            last = simConv3DSobj(-1, scene, i, 0.0, 0.0, 0.0, kScale, kK, kDamping, kBandMin,
                                 kBandMax, kBodyFlags, kForceMask);
            simRotObj(last, 0.0, kTurnY, 0.0);
        }
        simSetObjMat(last, grey);
        simFree3DS(scene);
    });
    EXPECT_TRUE(worldBytes() == startup) << "start-up's world is not the one written out here";

    mouseDx = 100;
    mouseDy = -70;
    appStepWorld();
    double x = 0.0, y = 0.0;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        x += -70 * kMouseFactor;
        y += 100 * kMouseFactor;
    }
    EXPECT_EQ(cubeAngleX, x);
    EXPECT_EQ(cubeAngleY, y);
}

TEST(StartupDeathTest, PanicsWhenTheWorldCannotBeMade) {
    EXPECT_EXIT(
        {
            dup2(2, 1); // the panic goes to stdout; death tests read stderr
            simFreeWorld();
            simMalloc = [](size_t) -> void* { return nullptr; };
            appWorldSetup();
        },
        ::testing::ExitedWithCode(1),
        "\nCore using 1 thread\\.\nInitializing physical objects\\.\\.\\.\n"
        "  simInitWorld\\(\\): World name =\"Hello_World\"\n"
        "  simAddObject\\(\\): Object id=0  name=\"Forces\"  flags=\\$2\n"
        "  simAddObject\\(\\): >>> Setting system forces object \\(oid=0\\) <<<\n"
        "  \\*\\*\\* ERROR \\*\\*\\* simAddObject\\(\\): Failed malloc for system forces "
        "masses\\.\n"
        "Zibbet v0\\.9 \\([^)]*\\): \\*\\*\\*PANIC\\*\\*\\* simInitWorld\\(\\) FAILED\\.\n"
        "ABORTING\\.\n$");
}

TEST_F(WorldTest, MoonFallsLandsOnTheLowestFaceSettlesAndTumblesWhenDragged) {
    int grey = -1;
    startUp(fxDefaultScene(), grey);
    ASSERT_EQ(lastConvertedOid, 2);
    const SimObject& body = simWorld.objects[lastConvertedOid];
    EXPECT_EQ(body.nMasses, 642);
    constexpr int kLandBy = 100; // it starts about 10.7 above the floor
    // At 100 frames per second, 15 seconds; sanitized, just past the landing.
    constexpr int kSettleBy = fxSteps(1500, kLandBy + 50);
    double fastest = 0.0;
    int landedAt = -1;
    Motion last;
    for (int step = 1; step <= kSettleBy; ++step) {
        last = stepAndMeasure(body);
        ASSERT_TRUE(last.inside) << "step " << step;
        fastest = std::max(fastest, last.meanMove);
        if (landedAt < 0 && last.lowest < kFloor + 0.01) landedAt = step;
    }
    EXPECT_GT(landedAt, 0);
    EXPECT_LE(landedAt, kLandBy);
    // At rest on the floor: the bottom touches it, the body keeps its shape
    // (a radius of about 5.3) and has nearly stopped.
    if (!kSanitizedBuild) {
        EXPECT_NEAR(last.lowest, kFloor, 0.005);
        EXPECT_GT(last.centre[1], kFloor + 4.0);
        EXPECT_LT(last.centre[1], kFloor + 6.0);
        EXPECT_LT(last.meanMove, fastest / 20.0);
    }
    // A drag from the resting pose sends it tumbling across the cube (within
    // about 100 steps), still inside it.
    mouseDx = 60;
    mouseDy = -60;
    const double rest[3] = {last.centre[0], last.centre[1], last.centre[2]};
    double farthest = 0.0;
    for (int step = 1; step <= fxSteps(300, 100); ++step) {
        last = stepAndMeasure(body);
        ASSERT_TRUE(last.inside) << "dragged step " << step;
        farthest = std::max(farthest, std::hypot(last.centre[0] - rest[0],
                                                 last.centre[1] - rest[1],
                                                 last.centre[2] - rest[2]));
    }
    if (!kSanitizedBuild) {
        EXPECT_GT(farthest, 8.0);
    }
}

// zibbet-bench's options, its text and JSON reports and its exit status, in
// a folder holding the default scene (its usual place), a file that is no
// scene, the scene under a name JSON must escape, and an empty folder.
class ZibbetBench : public BenchDir {};

TEST_F(ZibbetBench, OptionsReportsAndStatus) {
    ASSERT_TRUE(fxWriteFile(dir + "/we\"ird\\name.3ds", fxDefaultScene()));
    ASSERT_TRUE(fxWriteFile(dir + "/empty.3ds", {}));
    std::filesystem::create_directory(dir + "/empty");
    const std::string springs =
        std::to_string(fxCountBandSprings(fxDefaultMoon(), FX_LOAD_SCALE, FX_SPRING_BAND));
    const struct {
        const char* where; // folder under dir
        std::string args;  // after the program; standard error joins unless redirected
        int status;
        std::string starts;               // the output's beginning
        std::vector<std::string> has;     // in the output
        std::vector<std::string> hasNot;  // not in it
    } runs[] = {
        {"empty", "--steps 1", 2, "", {"cannot read scene file 'bmoon1m.3ds'"}, {}},
        {".", "--scene .", 2, "", {"cannot read scene file '.'"}, {}},
        // Readable but not a scene: start-up's own failure, not hidden.
        {".", "--scene empty.3ds", 1, "",
         {"*** ERROR *** simLoad3DS() FAILED to load scene.", ": ABORTING."}, {}},
        // The moon and the cube's corners; start-up's chatter stays out.
        {".", "--steps 2 --report 2", 0, "",
         {"3 objects, 650 masses, " + springs + " springs", "outside 0  nonfinite 0"},
         {"Zibbet. A physical demo."}},
        {".", "-h 2>/dev/null", 0, "usage: zibbet-bench [--steps N]", {}, {}},
        {".", "--version 2>/dev/null", 0, "zibbet-bench 0.", {}, {}},
        // --name=value as --name value; the JSON alone on standard output,
        // the text report on standard error.
        {".", "--steps=2 --drag=3 -4 --json - 2>/dev/null", 0, "{\n",
         {"\"steps\": 2,\n  \"drag\": [\n    3,\n    -4\n  ],", "\n}\n"}, {"digest     "}},
        {".", "--steps 2 --drag 3 -4 --json - 2>&1 >/dev/null", 0, "",
         {"zibbet-bench: 2 steps, 3 objects", "\ndigest     "}, {"\"digest\""}},
        {".", "--drag=3", 2, "", {"--drag needs two whole numbers"}, {}},
        {".", "--steps 1 --scene 'we\"ird\\name.3ds' --json - 2>/dev/null", 0, "{\n",
         {"\"scene\": \"we\\\"ird\\\\name.3ds\","}, {}},
        // A plot needs a file it can write, and fewer reports than it holds.
        {".", "--steps 5 --plot no-such-folder/plot.svg", 2, "",
         {"cannot write plot file 'no-such-folder/plot.svg'"}, {}},
        {".", "--steps 1000000 --report 1 --plot plot.svg", 2, "", {"raise --report"}, {}},
        {".", "--plot", 2, "", {"--plot needs a file name"}, {}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args);
        const FxRunResult r = fxRunCommand("cd " + dir + "/" + run.where + " && " +
                                               ZIBBET_BENCH_BINARY + " " + run.args +
                                               (run.args.find("2>") == std::string::npos ? " 2>&1"
                                                                                          : ""),
                                           false);
        EXPECT_EQ(r.status, run.status) << r.out;
        EXPECT_EQ(r.out.rfind(run.starts, 0), 0u) << r.out;
        for (const std::string& part : run.has)
            EXPECT_TRUE(has(r.out, part));
        for (const std::string& part : run.hasNot)
            EXPECT_FALSE(has(r.out, part));
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/plot.svg"));

    // Each bounded option at its bounds (read; --compare then refuses to run
    // with it) and past them (refused for its value, the bounds named).
    const struct {
        std::string name;
        long lo, hi;
        std::string needs;
    } bounds[] = {
        {"steps", 1, 1000000000, "a whole number"},     {"report", 1, 1000000000, "a whole number"},
        {"schedule", 1, 1000000000, "a whole number"},  {"repeat", 1, 1000, "a whole number"},
        {"drag", -100000, 100000, "two whole numbers"}, {"threads", 1, 64, "a count"}};
    for (const auto& b : bounds) {
        for (const long v : {b.lo - 1, b.lo, b.hi, b.hi + 1}) {
            const std::string value = std::to_string(v) + (b.name == "drag" ? " 0" : "");
            const FxRunResult r = fxRunCommand(std::string(ZIBBET_BENCH_BINARY) +
                                               " --compare a b --" + b.name + " " + value);
            const bool past = v < b.lo || v > b.hi;
            const std::string needs = "zibbet-bench: --" + b.name + " needs " + b.needs + " from " +
                                      std::to_string(b.lo) + " to " + std::to_string(b.hi);
            EXPECT_EQ(countOf(r.out, needs), past ? 1u : 0u) << b.name << " " << value << r.out;
            EXPECT_EQ(r.status, 2) << r.out;
        }
    }
}
