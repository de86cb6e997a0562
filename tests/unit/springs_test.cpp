// The spring engine against the plain one-spring-at-a-time loop: every mass
// record bit for bit after whole steps, on every vector path this processor
// can run and with one, two and three threads; and the headless runner's
// digest for each thread count and each forced path.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/frame.h"
#include "body_checks.h"
#include "sim/bcube.h"
#include "sim/springs.h"
#include "sim/step.h"
#include "tools/fixtures/bodies.h"
#include "tools/fixtures/moon_scene.h"
#include "tools/fixtures/plain_springs.h"
#include "tools/fixtures/spring_settings.h"
#include "world_fixture.h"

namespace {

constexpr double kGravityY = -0.0098;

// Every mass record of every object, in object and mass order.
std::vector<SimMass> allMasses() {
    std::vector<SimMass> out;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        const SimObject& obj = simWorld.objects[oid];
        if (obj.masses) out.insert(out.end(), obj.masses, obj.masses + obj.nMasses);
    }
    return out;
}

// The masses and springs of every object and the cube's angles, to run the
// same steps again from the same start. Masses and springs that a run adds
// are dropped on restoring (the arrays keep their room) and made again by the
// next run.
struct WorldState {
    std::vector<std::vector<SimMass>> masses;
    std::vector<std::vector<SimSpring>> springs;
    double angles[3] = {0.0, 0.0, 0.0};
};

WorldState saveWorld() {
    WorldState w;
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        const SimObject& obj = simWorld.objects[oid];
        w.masses.emplace_back(obj.masses, obj.masses + obj.nMasses);
        w.springs.emplace_back(obj.springs, obj.springs + obj.nSprings);
    }
    w.angles[0] = cubeAngleX;
    w.angles[1] = cubeAngleY;
    w.angles[2] = cubeAngleZ;
    return w;
}

void restoreWorld(const WorldState& w) {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        SimObject& obj = simWorld.objects[oid];
        const std::vector<SimMass>& m = w.masses[static_cast<size_t>(oid)];
        const std::vector<SimSpring>& s = w.springs[static_cast<size_t>(oid)];
        obj.nMasses = static_cast<int32_t>(m.size());
        obj.nSprings = static_cast<int32_t>(s.size());
        if (!m.empty()) std::memcpy(obj.masses, m.data(), m.size() * sizeof(SimMass));
        if (!s.empty()) std::memcpy(obj.springs, s.data(), s.size() * sizeof(SimSpring));
        simTouchObject(oid);
    }
    cubeAngleX = w.angles[0];
    cubeAngleY = w.angles[1];
    cubeAngleZ = w.angles[2];
}

// Records that differ in any bit.
size_t differing(const std::vector<SimMass>& a, const std::vector<SimMass>& b) {
    if (a.size() != b.size()) return a.size() + b.size();
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(SimMass)) != 0) ++n;
    return n;
}

// appStepWorld with the plain loop as the spring phase.
void plainStep() {
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        cubeAngleX += mouseDy * mouseFactor;
        cubeAngleY += mouseDx * mouseFactor;
        simRotBCube(cubeAngleX, cubeAngleY, cubeAngleZ);
        simClearAcc(oid);
        simApplyFForces(oid);
        fixturePlainSprings(oid);
        simUpdateVel(oid);
        simUpdatePos(oid);
    }
}

// Called after each step with its number, so that a test can change the
// world between steps the same way in every run.
using BetweenSteps = std::function<void(int step)>;

// One test per vector path; a path this processor lacks is skipped.
class SpringsTest : public WorldTest, public ::testing::WithParamInterface<SimSpringPath> {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        saved = simSpringsConfig();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        if (!simSpringsPathSupported(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << simSpringsPathName(GetParam())
                         << " path";
        ASSERT_TRUE(fxUsePath(GetParam()));
        fxKeepThreads(true);
    }
    void TearDown() override {
        simSpringsConfigure(saved);
        simSpringsRelease();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        WorldTest::TearDown();
    }

    // Runs `steps` whole steps from the world as it stands, once with the
    // plain loop and then with the engine on this test's path for each
    // thread count, each run from the same start, and checks that every mass
    // record and the digest come out the same.
    static void expectPlainBits(int steps, const BetweenSteps& between = nullptr,
                                std::initializer_list<int> threadCounts = {1, 2, 3}) {
        const WorldState start = saveWorld();
        auto run = [&](const std::function<void()>& step) {
            restoreWorld(start);
            for (int s = 0; s < steps; ++s) {
                step();
                if (between) between(s);
            }
        };
        run(plainStep);
        const std::vector<SimMass> plain = allMasses();
        const uint64_t plainDigest = fixtureWorldDigest();
        restoreWorld(start);
        EXPECT_NE(differing(allMasses(), plain), 0u) << "the steps changed nothing";
        for (const int threads : threadCounts) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            fxSpringThreads(threads);
            run(appStepWorld);
            EXPECT_EQ(differing(allMasses(), plain), 0u);
            EXPECT_EQ(fixtureWorldDigest(), plainDigest);
        }
    }

