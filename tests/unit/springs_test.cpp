// The spring engine against the plain one-spring-at-a-time loop: every mass
// record bit for bit after whole steps, for a table of bodies and many
// generated ones, on every vector path this processor can run, on one, two
// and three threads and through the general loop; the planner's choice; and
// the headless runner's digest for each thread count and each forced path.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/frame.h"
#include "sim/bcube.h"
#include "sim/springs.h"
#include "sim/springs_testing.h"
#include "sim/step.h"
#include "tools/fixtures/bodies.h"
#include "tools/fixtures/moon_scene.h"
#include "tools/fixtures/plain_springs.h"
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

// Runs `steps` whole steps from the world as it stands, once with the plain
// loop and then once for each way, each run from the same start, and checks
// that every mass record and the digest come out the same. Between steps,
// `between` may change the world, the same way in every run.
void expectPlainBits(int steps, const std::vector<SimSpringWay>& ways,
                     const BetweenSteps& between = nullptr) {
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
    for (const SimSpringWay& way : ways) {
        SCOPED_TRACE(std::string(way.layout == SIM_LAYOUT_TILED ? "tiles " : "general ") +
                     simSpringsPathName(way.path) + " x" + std::to_string(way.threads));
        springsTestForce(&way);
        run(appStepWorld);
        EXPECT_EQ(differing(allMasses(), plain), 0u);
        EXPECT_EQ(fixtureWorldDigest(), plainDigest);
    }
    springsTestForce(nullptr);
}

SimSpringWay tiles(SimSpringPath path, int threads) {
    SimSpringWay way;
    way.layout = SIM_LAYOUT_TILED;
    way.path = path;
    way.threads = threads;
    return way;
}

// Calls add(i, j, distance) for every pair i < j of the object's masses
// closer than `band`, in ascending (i, j) order.
void joinClosePairs(int oid, double band, const std::function<void(int, int, double)>& add) {
    const int32_t n = simWorld.objects[oid].nMasses;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j) {
            const SimMass* m = simWorld.objects[oid].masses;
            const double dx = m[i].pos[0] - m[j].pos[0], dy = m[i].pos[1] - m[j].pos[1],
                         dz = m[i].pos[2] - m[j].pos[2];
            const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (d < band) add(i, j, d);
        }
}

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
    joinClosePairs(oid, band, [&](int i, int j, double d) {
        simAddSpring(oid, i, j, d * 0.97, k(i, j), damping(i, j), 1);
    });
    return oid;
}

double unitK(int, int) {
    return kFixtureK;
}
double unitDamping(int, int) {
    return kFixtureDamping;
}
double mixedK(int i, int j) {
    return 2.0 + (i * 7 + j) % 5;
}
double mixedDamping(int i, int j) {
    return 0.5 + ((i + j) % 3) * 0.25;
}

void gravityAndCube() {
    simAddFForce(0.0, kGravityY, 0.0);
    simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
}

// Whole blocks of heavy or light masses, single ones, fixed ones, moving ones.
void varyMasses(SimObject& obj, int heavyBlock, int fixedBlock) {
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        if (i / 8 == heavyBlock) m.mass = 2.5;
        if (i % 9 == 4) m.mass = 0.3;
        if (i % 11 == 2 || i / 8 == fixedBlock) m.flags |= SIMF_FIXED;
        m.vel[0] = 0.01 * std::sin(i * 0.37);
        m.vel[2] = -0.02 * std::cos(i * 0.21);
    }
}

// A mass on top of the last one, tied to it twice (still in (a, b) order),
// the second spring's end then broken.
void twinAndBrokenEnd(int oid) {
    SimObject& obj = simWorld.objects[oid];
    const int32_t before = obj.nMasses - 1;
    const int t = simAddMass(oid, nullptr);
    std::memcpy(obj.masses[t].pos, obj.masses[before].pos, sizeof obj.masses[t].pos);
    simAddSpring(oid, before, t, 1.0, kFixtureK, kFixtureDamping, 1);
    const int broken = simAddSpring(oid, before, t, 1.0, kFixtureK, kFixtureDamping, 1);
    obj.springs[broken].b = obj.nMasses + 9;
}

// A body for the table: built into the fresh world; its steps, what may
// change between them, and whether its springs' order allows tiles.
struct BodyCase {
    const char* name;
    int (*build)();
    int steps;
    BetweenSteps between;
    bool tiles;
};

