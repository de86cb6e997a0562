// The world's construction: defaults, growth and its notices, limits,
// refused arguments, failed growth and the stamp derived data is keyed on.
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "world_fixture.h"

namespace {

void addMasses(int oid, int n) {
    for (int i = 0; i < n; ++i)
        simAddMass(oid, nullptr);
}

int objectWithMasses(int n) {
    const int oid = simAddObject("o", 0);
    addMasses(oid, n);
    return oid;
}

} // namespace

TEST_F(WorldTest, FreshWorldAndNewRecordsHoldTheirDefaults) {
    simFreeWorld();
    verbosity = 2;
    // The rest of this transcript is start-up's, checked by ZibbetE2e.
    EXPECT_TRUE(has(captureStdout([] { ASSERT_EQ(simInitWorld(nullptr), 1); }),
                    "  simInitWorld(): World name =\"Unknown_World\"\n"));
    EXPECT_EQ(std::tie(simWorld.nObjects, simWorld.nMaterials, simWorld.forceBits,
                       simWorld.bcubeOid, simWorld.forcesOid),
              std::tuple(1, 1, 0u, -1, 0));
    EXPECT_STREQ(obj(0).name, "Forces");
    EXPECT_EQ(std::tie(obj(0).flags, obj(0).masses), std::tuple(SIMF_FORCES, nullptr));
    for (int i = 1; i < SIM_MAX_OBJECTS; ++i)
        ASSERT_EQ(obj(i).id, -1) << i;
    const SimMaterial& def = simWorld.materials[0];
    EXPECT_STREQ(def.name, "default");
    EXPECT_EQ(std::tie(def.ambient[0], def.diffuse[2], def.specular[0], def.shininess),
              std::tuple(0.3f, 1.0f, 0.2f, 128.0f));

    EXPECT_EQ(captureStdout([] { EXPECT_EQ(simAddObject(nullptr, 0x5004E21), 1); }),
              "  simAddObject(): Object id=1  name=\"NoName\"  flags=$5004e21\n");
    const std::string longName(300, 'q');
    EXPECT_EQ(std::string(obj(simAddObject(longName.c_str(), 0)).name), longName.substr(0, 255));
    SimMass* m = nullptr;
    ASSERT_EQ(simAddMass(1, &m), 0);
    ASSERT_EQ(m, &obj(1).masses[0]);
    for (int j = 0; j < 3; ++j)
        EXPECT_EQ(m->pos[j] + m->vel[j] + m->acc[j] + m->normal[j], 0.0);
    EXPECT_EQ(std::tie(m->polyCount, m->mass, m->range, m->flags, m->forceMask),
              std::tuple(0, 1.0, 0.1, SIMF_ACTIVE, -1));

    // Materials: given colours without their alpha, or the defaults.
    const float rgba[4] = {0.5f, 0.25f, 0.125f, 0.9f};
    const SimMaterial& given = simWorld.materials[simAddMat(rgba, rgba, rgba, rgba, 7.0f, 3)];
    const SimMaterial& plain =
        simWorld.materials[simAddMat(nullptr, nullptr, nullptr, nullptr, 1.0f, 1)];
    EXPECT_EQ(std::tie(given.shininess, given.tag, given.name[0]), std::tuple(7.0f, 3, '\0'));
    const float givenRgba[4] = {0.5f, 0.25f, 0.125f, 0.0f};
    const float plainRgba[4][4] = {{0.2f, 0.2f, 0.2f, 0}, {0.8f, 0.8f, 0.8f, 0}, {}, {}};
    const float* colours[2][4] = {{given.ambient, given.diffuse, given.specular, given.emission},
                                  {plain.ambient, plain.diffuse, plain.specular, plain.emission}};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(std::memcmp(colours[0][c], givenRgba, sizeof givenRgba), 0) << c;
        EXPECT_EQ(std::memcmp(colours[1][c], plainRgba[c], sizeof givenRgba), 0) << c;
    }
}