    SimSpringsConfig saved;
};

// A body of n masses on a jittered lattice, every pair closer than `band`
// joined in ascending (i, j) order with k and damping from the callbacks.
int latticeBody(int n, double band, double (*k)(int, int), double (*damping)(int, int)) {
    const int oid = simAddObject("lattice", SIMF_BCUBE);
    for (int i = 0; i < n; ++i) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->pos[0] = (i % 5) * 0.9 + 0.05 * std::sin(i * 1.7);
        m->pos[1] = ((i / 5) % 5) * 0.9 + 0.05 * std::cos(i * 0.9);
        m->pos[2] = (i / 25) * 0.9 + 0.05 * std::sin(i * 2.3);
        m->flags |= SIMF_BCUBE;
        m->forceMask = 1;
    }
    const SimMass* m = simWorld.objects[oid].masses;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) {
            const double dx = m[i].pos[0] - m[j].pos[0], dy = m[i].pos[1] - m[j].pos[1],
                         dz = m[i].pos[2] - m[j].pos[2];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (d < band) simAddSpring(oid, i, j, d * 0.97, k(i, j), damping(i, j), 1);
        }
    return oid;
}

// The start-up world around a small sphere, with gravity, the cube turning.
int turningSphere() {
    simAddFForce(0.0, kGravityY, 0.0);
    const int oid = fixtureStartupScene(fixtureSphereMesh(12, 16, 2.2f));
    mouseDx = 30;
    mouseDy = -20;
    return oid;
}

double unitK(int, int) {
    return kFixtureK;
}
double unitDamping(int, int) {
    return kFixtureDamping;
}

} // namespace

// ---------------------------------------------------------------------------
// Bit identity with the plain loop
// ---------------------------------------------------------------------------
TEST_P(SpringsTest, DefaultLikeBodyMatchesThePlainLoop) {
    const int oid = turningSphere();
    ASSERT_GE(oid, 0);
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(40);
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
    EXPECT_TRUE(allFinite(simWorld.objects[oid]));
}

// Whatever the planner picks on this machine (the timings decide), the bits
// are the plain loop's; it timed the tiles on this path on one thread and on
// the threads, and the general loop, and picked the fastest.
TEST_P(SpringsTest, ThePlannersChoiceMatchesThePlainLoop) {
    const int oid = turningSphere();
    ASSERT_GE(oid, 0);
    expectPlainBits(20, nullptr, {1, 3}); // the plan is made anew for each run
    const SimSpringsStats stats = simSpringsStats(oid);
    ASSERT_EQ(stats.candidates, 3);
    ASSERT_GE(stats.chosen, 0);
    const SimSpringCandidate& won = stats.candidate[stats.chosen];
    for (int i = 0; i < stats.candidates; ++i) {
        EXPECT_GT(stats.candidate[i].nanos, 0.0);
        EXPECT_LE(won.nanos, stats.candidate[i].nanos);
    }
    EXPECT_EQ(stats.candidate[0].layout, SIM_LAYOUT_TILED);
    EXPECT_EQ(stats.candidate[0].path, GetParam());
    EXPECT_EQ(stats.candidate[0].threads, 1);
    EXPECT_EQ(stats.candidate[1].layout, SIM_LAYOUT_TILED);
    EXPECT_EQ(stats.candidate[1].threads, 3);
    EXPECT_EQ(stats.candidate[2].layout, SIM_LAYOUT_GENERAL);
    EXPECT_EQ(stats.lastLayout, won.layout);
}

TEST_P(SpringsTest, MixedConstantsSortedOrNotMatchThePlainLoop) {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    auto mixedK = [](int i, int j) { return 2.0 + (i * 7 + j) % 5; };
    auto mixedDamping = [](int i, int j) { return 0.5 + ((i + j) % 3) * 0.25; };
    const int sorted = latticeBody(150, 2.0, mixedK, mixedDamping);
    // The same springs in a scrambled order, some with their ends swapped.
    const int scrambled = latticeBody(150, 2.0, mixedK, mixedDamping);
    SimObject& obj = simWorld.objects[scrambled];
    for (int32_t s = 0; s < obj.nSprings; ++s) {
        std::swap(obj.springs[s], obj.springs[(s * 7919) % obj.nSprings]);
        if (s % 3 == 0) std::swap(obj.springs[s].a, obj.springs[s].b);
    }
    simTouchObject(scrambled);
    fxSpringLayout(SIM_LAYOUT_TILED); // however few springs share a block
    expectPlainBits(30);
    EXPECT_EQ(fxLayoutOf(sorted), SIM_LAYOUT_TILED);
    EXPECT_EQ(fxLayoutOf(scrambled), SIM_LAYOUT_GENERAL);
}

