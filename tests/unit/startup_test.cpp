// Start-up's and the frame loop's numbers, written out here as documented,
// against the world start-up builds; and its panic.
#include <unistd.h>

#include <cstddef>
#include <span>
#include <string>

#include "import/conv3ds.h"
#include "sim/bcube.h"
#include "startup/frame.h"
#include "startup/startup.h"
#include "tests/support/scratch.h"
#include "tests/support/seedsscene.h"
#include "world_fixture.h"

namespace {

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

} // namespace

// Two objects, so that the grey material's place shows; then one step with
// the mouse off-centre turns the cube once per object by the mouse factor.
TEST_F(WorldTest, StartUpBuildsTheDocumentedWorldAndTheMouseTurnsTheCube) {
    FxBytes moons;
    for (const FxSeed& seed : fxSeedsScene())
        if (seed.name == "two_moons") moons = seed.bytes;
    const std::string path = fxWriteScratch("startup_test", moons.data(), moons.size());
    ASSERT_FALSE(path.empty());
    simFreeWorld();
    int grey = -1;
    captureStdout([&] { appSceneSetup(grey = appWorldSetup(), path.c_str()); });
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

    cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
    mouseDx = 100;
    mouseDy = -70;
    appStepWorld();
    mouseDx = mouseDy = 0;
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
