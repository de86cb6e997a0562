// The pipeline fuzzer's entry: its seeds and every reproducer kept beside the
// fuzzers keep the body promises, the world it builds is start-up's, and the
// promises it checks can fail.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <vector>

#include "app/startup.h"
#include "sim/bcube.h"
#include "tools/common/bodies.h"
#include "tools/common/body_promises.h"
#include "tests/support/seedsscene.h"
#include "world_fixture.h"

namespace {

FxSceneOutcome replay(const FxBytes& bytes) {
    FxSceneOutcome o;
    captureStdout([&] { o = fxSceneBytes(bytes.data(), bytes.size()); });
    return o;
}

} // namespace

TEST(SceneFuzzEntry, HostileSeedsAreSteppedAndKeepThePromises) {
    std::map<std::string, FxSceneOutcome> got;
    for (const FxSceneSeed& seed : fxSeedsScene()) {
        got[seed.name] = replay(seed.bytes);
        EXPECT_EQ(got[seed.name].fault, "") << seed.name;
    }
    // The hostile meshes are read, converted and stepped; a mesh with a face
    // naming a missing vertex is not converted, but its masses stay and fall.
    for (const char* name :
         {"small_moon", "nan_vertices", "infinite_vertices", "coincident_vertices",
          "enormous_vertices", "denormal_body", "far_outside", "unnamed_vertices"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(got[name].loaded);
        EXPECT_EQ(got[name].bodies, 1);
        EXPECT_GT(got[name].springs, 0);
        EXPECT_TRUE(got[name].stepped);
    }
    // A body too far out for the contact to bring in whole gets no springs.
    EXPECT_EQ(got["enormous_body"].bodies, 1);
    EXPECT_EQ(got["enormous_body"].springs, 0);
    EXPECT_TRUE(got["enormous_body"].stepped);
    EXPECT_EQ(got["two_moons"].bodies, 2);
    EXPECT_EQ(got["missing_vertices"].bodies, 0);
    EXPECT_TRUE(got["missing_vertices"].stepped);
    EXPECT_EQ(got["faceless_object"].bodies, 2);
    // The default scene is over the spring cap: built and checked only.
    EXPECT_EQ(got["default_scene"].bodies, 1);
    EXPECT_GT(got["default_scene"].springs, FX_SCENE_SPRING_CAP);
    EXPECT_FALSE(got["default_scene"].stepped);
}

TEST(SceneFuzzEntry, ReproducersKeepThePromises) {
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    if (!std::filesystem::is_directory(regressions)) return;
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const FxBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(replay(bytes).fault, "") << entry.path();
    }
}

// The entry builds the very world start-up builds from the same file.
TEST_F(WorldTest, SceneWorldIsStartUpsWorld) {
    const std::string path = ::testing::TempDir() + "zibbet_scene_world.3ds";
    FxBytes moon;
    for (const FxSceneSeed& seed : fxSeedsScene())
        if (seed.name == "two_moons") moon = seed.bytes;
    ASSERT_TRUE(fxWriteFile(path, moon));

    simFreeWorld();
    captureStdout([&] { appSceneSetup(appWorldSetup(), path.c_str()); });
    const uint64_t startup = fixtureWorldDigest();
    const int objects = simWorld.nObjects, materials = simWorld.nMaterials;
    const SimObject& last = simWorld.objects[3];
    const std::vector<SimSpring> springs(last.springs, last.springs + last.nSprings);
    const int32_t greyMaterial = last.polys[0].material;
    const int32_t flags = last.masses[0].flags, forceMask = last.masses[0].forceMask;

    Scene3DS* scene = nullptr;
    captureStdout([&] {
        scene = simLoad3DS(path.c_str());
        EXPECT_EQ(fxSceneWorld(scene), 2);
    });
    simFree3DS(scene);
    std::remove(path.c_str());
    EXPECT_EQ(fixtureWorldDigest(), startup);
    EXPECT_EQ(simWorld.nObjects, objects);
    EXPECT_EQ(simWorld.nMaterials, materials);
    // Rest lengths, stiffness and damping of every spring, bit for bit.
    const SimObject& again = simWorld.objects[3];
    ASSERT_EQ(again.nSprings, static_cast<int32_t>(springs.size()));
    EXPECT_EQ(std::memcmp(again.springs, springs.data(), springs.size() * sizeof(SimSpring)), 0);
    EXPECT_EQ(again.polys[0].material, greyMaterial);
    EXPECT_EQ(again.masses[0].flags, flags);
    EXPECT_EQ(again.masses[0].forceMask, forceMask);
}

// Masses further out than the contact can bring in precisely get no
// springs: left with them, a body far away is torn apart by the roundings of
// its first contact and its springs fling it to infinity (the reproducers of
// fuzz/regressions hold two such bodies).
TEST_F(WorldTest, MassesBeyondTwoToTheFortyJoinNoSprings) {
    FxMesh mesh;
    mesh.name = "Far";
    // Scaled by 2.4: 9.6e11 world units is within 2^40 (1.1e12), 1.2e12 is not.
    mesh.verts = {{0, 0, 0}, {1, 0, 0}, {4e11f, 0, 0}, {4e11f, 1, 0}, {5e11f, 0, 0}, {5e11f, 1, 0}};
    mesh.faces = {{0, 1, 2, 0}, {2, 3, 4, 0}, {3, 4, 5, 0}};
    const std::string path = ::testing::TempDir() + "zibbet_far_masses.3ds";
    ASSERT_TRUE(fxWriteFile(path, fx3dsScene({mesh}, {})));
    Scene3DS* scene = nullptr;
    captureStdout([&] {
        scene = simLoad3DS(path.c_str());
        ASSERT_EQ(fxSceneWorld(scene), 1);
    });
    simFree3DS(scene);
    std::remove(path.c_str());
    const SimObject& body = simWorld.objects[2];
    ASSERT_EQ(body.nSprings, 2);
    EXPECT_EQ(body.springs[0].a, 0);
    EXPECT_EQ(body.springs[0].b, 1);
    EXPECT_EQ(body.springs[1].a, 2);
    EXPECT_EQ(body.springs[1].b, 3);
}

// The reach is measured against the cube as posed; a point just past a face
// is out, one on the plane the contact leaves masses on is in.
TEST_F(WorldTest, CubeReachAndFinitenessCanFail) {
    ASSERT_GE(simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags), 0);
    const double inside[3] = {0.0, 15.99, 0.0};
    EXPECT_TRUE(std::isnan(fxCubeExcess(inside))) << "an unposed cube has no faces yet";
    simRotBCube(0.3, 0.0, 0.0);
    EXPECT_TRUE(fxWithinCubeReach(inside));
    // Along the +z face's normal, 16 out from the centre, then a little more.
    const SimObject& cube = simWorld.objects[simWorld.bcubeOid];
    const double* n = cube.polys[2].normal;
    const double onFace[3] = {16.0 * n[0], 16.0 * n[1], 16.0 * n[2]};
    EXPECT_NEAR(fxCubeExcess(onFace), 0.0, 1e-12);
    const double past[3] = {16.001 * n[0], 16.001 * n[1], 16.001 * n[2]};
    EXPECT_FALSE(fxWithinCubeReach(past));
    const double nan[3] = {std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0};
    EXPECT_FALSE(fxWithinCubeReach(nan));

    SimMass m{};
    EXPECT_TRUE(fxFiniteMass(m));
    m.vel[2] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(fxFiniteMass(m));
}