TEST_P(SpringsTest, FixedHeavyAndCoincidentEndsMatchThePlainLoop) {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    const int oid = latticeBody(120, 2.0, unitK, unitDamping);
    SimObject& obj = simWorld.objects[oid];
    // Whole blocks of heavy or light masses, single ones, and fixed ones.
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        if (i / 8 == 3) m.mass = 2.5;
        if (i % 9 == 4) m.mass = 0.3;
        if (i % 11 == 2 || i / 8 == 6) m.flags |= SIMF_FIXED;
        m.vel[0] = 0.01 * std::sin(i * 0.37);
        m.vel[2] = -0.02 * std::cos(i * 0.21);
    }
    // Coincident ends: mass 31 moved onto its neighbour 30 amid the other
    // springs of their blocks, and a new last mass on top of the one before,
    // tied to it (still in (a, b) order). Then a spring with both ends on one
    // mass and one whose end was broken after it was made.
    std::memcpy(obj.masses[31].pos, obj.masses[30].pos, sizeof obj.masses[30].pos);
    const int32_t before = obj.nMasses - 1;
    SimMass* twin = nullptr;
    const int t = simAddMass(oid, &twin);
    std::memcpy(twin->pos, obj.masses[before].pos, sizeof twin->pos);
    ASSERT_GE(simAddSpring(oid, before, t, 1.0, kFixtureK, kFixtureDamping, 1), 0);
    ASSERT_GE(simAddSpring(oid, 40, 40, 1.0, kFixtureK, kFixtureDamping, 1), 0);
    const int broken = simAddSpring(oid, before, t, 1.0, kFixtureK, kFixtureDamping, 1);
    ASSERT_GE(broken, 0);
    obj.springs[broken].b = obj.nMasses + 9;
    simTouchObject(oid);
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(30);
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
}

// Lengths at the edges of the law's range, where the vector paths decide
// with their own instructions whether a spring acts: a denormal square (a
// length of about 1e-160, which acts), one that underflows to zero, one that
// overflows to infinity and a NaN position (which do not), and a velocity so
// large that the damping term overflows.
TEST_P(SpringsTest, LengthsAtTheEdgesOfTheRangeMatchThePlainLoop) {
    simAddFForce(0.0, kGravityY, 0.0);
    const int oid = latticeBody(90, 2.0, unitK, unitDamping);
    SimMass* m = simWorld.objects[oid].masses;
    // Ends that differ only in a coordinate near zero, where tiny differences hold.
    std::memcpy(m[9].pos, m[8].pos, sizeof m[8].pos);
    m[8].pos[0] = 0.0;
    m[9].pos[0] = 1e-160;
    std::memcpy(m[21].pos, m[20].pos, sizeof m[20].pos);
    m[20].pos[1] = 0.0;
    m[21].pos[1] = 1e-170;
    m[37].pos[2] = 1e200;
    m[50].pos[0] = std::nan("");
    m[63].vel[1] = 1e306;
    simTouchObject(oid);
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(6);
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
}

TEST_P(SpringsTest, SpringsAddedBetweenStepsMatchThePlainLoop) {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    const int oid = latticeBody(100, 1.5, unitK, unitDamping);
    const int32_t last = simWorld.objects[oid].nMasses - 1;
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(24, [oid, last](int step) {
        if (step == 5) {
            // A new mass beside the last one, tied to it: still in (a, b)
            // order, so the tiles are rebuilt.
            SimMass* m = nullptr;
            const int added = simAddMass(oid, &m);
            std::memcpy(m->pos, simWorld.objects[oid].masses[last].pos, sizeof m->pos);
            m->pos[1] += 0.7;
            m->flags |= SIMF_BCUBE;
            simAddSpring(oid, last, added, 0.5, 3.0, 0.5, 1);
        } else if (step == 11) {
            // Out of order: the general loop takes over.
            simAddSpring(oid, 2, 90, 4.0, kFixtureK, kFixtureDamping, 1);
        } else if (step == 17) {
            // A record edited in place, then announced.
            SimObject& obj = simWorld.objects[oid];
            obj.springs[obj.nSprings - 1].rest = 1.5;
            obj.springs[0].k = 9.0;
            simTouchObject(oid);
        }
    });
}