const BodyCase kBodies[] = {
    {"TurningSphere",
     [] {
         simAddFForce(0.0, kGravityY, 0.0);
         mouseDx = 30;
         mouseDy = -20;
         return fixtureStartupScene(fixtureSphereMesh(12, 16, 2.2f));
     },
     40, nullptr, true},
    {"MixedConstants",
     [] {
         gravityAndCube();
         return latticeBody(150, 2.0, mixedK, mixedDamping);
     },
     30, nullptr, true},
    // The same springs scrambled, some ends swapped: only the general loop.
    {"MixedConstantsScrambled",
     [] {
         gravityAndCube();
         const int oid = latticeBody(150, 2.0, mixedK, mixedDamping);
         SimObject& obj = simWorld.objects[oid];
         for (int32_t s = 0; s < obj.nSprings; ++s) {
             std::swap(obj.springs[s], obj.springs[(s * 7919) % obj.nSprings]);
             if (s % 3 == 0) std::swap(obj.springs[s].a, obj.springs[s].b);
         }
         simTouchObject(oid);
         return oid;
     },
     30, nullptr, false},
    // Coincident ends amid the other springs of their blocks, a spring with
    // both ends on one mass and one whose end lies outside the array.
    {"FixedHeavyCoincident",
     [] {
         gravityAndCube();
         const int oid = latticeBody(120, 2.0, unitK, unitDamping);
         SimObject& obj = simWorld.objects[oid];
         varyMasses(obj, 3, 6);
         std::memcpy(obj.masses[31].pos, obj.masses[30].pos, sizeof obj.masses[30].pos);
         simAddSpring(oid, 40, 40, 1.0, kFixtureK, kFixtureDamping, 1);
         twinAndBrokenEnd(oid);
         simTouchObject(oid);
         return oid;
     },
     30, nullptr, true},
    // Lengths at the edges of the law's range, where the vector paths decide
    // with their own instructions whether a spring acts: a denormal square (a
    // length of about 1e-160, which acts), one that underflows to zero, one
    // that overflows to infinity and a NaN position (which do not), and a
    // velocity so large that the damping term overflows.
    {"LengthsAtTheEdges",
     [] {
         simAddFForce(0.0, kGravityY, 0.0);
         const int oid = latticeBody(90, 2.0, unitK, unitDamping);
         SimMass* m = simWorld.objects[oid].masses;
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
         return oid;
     },
     6, nullptr, true},
    // Between steps: a new mass tied to the last one (tiles made anew), a
    // spring out of order (the general loop takes over), records edited in
    // place and announced.
    {"SpringsChangedBetweenSteps",
     [] {
         gravityAndCube();
         return latticeBody(100, 1.5, unitK, unitDamping);
     },
     24,
     [](int step) {
         const int oid = simWorld.nObjects - 1;
         SimObject& obj = simWorld.objects[oid];
         if (step == 5) {
             const int32_t last = obj.nMasses - 1;
             SimMass* m = nullptr;
             const int added = simAddMass(oid, &m);
             std::memcpy(m->pos, obj.masses[last].pos, sizeof m->pos);
             m->pos[1] += 0.7;
             m->flags |= SIMF_BCUBE;
             simAddSpring(oid, last, added, 0.5, 3.0, 0.5, 1);
         } else if (step == 11) {
             obj.springs[obj.nSprings / 2].rest = 2.5;
             obj.springs[3].k = 9.0;
             simTouchObject(oid);
         } else if (step == 17) {
             simAddSpring(oid, 2, 90, 4.0, kFixtureK, kFixtureDamping, 1);
         }
     },
     false},
    // More than 10,000 masses in a turning cube for 100 steps.
    {"LargeLattice",
     [] {
         gravityAndCube();
         const int oid =
             fixtureSoftBody("Lattice", fixtureLatticeBall(13.4f, 1.0f), 1.0, 1.5, kFixtureK,
                             kFixtureDamping, SIMF_BCUBE | SIMF_MKSPRINGS, kFixtureForceMask);
         SimObject& obj = simWorld.objects[oid];
         varyMasses(obj, 300, 900);
         twinAndBrokenEnd(oid);
         simTouchObject(oid);
         mouseDx = 25;
         mouseDy = -10;
         return oid;
     },
     fxSteps(100, 20), nullptr, true},
};

// Generated bodies: a few dozen to a few hundred masses in a random cloud,
// every pair closer than a random band joined in (a, b) order, uniform or
// mixed constants, fixed and heavy masses, random velocities.
int generatedBody(uint32_t seed) {
    uint64_t state = seed * 0x9e3779b97f4a7c15ull + 1;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    gravityAndCube();
    const int n = 20 + static_cast<int>(next() * 280);
    const double band = 0.8 + next() * 2.0;
    const bool mixed = next() < 0.5;
    const int oid = simAddObject("cloud", SIMF_BCUBE);
    for (int i = 0; i < n; ++i) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        for (int c = 0; c < 3; ++c) {
            m->pos[c] = next() * 5.0;
            m->vel[c] = (next() - 0.5) * 0.05;
        }
        if (next() < 0.1) m->flags |= SIMF_FIXED;
        if (next() < 0.2) m->mass = 0.5 + next() * 2.0;
        m->flags |= SIMF_BCUBE;
        m->forceMask = 1;
    }
    joinClosePairs(oid, band, [&](int i, int j, double d) {
        simAddSpring(oid, i, j, d * (0.9 + next() * 0.2), mixed ? 1.0 + next() * 8.0 : 4.0,
                     mixed ? next() : 0.7, 1);
    });
    return oid;
}

