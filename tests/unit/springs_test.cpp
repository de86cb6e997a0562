// The spring engine against the plain loop, bit for bit, on every path this
// processor runs; the headless runner's digest on each path.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench_dir.h"
#include "scenegen/bodies.h"
#include "sim/bcube.h"
#include "sim/parallel.h"
#include "sim/springs.h"
#include "sim/springs_testing.h"
#include "sim/step.h"
#include "startup/frame.h"
#include "tests/support/band_fixture.h"
#include "tests/support/plain_springs.h"
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

void freshWorld() {
    simSpringsRelease();
    simFreeWorld();
    ASSERT_EQ(simInitWorld("Test_World"), 1);
    cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
    mouseDx = mouseDy = 0;
}

using Build = std::function<int()>;
// Changes the world after the given step, the same way in every run.
using BetweenSteps = std::function<void(int step)>;

void runFresh(const Build& build, int steps, const std::function<void()>& step,
              const BetweenSteps& between = nullptr) {
    freshWorld();
    ASSERT_GE(build(), 0);
    for (int s = 0; s < steps; ++s) {
        step();
        if (between) between(s);
    }
}

// Every mass record and the digest after the plain loop's steps and after
// each way's, each from a fresh build.
void expectPlainBits(const Build& build, int steps, const std::vector<SimSpringWay>& ways,
                     const BetweenSteps& between = nullptr) {
    runFresh(build, steps, plainStep, between);
    const std::vector<SimMass> plain = allMasses();
    const uint64_t plainDigest = fixtureWorldDigest();
    for (const SimSpringWay& way : ways) {
        SCOPED_TRACE(std::string(way.layout == SIM_LAYOUT_TILED ? "tiles " : "general ") +
                     simSpringsPathName(way.path) + " x" + std::to_string(way.threads));
        springsTestForce(&way);
        runFresh(build, steps, appStepWorld, between);
        const std::vector<SimMass> got = allMasses();
        ASSERT_EQ(got.size(), plain.size());
        EXPECT_EQ(std::memcmp(got.data(), plain.data(), got.size() * sizeof(SimMass)), 0);
        EXPECT_EQ(fixtureWorldDigest(), plainDigest);
    }
    springsTestForce(nullptr);
}

using AddPair = std::function<void(int, int, double)>;

// add(i, j, distance) for every pair i < j closer than `band`, in order.
void joinClosePairs(int oid, double band, AddPair add) {
    const SimObject& obj = simWorld.objects[oid];
    const auto emit = [](void* ctx, int32_t i, int32_t j, double d) {
        (*static_cast<AddPair*>(ctx))(i, j, d);
    };
    bandAllPairs(obj.masses, obj.nMasses, -1.0, band, emit, &add);
}

// n masses on a jittered lattice, close pairs joined.
int latticeBody(int n, double band) {
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
        simAddSpring(oid, i, j, d * 0.97, kFixtureK, kFixtureDamping, 1);
    });
    return oid;
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

// A mass on top of the last one, tied to it; then ties whose ends lie at the
// edges of the masses (the lattice's first spring starts at mass 0): the
// count less one acts, -1 and the count do not.
void twinAndEdgeEnds(int oid) {
    SimObject& obj = simWorld.objects[oid];
    const int32_t before = obj.nMasses - 1;
    const int t = simAddMass(oid, nullptr);
    std::memcpy(obj.masses[t].pos, obj.masses[before].pos, sizeof obj.masses[t].pos);
    const int32_t n = obj.nMasses;
    for (const auto& [a, b] :
         {std::pair{before, n - 1}, {-1, before}, {before, -1}, {n, before}, {before, n}}) {
        const int s = simAddSpring(oid, before, t, 1.0, kFixtureK, kFixtureDamping, 1);
        obj.springs[s].a = a;
        obj.springs[s].b = b;
    }
}

struct BodyCase {
    const char* name;
    int (*build)();
    int steps;
    BetweenSteps between;
    bool tiles; // the springs' order allows tiles
};