// A plan is made for the settings in force: another path, thread count or
// layout makes it anew, though the springs stay as they were.
TEST_P(SpringsTest, APlanFollowsTheSettings) {
    const int oid = latticeBody(40, 1.5, unitK, unitDamping);
    fxSpringLayout(SIM_LAYOUT_TILED);
    ASSERT_TRUE(fxUsePath(SIM_PATH_SCALAR));
    simApplySprings(oid);
    EXPECT_EQ(simSpringsStats(oid).path, SIM_PATH_SCALAR);
    ASSERT_TRUE(fxUsePath(GetParam()));
    simApplySprings(oid);
    EXPECT_EQ(simSpringsStats(oid).path, GetParam());
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
    fxSpringLayout(SIM_LAYOUT_AUTO);
    simApplySprings(oid);
    ASSERT_EQ(simSpringsStats(oid).candidates, 2);
    fxSpringThreads(2);
    simApplySprings(oid);
    const SimSpringsStats stats = simSpringsStats(oid);
    ASSERT_EQ(stats.candidates, 3); // the tiles on one thread and on two, and the general loop
    EXPECT_EQ(stats.candidate[1].threads, 2);
}

// An edit that keeps the arrays, the counts and the order leaves only the
// stamp to tell that the tiles' rest lengths and constants are stale.
TEST_P(SpringsTest, ASpringEditedInPlaceAndTouchedRebuildsTheTiles) {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    const int oid = latticeBody(100, 1.5, unitK, unitDamping);
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(12, [oid](int step) {
        if (step != 5) return;
        SimObject& obj = simWorld.objects[oid];
        obj.springs[obj.nSprings / 2].rest = 2.5;
        obj.springs[3].k = 9.0;
        simTouchObject(oid);
    });
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
}

// A soft body of more than 10,000 masses in a turning cube for 100 steps,
// with heavy, light and fixed masses, moving masses, coincident ends and a
// spring whose end lies outside the array: through the general loop and
// through the tiles.
TEST_P(SpringsTest, LargeLatticeInATurningCubeMatchesThePlainLoop) {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    const FixtureMesh mesh = fixtureLatticeBall(13.4f, 1.0f);
    const int oid = fixtureSoftBody("Lattice", mesh, 1.0, 1.5, kFixtureK, kFixtureDamping,
                                    SIMF_BCUBE | SIMF_MKSPRINGS, kFixtureForceMask);
    ASSERT_GE(oid, 0);
    SimObject& obj = simWorld.objects[oid];
    ASSERT_GE(obj.nMasses, 10000);
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        if (i % 7 == 0) m.mass = 1.5;
        if (i % 11 == 0) m.mass = 0.5;
        if (i % 13 == 0) m.flags |= SIMF_FIXED;
        m.vel[0] = 0.01 * std::sin(i * 0.37);
        m.vel[1] = 0.02 * std::cos(i * 0.11);
        m.vel[2] = -0.015 * std::sin(i * 0.05);
    }
    const int32_t before = obj.nMasses - 1;
    const int twin = simAddMass(oid, nullptr);
    std::memcpy(obj.masses[twin].pos, obj.masses[before].pos, sizeof obj.masses[twin].pos);
    ASSERT_GE(simAddSpring(oid, before, twin, 1.0, kFixtureK, kFixtureDamping, 1), 0);
    const int broken = simAddSpring(oid, before, twin, 1.0, kFixtureK, kFixtureDamping, 1);
    ASSERT_GE(broken, 0);
    obj.springs[broken].b = obj.nMasses + 3;
    simTouchObject(oid);
    mouseDx = 25;
    mouseDy = -10;
    // The general loop is the same on every path and takes no threads.
    fxSpringLayout(SIM_LAYOUT_GENERAL);
    expectPlainBits(100, nullptr, {1});
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_GENERAL);
    fxSpringLayout(SIM_LAYOUT_TILED);
    expectPlainBits(100, nullptr, {1, 3});
    EXPECT_EQ(fxLayoutOf(oid), SIM_LAYOUT_TILED);
    EXPECT_TRUE(allFinite(obj));
}

INSTANTIATE_TEST_SUITE_P(Paths, SpringsTest,
                         ::testing::Values(SIM_PATH_SCALAR, SIM_PATH_SSE2, SIM_PATH_NEON, SIM_PATH_AVX2, SIM_PATH_AVX512),
                         [](const ::testing::TestParamInfo<SimSpringPath>& info) {
                             return std::string(simSpringsPathName(info.param));
                         });