// One test per vector path; a path this processor lacks is skipped.
class SpringsTest : public WorldTest, public ::testing::WithParamInterface<SimSpringPath> {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        springsTestReset();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        if (!simSpringsPathSupported(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << simSpringsPathName(GetParam())
                         << " path";
    }
    void TearDown() override {
        springsTestReset();
        simSpringsRelease();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        WorldTest::TearDown();
    }
    // A fresh world for the next body.
    static void freshWorld() {
        simSpringsRelease();
        simFreeWorld();
        ASSERT_EQ(simInitWorld("Test_World"), 1);
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Bit identity with the plain loop
// ---------------------------------------------------------------------------

// Every body of the table on this path's tiles on one, two and three threads,
// and (once, on the scalar path's turn) through the general loop.
TEST_P(SpringsTest, BodiesMatchThePlainLoop) {
    const SimSpringPath path = GetParam();
    for (const BodyCase& body : kBodies) {
        SCOPED_TRACE(body.name);
        freshWorld();
        const int oid = body.build();
        ASSERT_GE(oid, 0);
        std::vector<SimSpringWay> ways = {tiles(path, 1), tiles(path, 2), tiles(path, 3)};
        if (path == SIM_PATH_SCALAR) ways.push_back(SimSpringWay{});
        expectPlainBits(body.steps, ways, body.between);
        // What the last run's last phase ran: the tiles wherever the order allows.
        SimSpringWay ran;
        springsTestForce(&ways[0]);
        appStepWorld();
        ASSERT_TRUE(springsTestLastWay(oid, &ran));
        EXPECT_EQ(ran.layout, body.tiles ? SIM_LAYOUT_TILED : SIM_LAYOUT_GENERAL);
    }
}

TEST_P(SpringsTest, GeneratedBodiesMatchThePlainLoop) {
    const SimSpringPath path = GetParam();
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(fxSteps(24, 6)); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        freshWorld();
        ASSERT_GE(generatedBody(seed), 0);
        expectPlainBits(8, {tiles(path, 1), tiles(path, 1 + static_cast<int>(seed % 3))});
    }
}

// Whatever the planner picks on this machine (the timings decide), the bits
// are the plain loop's and the way it chose is the fastest it timed; plans
// made before the steps serve them all, and a change of the thread count
// makes them anew.
TEST_P(SpringsTest, ThePlannersChoiceMatchesThePlainLoopAndIsMadeBeforeTheSteps) {
    ASSERT_GE(kBodies[0].build(), 0);
    ASSERT_TRUE(springsTestOnlyPath(GetParam()));
    for (const int threads : {1, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        simSpringsSetThreads(threads);
        const WorldState start = saveWorld();
        for (int s = 0; s < 10; ++s)
            plainStep();
        const std::vector<SimMass> plain = allMasses();
        restoreWorld(start);
        simSpringsPrepareAll();
        const int64_t made = simSpringsCounters().plansMade;
        for (int s = 0; s < 10; ++s)
            appStepWorld();
        EXPECT_EQ(differing(allMasses(), plain), 0u);
        EXPECT_EQ(simSpringsCounters().plansMade, made);
        const SimSpringsPlanFigures figures = simSpringsPlanOf(simWorld.nObjects - 1);
        ASSERT_GE(figures.chosen, 0);
        for (int i = 0; i < figures.ways; ++i) {
            EXPECT_GT(figures.way[i].nanos, 0.0);
            EXPECT_LE(figures.way[figures.chosen].nanos, figures.way[i].nanos);
            EXPECT_TRUE(figures.way[i].layout == SIM_LAYOUT_GENERAL ||
                        figures.way[i].path == GetParam());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SpringsTest,
                         ::testing::Values(SIM_PATH_SCALAR, SIM_PATH_SSE2, SIM_PATH_NEON,
                                           SIM_PATH_AVX2, SIM_PATH_AVX512),
                         [](const ::testing::TestParamInfo<SimSpringPath>& info) {
                             return std::string(simSpringsPathName(info.param));
                         });

TEST(SpringsSettings, APathTheProcessorLacksIsRefusedAndThreadsAreClamped) {
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        EXPECT_EQ(springsTestOnlyPath(path), simSpringsPathSupported(path));
        if (!simSpringsPathSupported(path)) {
            EXPECT_NE(simSpringsPath(), path);
        }
    }
    EXPECT_TRUE(simSpringsPathSupported(SIM_PATH_SCALAR));
    EXPECT_FALSE(springsTestOnlyPath(SIM_PATH_COUNT));
    for (const auto& [asked, got] :
         {std::pair{0, 1}, {3, 3}, {SIM_MAX_SPRING_THREADS + 5, SIM_MAX_SPRING_THREADS}}) {
        simSpringsSetThreads(asked);
        EXPECT_EQ(simSpringsThreads(), got);
    }
    springsTestReset();
    EXPECT_EQ(simSpringsThreads(), 1);
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
    EXPECT_TRUE(has(one.out, "springs on the " + std::string(simSpringsPathName(simSpringsPath())) +
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
    EXPECT_TRUE(
        has(bogus.out, "ZIBBET_ISA=sse9 is not one of baseline, scalar, sse2, neon, avx2, avx512"))
        << bogus.out;

    std::remove(json.c_str());
    std::remove(scene.c_str());
    rmdir(dir);
}