// Masses grow by 128, springs by 2048 and triangles by 64, each step with a
// notice at level 3 (and none at level 2); the records keep what they were given.
TEST_F(WorldTest, ArraysGrowByTheirStepsWithANoticeEachAndRecordsKeepTheirValues) {
    const int oid = objectWithMasses(3);
    verbosity = 3;
    const std::string out = captureStdout([&] {
        for (int i = 0; i < 2049; ++i)
            ASSERT_EQ(simAddSpring(oid, 0, 1, 1.0, 2.0, 3.0, 4), i);
        for (int i = 0; i < 65; ++i)
            ASSERT_EQ(simAddPoly(oid, 0, 1, 2, nullptr, nullptr, nullptr, 0x20, nullptr, 0), i);
        addMasses(oid, 126);
    });
    EXPECT_EQ(std::tie(obj(oid).maxSprings, obj(oid).maxPolys, obj(oid).maxMasses),
              std::tuple(4096, 128, 256));
    EXPECT_TRUE(has(out, "  simAddMass(): Expanding size of masses structure for obj1 to " +
                             std::to_string(256 * sizeof(SimMass)) + "\n"));
    EXPECT_EQ(countOf(out, "simAddSpring(): Expanding size of springs structure for obj1 to "), 2u);
    EXPECT_EQ(countOf(out, "simAddPoly(): Expanding size of polys structure for obj1 to "), 2u);
    EXPECT_EQ(countOf(out, "simAddMass(): Expanding"), 1u); // the first step came before
    // k, damping, rest, a, b, index, kind
    const SimSpring want{2.0, 3.0, 1.0, 0, 1, 2048, 4};
    EXPECT_EQ(std::memcmp(&obj(oid).springs[2048], &want, sizeof want), 0);
    EXPECT_EQ(
        std::tie(obj(oid).polys[64].index, obj(oid).polys[64].flags, obj(oid).masses[2].polyCount),
        std::tuple(64, 0x20 | SIMF_ACTIVE, 65));

    verbosity = 2;
    EXPECT_EQ(captureStdout([&] { addMasses(oid, 129); }), "");
    EXPECT_EQ(obj(oid).maxMasses, 384);

    // A triangle counts each corner it names and gives them its normal; it
    // takes the object's material.
    const double n0[3] = {0.0, 0.0, 1.0};
    obj(oid).masses[4].normal[1] = 7.0;
    SimPoly* p = nullptr;
    ASSERT_EQ(simAddPoly(oid, 3, 3, 4, n0, nullptr, nullptr, 0x20, &p, 0), 65);
    const SimMass* m = obj(oid).masses;
    EXPECT_EQ(std::tie(m[3].polyCount, m[4].polyCount, m[3].normal[2], m[4].normal[1], p->material),
              std::tuple(2, 1, 1.0, 7.0, 0));
    const int mat = simAddMat(nullptr, nullptr, nullptr, nullptr, 1, 1);
    simSetObjMat(oid, mat);
    for (int i = 0; i < 66; ++i)
        ASSERT_EQ(obj(oid).polys[i].material, mat) << i;
}

// Runs of a connection list end in -1 and the list in -2; the list grows by
// as many steps of 1024 entries as a run needs, with a notice at level 3; an
// empty run and a failed growth are refused.
TEST_F(WorldTest, ConnectionRunsAreListedWholeWhateverTheirLength) {
    const int oid = objectWithMasses(3000);
    const int32_t r1[] = {5, 6, 7};
    std::vector<int32_t> longRun(3000);
    for (int i = 0; i < 3000; ++i)
        longRun[i] = i;
    verbosity = 3;
    EXPECT_EQ(captureStdout([&] {
                  ASSERT_EQ(simAddConn(oid, r1, 3), 0);
                  EXPECT_EQ(obj(oid).maxConns, 1024);
                  ASSERT_EQ(simAddConn(oid, longRun.data(), 3000), 0);
              }),
              "  simAddConn(): Expanding size of conns structure for obj1 to 4096\n"
              "  simAddConn(): Expanding size of conns structure for obj1 to 12288\n");
    const int32_t len = 4 + 3001 + 1;
    ASSERT_EQ(obj(oid).connLen, len);
    EXPECT_EQ(obj(oid).maxConns, 3072);
    std::vector<int32_t> want = {5, 6, 7, -1};
    want.insert(want.end(), longRun.begin(), longRun.end());
    want.insert(want.end(), {-1, -2});
    EXPECT_EQ(std::vector<int32_t>(obj(oid).conns, obj(oid).conns + len), want);
    simRealloc = [](void*, size_t) -> void* { return nullptr; };
    EXPECT_EQ(captureStdout([&] {
                  EXPECT_EQ(simAddConn(oid, r1, 0), -1);
                  EXPECT_EQ(simAddConn(oid, longRun.data(), 3000), -1);
              }),
              "  *** ERROR *** simAddConn(): Invalid array size (oid=1).\n"
              "  simAddConn(): Expanding size of conns structure for obj1 to 24576\n"
              "  *** ERROR *** simAddConn(): Failed malloc(24576). (oid=1).\n");
    EXPECT_EQ(std::tie(obj(oid).connLen, obj(oid).maxConns), std::tuple(len, 3072));
}

