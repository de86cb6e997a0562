// The pipeline fuzzer's entry: its seeds (the 3DS reader's among them, loaded
// or refused as each says) and every reproducer kept beside the fuzzers keep
// the body promises; the promises it checks can fail.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>

#include "sim/bcube.h"
#include "tests/support/seedsscene.h"
#include "tools/common/bodies.h"
#include "tools/common/body_promises.h"
#include "world_fixture.h"

namespace {

FxSceneOutcome replay(const FxBytes& bytes) {
    FxSceneOutcome o;
    captureStdout([&] { o = fxSceneBytes(bytes.data(), bytes.size()); });
    return o;
}

} // namespace

TEST(SceneFuzzEntry, SeedsAndReproducersAreSteppedAndKeepThePromises) {
    std::map<std::string, FxSceneOutcome> got;
    for (const FxSeed& seed : fxSeedsScene()) {
        got[seed.name] = replay(seed.bytes);
        EXPECT_EQ(got[seed.name].fault, "") << seed.name;
        EXPECT_EQ(got[seed.name].loaded, seed.loads) << seed.name;
    }
    // name: scene objects converted, springs made (-1: some), stepped. A mesh
    // with a face naming a missing vertex is not converted, but its masses
    // stay and fall; masses beyond 2^40 join no springs (a body far out
    // would be torn apart by the roundings of its first contact), nor do
    // those of a faceless object, all at the origin; the default scene is
    // over the spring cap: built and checked only.
    const struct {
        const char* name;
        int bodies;
        int64_t springs;
        bool stepped;
    } cases[] = {{"small_moon", 1, 846, true},       {"nan_vertices", 1, -1, true},
                 {"infinite_vertices", 1, -1, true}, {"coincident_vertices", 1, -1, true},
                 {"enormous_vertices", 1, -1, true}, {"denormal_body", 1, -1, true},
                 {"far_outside", 1, 846, true},      {"unnamed_vertices", 1, -1, true},
                 {"enormous_body", 1, 0, true},      {"two_moons", 2, 2 * 846, true},
                 {"missing_vertices", 0, 0, true},   {"faceless_object", 2, 0, true},
                 {"far_masses", 1, 2, true},         {"default_scene", 1, -1, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FxSceneOutcome& o = got[c.name];
        EXPECT_EQ(o.bodies, c.bodies);
        if (c.springs >= 0) {
            EXPECT_EQ(o.springs, c.springs);
        } else {
            EXPECT_GT(o.springs, 0);
        }
        EXPECT_EQ(o.stepped, c.stepped);
    }
    EXPECT_GT(got["default_scene"].springs, FX_SCENE_SPRING_CAP);
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const FxBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(replay(bytes).fault, "") << entry.path();
    }
}

// The reach is measured against the cube as posed: a point just past a face
// is out, one on the plane the contact leaves masses on is in.
TEST_F(WorldTest, CubeReachAndFinitenessCanFail) {
    const double inside[3] = {0.0, 15.99, 0.0};
    EXPECT_EQ(fxCubeExcess(inside), -HUGE_VAL); // no cube: every point is inside
    ASSERT_GE(simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags), 0);
    EXPECT_TRUE(std::isnan(fxCubeExcess(inside))); // not posed yet: no faces
    simRotBCube(0.3, 0.0, 0.0);
    EXPECT_TRUE(fxWithinCubeReach(inside));
    const double* n = simWorld.objects[simWorld.bcubeOid].polys[2].normal;
    const double onFace[3] = {16.0 * n[0], 16.0 * n[1], 16.0 * n[2]};
    EXPECT_NEAR(fxCubeExcess(onFace), 0.0, 1e-12);
    const double past[3] = {16.001 * n[0], 16.001 * n[1], 16.001 * n[2]};
    const double nan[3] = {std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0};
    EXPECT_FALSE(fxWithinCubeReach(past) || fxWithinCubeReach(nan));
    SimMass m{};
    EXPECT_TRUE(fxFiniteMass(m));
    m.vel[2] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(fxFiniteMass(m));
}