const BodyCase kBodies[] = {
    // Lengths where the vector paths decide with their own instructions whether
    // a spring acts: a denormal square (acts), one that underflows to zero, one
    // that overflows, a NaN position (do not), and a damping term that overflows.
    {"LengthsAtTheEdges",
     [] {
         simAddFForce(0.0, kGravityY, 0.0);
         const int oid = latticeBody(90, 2.0);
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
         return latticeBody(100, 1.5);
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
    // More than 10,000 masses in a turning cube for 100 steps; fixed and heavy
    // ones; coincident ends amid the other springs of their blocks, a spring
    // with both ends on one mass and ends at the edges of the array.
    {"LargeLattice",
     [] {
         gravityAndCube();
         const int oid =
             fixtureSoftBody("Lattice", fixtureLatticeBall(13.4f, 1.0f), 1.0, 1.5, kFixtureK,
                             kFixtureDamping, SIMF_BCUBE | SIMF_MKSPRINGS, kFixtureForceMask);
         SimObject& obj = simWorld.objects[oid];
         varyMasses(obj, 300, 900);
         std::memcpy(obj.masses[31].pos, obj.masses[30].pos, sizeof obj.masses[30].pos);
         simAddSpring(oid, 40, 40, 1.0, kFixtureK, kFixtureDamping, 1);
         twinAndEdgeEnds(oid);
         simTouchObject(oid);
         mouseDx = 25;
         mouseDy = -10;
         return oid;
     },
     fxSteps(100, 20), nullptr, true},
};

// A random cloud of 20 to 300 masses, close pairs joined, uniform or mixed
// constants, fixed and heavy masses, random velocities; one in four has its
// springs scrambled and some ends swapped, which only the general loop runs.
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
    SimObject& obj = simWorld.objects[oid];
    for (int32_t s = 0; seed % 4 == 1 && s < obj.nSprings; ++s) {
        std::swap(obj.springs[s], obj.springs[(s * 7919) % obj.nSprings]);
        if (s % 3 == 0) std::swap(obj.springs[s].a, obj.springs[s].b);
    }
    simTouchObject(oid);
    return oid;
}

class SpringsTest : public WorldTest, public ::testing::WithParamInterface<SimSpringPath> {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        springsTestReset();
        simParallelSetBuildThreads(3); // bodies and tiles built on threads: the same bits
        if (!simSpringsPathSupported(GetParam()))
            GTEST_SKIP() << "this processor cannot run the " << simSpringsPathName(GetParam())
                         << " path";
    }
    void TearDown() override {
        springsTestReset();
        simParallelSetBuildThreads(1);
        freshWorld();
        WorldTest::TearDown();
    }
};

} // namespace