TEST(SpringsSettings, APathTheProcessorLacksIsRefusedAndThreadsAreClamped) {
    const SimSpringsConfig saved = simSpringsConfig();
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        SimSpringsConfig wanted = saved;
        wanted.path = path;
        EXPECT_EQ(simSpringsConfigure(wanted), simSpringsPathSupported(path));
        if (!simSpringsPathSupported(path)) {
            EXPECT_NE(simSpringsConfig().path, path);
        }
    }
    EXPECT_TRUE(simSpringsPathSupported(SIM_PATH_SCALAR));
    SimSpringsConfig wanted = saved;
    wanted.path = SIM_PATH_COUNT;
    EXPECT_FALSE(simSpringsConfigure(wanted));
    wanted = saved;
    wanted.threads = 0;
    ASSERT_TRUE(simSpringsConfigure(wanted));
    EXPECT_EQ(simSpringsConfig().threads, 1);
    wanted.threads = SIM_MAX_SPRING_THREADS + 5;
    ASSERT_TRUE(simSpringsConfigure(wanted));
    EXPECT_EQ(simSpringsConfig().threads, SIM_MAX_SPRING_THREADS);
    EXPECT_TRUE(simSpringsConfigure(saved));
}

// ---------------------------------------------------------------------------
// zibbet-bench: the same digest for every thread count and every path
// ---------------------------------------------------------------------------
namespace {

struct BenchRun {
    std::string out; // stdout and stderr together
    int status = -1;
};

BenchRun runBench(const std::string& dir, const std::string& env, const std::string& args) {
    BenchRun r;
    const std::string command =
        "cd " + dir + " && " + env + " " + ZIBBET_BENCH_BINARY + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// The 16 hex digits after "digest", or "" when there are none.
std::string digestOf(const std::string& out) {
    const size_t at = out.find("digest     ");
    return at == std::string::npos ? "" : out.substr(at + 11, 16);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ZibbetBenchSprings, SameDigestForEveryThreadCountAndPath) {
    char dir[] = "/tmp/zibbet-springs-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string scene = std::string(dir) + "/bmoon1m.3ds";
    ASSERT_TRUE(fxWriteFile(scene, fxDefaultScene()));
    const std::string json = std::string(dir) + "/run.json";
    const std::string steps = "--steps 12 --drag 40 -30";

    const BenchRun one = runBench(dir, "", steps + " --threads 1 --json " + json);
    ASSERT_EQ(one.status, 0) << one.out;
    const std::string digest = digestOf(one.out);
    ASSERT_EQ(digest.size(), 16u) << one.out;
    EXPECT_TRUE(has(one.out, "springs on the " +
                                 std::string(simSpringsPathName(simSpringsConfig().path)) +
                                 " path, 1 thread\n"))
        << one.out;
    std::ifstream in(json);
    std::stringstream figures;
    figures << in.rdbuf();
    EXPECT_TRUE(has(figures.str(), "\"digest\": \"" + digest + "\"")) << figures.str();
    EXPECT_TRUE(has(figures.str(), "\"threads\": 1,")) << figures.str();
    EXPECT_TRUE(has(figures.str(), "\"steps\": 12,")) << figures.str();

    for (const int threads : {2, 3}) {
        const BenchRun r = runBench(dir, "", steps + " --threads " + std::to_string(threads));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(digestOf(r.out), digest) << threads << " threads\n" << r.out;
        EXPECT_TRUE(has(r.out, std::to_string(threads) + " threads\n")) << r.out;
    }
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        const std::string name = simSpringsPathName(path);
        const BenchRun r = runBench(dir, "ZIBBET_ISA=" + name, steps + " --threads 2");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(digestOf(r.out), digest) << name << "\n" << r.out;
        if (simSpringsPathSupported(path)) {
            EXPECT_TRUE(has(r.out, "springs on the " + name + " path")) << r.out;
        } else {
            std::printf("[   NOTE   ] %s path not run: this processor lacks it\n", name.c_str());
            EXPECT_TRUE(has(r.out, "this processor cannot run that path")) << r.out;
        }
    }
    const BenchRun bogus = runBench(dir, "ZIBBET_ISA=sse9", "--steps 1");
    EXPECT_EQ(bogus.status, 0) << bogus.out;
    EXPECT_TRUE(has(bogus.out, "ZIBBET_ISA=sse9 is not one of baseline, scalar, sse2, neon, avx2, avx512"))
        << bogus.out;

    std::remove(json.c_str());
    std::remove(scene.c_str());
    rmdir(dir);
}