// Objects stop at 1000 with an error, materials at 50 silently, fields at 32
// with an error; each field takes the lowest free slot and its bit.
TEST_F(WorldTest, TablesStopAtTheirLimits) {
    for (int i = 1; i < SIM_MAX_OBJECTS; ++i)
        ASSERT_EQ(simAddObject("o", 0), i);
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(simAddObject("x", 0), -1); }),
              "  *** ERROR *** simAddObject(): MAX NUMBER OF OBJECTS (1000) REACHED.\n");
    EXPECT_EQ(simWorld.nObjects, 1000);
    for (int i = 1; i < SIM_MAX_MATERIALS; ++i)
        ASSERT_EQ(simAddMat(nullptr, nullptr, nullptr, nullptr, 1.0f, 1), i);
    EXPECT_EQ(captureStdout(
                  [] { EXPECT_EQ(simAddMat(nullptr, nullptr, nullptr, nullptr, 1.0f, 1), -1); }),
              "");
    EXPECT_EQ(simWorld.nMaterials, 50);

    verbosity = 2;
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(simAddFForce(0.0, -0.0098, 0.0), 1u); }),
              "  simAddFForce():  fid=$1\n");
    EXPECT_EQ(simAddFForce(1, 2, 3), 2u);
    const SimFForce& f = simWorld.forces[1];
    EXPECT_EQ(std::tie(f.vec[2], f.strength, f.target, f.mask), std::tuple(3.0, 1.0, -1, 2));
    verbosity = 0;
    for (int i = 2; i < 31; ++i)
        simAddFForce(0, 0, 0);
    EXPECT_EQ(simAddFForce(0, 0, 0), 0x80000000u);
    EXPECT_EQ(simWorld.forceBits, 0xFFFFFFFFu);
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(simAddFForce(0, 0, 0), 0u); }),
              "  *** ERROR *** simAddFForce(): MAX NUMBER OF FORCES (32) REACHED.\n");
}

// A failed growth leaves the object as it was; the first failure is kept
// with its figures until the world is made again.
TEST_F(WorldTest, FailedGrowthLeavesObjectUnchangedAndTheFirstFailureIsKept) {
    EXPECT_FALSE(simAllocFailure().failed);
    const int oid = objectWithMasses(128);
    SimMass* before = obj(oid).masses;
    simRealloc = [](void*, size_t) -> void* { return nullptr; };
    std::string out = captureStdout([&] { EXPECT_EQ(simAddMass(oid, nullptr), -1); });
    EXPECT_EQ(out, "  *** ERROR *** simAddMass(): Failed malloc(" +
                       std::to_string(256 * sizeof(SimMass)) + ") for masses (oid=1).\n");
    EXPECT_EQ(obj(oid).masses, before);
    EXPECT_EQ(obj(oid).nMasses, 128);
    EXPECT_EQ(obj(oid).maxMasses, 128);
    out = captureStdout([&] {
        EXPECT_EQ(simAddSpring(oid, 0, 1, 1.0, 1.0, 1.0, 1), -1);
        EXPECT_EQ(simAddPoly(oid, 0, 1, 2, nullptr, nullptr, nullptr, 0, nullptr, 0), -1);
    });
    EXPECT_EQ(out, "  *** ERROR *** simAddSpring(): Failed malloc(" +
                       std::to_string(SIM_GROW_SPRINGS * sizeof(SimSpring)) +
                       ") for springs (oid=1).\n  *** ERROR *** simAddPoly(): Failed malloc(" +
                       std::to_string(64 * sizeof(SimPoly)) + ") for polys (oid=1).\n");
    EXPECT_EQ(obj(oid).nPolys, 0);
    const SimAllocFailure& fail = simAllocFailure();
    ASSERT_TRUE(fail.failed);
    EXPECT_STREQ(fail.what, "simAddMass(): masses of obj1, block of 32768 bytes");
    EXPECT_EQ(fail.needed, static_cast<int64_t>(SIM_GROW_MASSES * sizeof(SimMass)));
    EXPECT_GT(fail.available, fail.needed);
    EXPECT_STREQ(fail.limit, "the allocator refused it");
    simNoteAllocFailure("a spring plan", 1, 0, "x");
    EXPECT_STREQ(simAllocFailure().what, "simAddMass(): masses of obj1, block of 32768 bytes");

    simMalloc = [](size_t) -> void* { return nullptr; };
    out = captureStdout([] { EXPECT_EQ(simAddObject("F", SIMF_FORCES), -1); });
    EXPECT_EQ(out, "  *** ERROR *** simAddObject(): Failed malloc for system forces masses.\n");
    EXPECT_EQ(simWorld.nObjects, 2); // the slot is taken but not counted

    simFreeWorld();
    EXPECT_FALSE(simAllocFailure().failed);
    simNoteAllocFailure("a spring plan", 1, 0, "x");
    simMalloc = std::malloc;
    ASSERT_EQ(simInitWorld("Again"), 1);
    EXPECT_FALSE(simAllocFailure().failed);
}