// The hand-built bodies on one, two and three threads, and (on the scalar
// path's turn) the general loop; then generated ones.
TEST_P(SpringsTest, BodiesMatchThePlainLoop) {
    const SimSpringPath path = GetParam();
    for (const BodyCase& body : kBodies) {
        SCOPED_TRACE(body.name);
        std::vector<SimSpringWay> ways = {
            {SIM_LAYOUT_TILED, path, 1}, {SIM_LAYOUT_TILED, path, 2}, {SIM_LAYOUT_TILED, path, 3}};
        if (path == SIM_PATH_SCALAR) ways.push_back(SimSpringWay{});
        expectPlainBits(body.build, body.steps, ways, body.between);
        // What the last run's last phase ran: the tiles wherever the order allows.
        SimSpringWay ran;
        springsTestForce(&ways[0]);
        appStepWorld();
        ASSERT_TRUE(springsTestLastWay(simWorld.nObjects - 1, &ran));
        EXPECT_EQ(ran.layout, body.tiles ? SIM_LAYOUT_TILED : SIM_LAYOUT_GENERAL);
    }
    for (uint32_t seed = 1; seed <= static_cast<uint32_t>(fxSteps(24, 6)); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        expectPlainBits([seed] { return generatedBody(seed); }, 8,
                        {{SIM_LAYOUT_TILED, path, 1},
                         {SIM_LAYOUT_TILED, path, 1 + static_cast<int>(seed % 3)}});
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SpringsTest,
                         ::testing::Values(SIM_PATH_SCALAR, SIM_PATH_SSE2, SIM_PATH_NEON,
                                           SIM_PATH_AVX2, SIM_PATH_AVX512),
                         [](const ::testing::TestParamInfo<SimSpringPath>& info) {
                             return std::string(simSpringsPathName(info.param));
                         });

// Each promise of sim/springs.h, in its order there, on lattices of many tiles:
// what a row does, and how many plans it makes.
TEST_F(WorldTest, SpringEngineKeepsThePromisesOfItsHeader) {
    springsTestReset();
    simSpringsRelease();
    gravityAndCube();
    const int oid = latticeBody(120, 1.5), second = latticeBody(30, 1.5);
    const auto timedOn2 = [&oid] {
        const SimSpringsPlanFigures f = simSpringsPlanOf(oid);
        return std::any_of(f.way, f.way + f.ways,
                           [](const SimSpringWay& w) { return w.threads == 2; });
    };
    const SimSpringWay two{SIM_LAYOUT_TILED, simSpringsPath(), 2};
    const char* names[] = {"scalar", "sse2", "neon", "avx2", "avx512"};
    SimSpringsCounters was{};
    const struct {
        const char* promise;
        std::function<void()> act;
        int64_t plans;
    } rows[] = {
        {"the plan made now", [&] { simSpringsPrepare(oid); }, 1},
        {"rather than in the next phase", [&] { simSpringsApply(oid); }, 0},
        {"every object's plan", [] { simSpringsPrepareAll(); }, 1},
        {"none in their phases", [&] { simSpringsApply(second); }, 0},
        {"the widest path the processor runs", [] {
             EXPECT_TRUE(simSpringsPathSupported(simSpringsPath()));
             const int widest = std::getenv("ZIBBET_ISA") ? SIM_PATH_COUNT : simSpringsPath();
             for (int p = widest + 1; p < SIM_PATH_COUNT; ++p)
                 EXPECT_FALSE(simSpringsPathSupported(static_cast<SimSpringPath>(p))) << p;
         }, 0},
        {"threads from 1 to SIM_MAX_SPRING_THREADS", [] {
             for (const auto& [asked, got] : {std::pair{0, 1}, {99, SIM_MAX_SPRING_THREADS}}) {
                 simSpringsSetThreads(asked);
                 EXPECT_EQ(simSpringsThreads(), got);
             }
         }, 0},
        {"plans made anew for two threads", [&] {
             simSpringsSetThreads(2);
             simSpringsApply(oid);
             EXPECT_TRUE(timedOn2());
         }, 1},
        {"and for one", [&] {
             simSpringsSetThreads(1);
             simSpringsApply(oid);
             EXPECT_FALSE(timedOn2());
         }, 1},
        {"phases on the tiles counted, and those on the threads", [&] {
             springsTestForce(&two);
             simSpringsApply(oid);
             springsTestForce(nullptr);
             EXPECT_EQ(simSpringsCounters().tiledPhases, was.tiledPhases + 1);
             EXPECT_EQ(simSpringsCounters().threadedPhases, was.threadedPhases + 1);
         }, 1},
        {"the paths' names", [&] {
             for (int p = 0; p < SIM_PATH_COUNT; ++p)
                 EXPECT_STREQ(simSpringsPathName(static_cast<SimSpringPath>(p)), names[p]);
         }, 0},
        {"every plan dropped", [&] {
             simSpringsRelease();
             EXPECT_EQ(simSpringsPlanOf(oid).ways, 0);
             simSpringsApply(oid);
         }, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.promise);
        was = simSpringsCounters();
        row.act();
        EXPECT_EQ(simSpringsCounters().plansMade - was.plansMade, row.plans);
    }
    springsTestReset();
}

class ZibbetBenchSprings : public BenchDir {};

TEST_F(ZibbetBenchSprings, SameDigestForEveryThreadCountAndPath) {
    const auto run = [this](const std::string& env, const std::string& args) {
        return bench("--steps 12 --drag 40 -30 --repeat 1 " + args, true, env);
    };
    const FxRunResult one = run("", "--threads 1");
    ASSERT_EQ(one.status, 0) << one.out;
    const std::string digest = digestLine(one.out);
    ASSERT_NE(digest, "") << one.out;
    EXPECT_TRUE(has(one.out, "springs on the " + std::string(simSpringsPathName(simSpringsPath())) +
                                 " path, 1 thread\n"));
    for (int i = 0; i < SIM_PATH_COUNT; ++i) {
        const SimSpringPath path = static_cast<SimSpringPath>(i);
        const std::string name = simSpringsPathName(path);
        const FxRunResult r = run("ZIBBET_ISA=" + name, "--threads 2");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(digestLine(r.out), digest) << r.out;
        EXPECT_TRUE(has(r.out, simSpringsPathSupported(path)
                                   ? "springs on the " + name + " path"
                                   : "this processor cannot run that path"));
    }
    const FxRunResult bogus = run("ZIBBET_ISA=sse9", "");
    EXPECT_EQ(bogus.status, 0) << bogus.out;
    EXPECT_TRUE(
        has(bogus.out, "ZIBBET_ISA=sse9 is not one of baseline, scalar, sse2, neon, avx2, avx512"));
}
