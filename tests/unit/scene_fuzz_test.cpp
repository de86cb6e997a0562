// The pipeline fuzzer's entry: its seeds (the 3DS reader's among them, loaded
// or refused as each says) and every reproducer kept beside the fuzzers keep
// the body promises; the promises it checks can fail.
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>

#include "scenegen/bodies.h"
#include "scenegen/body_promises.h"
#include "sim/bcube.h"
#include "tests/support/run_command.h"
#include "tests/support/seedsscene.h"
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
        EXPECT_TRUE(c.springs < 0 ? o.springs > 0 : o.springs == c.springs) << o.springs;
        EXPECT_EQ(o.stepped, c.stepped);
    }
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        const std::string text = fxReadFile(entry.path());
        EXPECT_EQ(replay(FxBytes(text.begin(), text.end())).fault, "") << entry.path();
    }
}

// The reach is measured against the cube as posed: a point just past a face
// is out, one on the plane the contact leaves masses on is in. A mass is
// held to what it was when the run began.
TEST_F(WorldTest, CubeReachAndFinitenessCanFail) {
    SimMass m{};
    m.flags = SIMF_BCUBE;
    uint8_t record = fxMassRecord(m);
    double excess = 0.0;
    const auto lookAt = [&](double scale, const double* dir) {
        for (int c = 0; c < 3; ++c)
            m.pos[c] = scale * dir[c];
        return fxLookAtMass(record, m, excess);
    };
    const double up[3] = {0.0, 1.0, 0.0};
    EXPECT_EQ(lookAt(15.99, up), FX_MASS_WITHIN);
    EXPECT_EQ(excess, -HUGE_VAL); // no cube: every point is inside
    ASSERT_GE(simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags), 0);
    EXPECT_EQ(lookAt(15.99, up), FX_MASS_BEYOND);
    EXPECT_TRUE(std::isnan(excess)); // not posed yet: no faces
    simRotBCube(0.3, 0.0, 0.0);
    EXPECT_EQ(lookAt(15.99, up), FX_MASS_WITHIN);
    const double* n = simWorld.objects[simWorld.bcubeOid].polys[2].normal;
    EXPECT_EQ(lookAt(16.0, n), FX_MASS_WITHIN);
    EXPECT_NEAR(excess, 0.0, 1e-12);
    EXPECT_EQ(lookAt(16.001, n), FX_MASS_BEYOND);
    m.flags = 0; // not colliding: no reach to keep
    EXPECT_EQ(lookAt(16.001, n), 0);
    m.vel[2] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(lookAt(0.0, n), FX_MASS_NON_FINITE);
    EXPECT_EQ(record,
              FX_MASS_STARTED_FINITE | FX_MASS_NON_FINITE | FX_MASS_BEYOND | FX_MASS_WITHIN);
    record = fxMassRecord(m); // a mass not finite at the start is held to nothing
    EXPECT_EQ(lookAt(0.0, n), 0);
}