// An array never grows past the int32 count of its records (the counts stand
// in for a full array that is never read), and says the size it would have
// needed in full. A block larger than the process can get is refused before
// the allocator is asked: MemoryLimit.BenchUnderMemoryLimits sees that.
TEST_F(WorldTest, LargeSpringArraysStopAtTheCountLimit) {
    const int oid = objectWithMasses(2);
    constexpr int32_t kFullest = INT32_MAX / SIM_GROW_SPRINGS * SIM_GROW_SPRINGS;
    obj(oid).nSprings = obj(oid).maxSprings = kFullest;
    simRealloc = [](void*, size_t) -> void* {
        ADD_FAILURE() << "no block may be asked for past the count limit";
        return nullptr;
    };
    const std::string out = captureStdout([&] {
        EXPECT_EQ(simAddSpring(oid, 0, 1, 1.0, 1.0, 1.0, 1), -1);
        EXPECT_EQ(simReserveSprings(oid, 3000000000LL), nullptr);
    });
    EXPECT_EQ(out, "  *** ERROR *** simAddSpring(): Failed malloc(85899345920) for springs "
                   "(oid=1).\n"
                   "  *** ERROR *** simAddSpring(): Failed malloc(205899284480) for springs "
                   "(oid=1).\n");
    EXPECT_EQ(obj(oid).nSprings, kFullest);
    obj(oid).nSprings = obj(oid).maxSprings = 0;
}

// Derived data is keyed on the stamp: every addition and every declared edit
// must move it, a refused one must not, and a rebuilt world must never hand
// out an old value.
TEST_F(WorldTest, StampMovesWithEveryChangeAndIsNeverReusedAndBadIndicesAreRefused) {
    const int oid = objectWithMasses(2);
    uint64_t seen = obj(oid).stamp;
    const auto moved = [&] {
        const bool changed = obj(oid).stamp != seen;
        seen = obj(oid).stamp;
        return changed;
    };
    ASSERT_EQ(simAddSpring(oid, 0, 1, 1.0, 1.0, 0.0, 1), 0);
    EXPECT_TRUE(moved());
    addMasses(oid, 1);
    EXPECT_TRUE(moved());
    simTouchObject(oid);
    EXPECT_TRUE(moved());
    // A spring's ends at each edge of the masses: -1, 0, the count less one, the count.
    for (const auto& [a, b, valid] : {std::tuple{-1, 1, false}, {1, -1, false}, {0, 2, true},
                                      {2, 0, true}, {3, 1, false}, {1, 3, false}}) {
        const std::string said = captureStdout(
            [&, a = a, b = b] { EXPECT_EQ(simAddSpring(oid, a, b, 1, 1, 1, 1), valid ? 1 : -1); });
        EXPECT_EQ(said, valid ? ""
                              : "  *** ERROR *** simAddSpring(): Mass index out of range (a=" +
                                    std::to_string(a) + " b=" + std::to_string(b) + ", oid=1).\n");
        EXPECT_EQ(moved(), valid) << a << " " << b;
        if (valid) --obj(oid).nSprings;
    }
    const std::string out = captureStdout([&] {
        EXPECT_EQ(simAddMass(-1, nullptr), -1);
        EXPECT_EQ(simAddMass(999, nullptr), -1);
        EXPECT_EQ(simAddPoly(oid, 0, 1, 5, nullptr, nullptr, nullptr, 0, nullptr, 0), -1);
        EXPECT_EQ(simAddPoly(oid, 0, 1, 1, nullptr, nullptr, nullptr, 0, nullptr, 1), -1);
        const int32_t run[] = {0, 7};
        EXPECT_EQ(simAddConn(oid, run, 2), -1);
        simSetObjMat(oid, -1);
        simSetObjMat(77, 0);
    });
    EXPECT_EQ(countOf(out, "*** ERROR ***"), 7u);
    EXPECT_NE(out.find("  *** ERROR *** simAddMass(): "), std::string::npos);
    EXPECT_FALSE(moved()) << "refused records change nothing";
    EXPECT_EQ(std::tie(obj(oid).nSprings, obj(oid).nPolys, obj(oid).connLen,
                       obj(oid).masses[1].polyCount),
              std::tuple(1, 0, 0, 0));

    simFreeWorld();
    ASSERT_EQ(simInitWorld("Again"), 1);
    const int again = objectWithMasses(2);
    ASSERT_EQ(again, oid);
    EXPECT_GT(obj(again).stamp, seen);
}
