// The step's phases on hand-computed cases, the contacts and the resting
// test; the spring law and the whole step against the plain loop are in
// springs_test.cpp.
#include <algorithm>
#include <string>
#include <tuple>

#include "scenegen/bodies.h"
#include "sim/bcube.h"
#include "sim/normals.h"
#include "sim/step.h"
#include "world_fixture.h"

namespace {

constexpr double kGravityY = -0.0098;

using StepTest = WorldTest;

void stepObject(int oid) {
    simClearAcc(oid);
    simApplyFForces(oid);
    simApplySprings(oid);
    simUpdateVel(oid);
    simUpdatePos(oid);
}

// The index is had before the array is read: a new mass may move it.
SimMass& massOf(int oid, int i) {
    return simWorld.objects[oid].masses[i];
}

} // namespace

TEST_F(StepTest, UniformFieldsActOnTheMassesTheirMasksSelectButNotOnFixedOnes) {
    ASSERT_EQ(simAddFForce(0.0, kGravityY, 0.0), 1u);
    ASSERT_EQ(simAddFForce(0.5, 0.0, 0.0), 2u);
    const int oid = simAddObject("o", 0);
    const struct {
        int32_t mask, flags;
        double vx, vy; // after two steps
    } cases[] = {{-1, 0, 1.0, -0.0196},
                 {0, 0, 0.0, 0.0},
                 {2, 0, 1.0, 0.0},
                 {1, 0, 0.0, -0.0196},
                 {-1, SIMF_FIXED, 0.0, 0.0}};
    for (const auto& c : cases)
        massOf(oid, fxMassAt(oid, 1.0, 2.0, 3.0, c.flags)).forceMask = c.mask;
    stepObject(oid);
    stepObject(oid);
    for (int i = 0; i < 5; ++i) {
        // Each step moves a mass by its new velocity: half the last one, then all of it.
        const SimMass& m = obj(oid).masses[i];
        const double vx = cases[i].vx, vy = cases[i].vy;
        EXPECT_EQ(std::tie(m.vel[0], m.vel[1], m.vel[2], m.pos[0], m.pos[1], m.pos[2]),
                  std::tuple(vx, vy, 0.0, (1.0 + vx / 2) + vx, (2.0 + vy / 2) + vy, 3.0))
            << i;
    }
}

TEST_F(StepTest, HeldAccelerationIsCarriedOnceThenClearedAndBadObjectsAreLeftAlone) {
    const int empty = simAddObject("empty", 0);
    for (int bad : {-1, 7, SIM_MAX_OBJECTS, 1 << 30, empty, simWorld.forcesOid})
        stepObject(bad);
    EXPECT_EQ(simWorld.objects[empty].nMasses, 0);
    const int oid = simAddObject("o", 0);
    SimMass& m = massOf(oid, fxMassAt(oid, 0, 0, 0, SIMF_HOLDACC));
    m.acc[0] = 1.0;
    m.acc[2] = 3.0;
    simClearAcc(oid);
    EXPECT_EQ(std::tie(m.acc[0], m.acc[2]), std::tuple(1.0, 3.0));
    EXPECT_FALSE(m.flags & SIMF_HOLDACC);
    simUpdateVel(oid);
    EXPECT_EQ(m.vel[2], 3.0);
    simClearAcc(oid);
    EXPECT_EQ(std::tie(m.acc[0], m.acc[2]), std::tuple(0.0, 0.0));
}

TEST_F(StepTest, PointFieldPushesMassesStrictlyInsideItsRange) {
    SimMass* centre = nullptr;
    ASSERT_EQ(simAddMass(simWorld.forcesOid, &centre), 0);
    ASSERT_EQ(simAddFForce(9.0, 9.0, 9.0), 1u); // a point field does not use its vector
    const int oid = simAddObject("o", 0);
    for (double x : {1.0, 0.5, 0.0, -1.5})
        fxMassAt(oid, x, 0.0, 0.0);
    // x accelerations of the masses at 1, 0.5, 0 (the centre) and -1.5:
    // q = strength / (d^2 + 1) away from the centre, for d < range.
    const struct {
        int32_t target;
        double range, strength, acc[4];
    } cases[] = {{0, 1.0, 1.0, {0.0, 0.4, 0.0, 0.0}},
                 {0, 1.0, -2.0, {0.0, -0.8, 0.0, 0.0}},
                 {0, 2.0, 1.0, {0.5, 0.4, 0.0, -1.5 / 3.25}}, // 1.5 < 2 though 2.25 > 2
                 {1, 100.0, 1.0, {0.0, 0.0, 0.0, 0.0}},       // centres that are no mass of
                 {-2, 100.0, 1.0, {0.0, 0.0, 0.0, 0.0}},      // the Forces object
                 {1 << 30, 100.0, 1.0, {0.0, 0.0, 0.0, 0.0}}};
    for (const auto& c : cases) {
        simWorld.forces[0].target = c.target;
        simWorld.forces[0].strength = c.strength;
        centre->range = c.range;
        simClearAcc(oid);
        simApplyFForces(oid);
        for (int i = 0; i < 4; ++i) {
            EXPECT_DOUBLE_EQ(obj(oid).masses[i].acc[0], c.acc[i]) << c.target << " " << c.range;
            EXPECT_EQ(obj(oid).masses[i].acc[1], 0.0);
        }
    }
    // The Forces object itself can be stepped; its centre lies on itself.
    simWorld.forces[0].target = 0;
    stepObject(simWorld.forcesOid);
    EXPECT_EQ(centre->pos[0], 0.0);
}

TEST_F(StepTest, FloorMirrorsBelowZeroOnlyAndNoCubeMeansNoContact) {
    const int oid = simAddObject("o", 0);
    const struct {
        double vel;
        int32_t flags;
        double pos, after;
    } cases[] = {{-1.0, SIMF_FLOOR, 0.5, 1.0},                // below the plane: mirrored
                 {-0.5, SIMF_FLOOR, 0.0, -0.5},               // exactly on it: left alone
                 {-1.0, 0, -0.5, -1.0},                       // no floor
                 {-1.0, SIMF_BCUBE | SIMF_REST, -0.5, -1.0}}; // no cube: no contact
    for (const auto& c : cases) {
        SimMass& m = massOf(oid, fxMassAt(oid, 0.0, 0.5, 0.0, c.flags));
        m.vel[0] = 0.25;
        m.vel[1] = c.vel;
    }
    EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), "");
    for (int i = 0; i < 4; ++i) {
        const SimMass& m = obj(oid).masses[i];
        EXPECT_EQ(std::tie(m.pos[1], m.vel[1], m.pos[0]),
                  std::tuple(cases[i].pos, cases[i].after, 0.25))
            << i;
    }
}

TEST_F(StepTest, CubeFacesPutMassesBackInsideAndRestingMassesAreReleasedOnce) {
    // The bounding cube of start-up, as built: its -y face lies in y = -16,
    // +x in x = 16; contacts leave a mass 0.01 inside.
    const int cube = simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
    ASSERT_GE(cube, 0);
    simCalcPolyNormals(cube);
    const struct {
        const char* what;
        double pos[3], vel[3]; // before the step's move
        int32_t flags;
        double wantPos[3], wantVel[3];
        const char* printed;
    } cases[] = {
        // Velocity after a contact: the reflection of the face-wise acceleration.
        {"below the -y plane", {3, -15.995, -2}, {0, 0, 0}, SIMF_BCUBE, {3, -15.99, -2},
         {0, 0.00009604, 0}, ""},
        {"moving through it", {3, -15.99, -2}, {0, -0.005, 0}, SIMF_BCUBE, {3, -15.99, -2},
         {0, 0.00009604, 0}, ""},
        {"0.02 inside it", {3, -15.98, -2}, {0, 0, 0}, SIMF_BCUBE, {3, -15.98, -2}, {0, 0, 0}, ""},
        // The +x face comes after -y; its acceleration along x is 0.
        {"through an edge", {15.295, -15.295, 0}, {0.7, -0.7, 0}, SIMF_BCUBE, {15.99, -15.99, 0},
         {0, 0, 0}, ""},
        {"not colliding", {0, -15.995, 0}, {0, -1, 0}, 0, {0, -16.995, 0}, {0, -1, 0}, ""},
        {"resting, at rest", {1, 2, 3}, {0, 0, 0}, SIMF_BCUBE | SIMF_REST, {1, 2, 3}, {0, 0, 0},
         "dotp=0.000000\n"},
        // -y face: dotp = -0.01, stopped; +z face: dotp of the old velocity 0, released.
        {"resting, moving away", {0, 0, 0}, {0, 0.01, 0}, SIMF_BCUBE | SIMF_REST, {0, 0.01, 0},
         {0, 0, 0}, "dotp=0.000000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int oid = simAddObject("o", 0);
        SimMass& m = massOf(oid, fxMassAt(oid, c.pos[0], c.pos[1], c.pos[2], c.flags));
        std::copy(c.vel, c.vel + 3, m.vel);
        m.acc[1] = kGravityY;
        EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), c.printed);
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(m.pos[j], c.wantPos[j], 1e-12) << j;
            EXPECT_NEAR(m.vel[j], c.wantVel[j], 1e-12) << j;
        }
        EXPECT_FALSE(m.flags & SIMF_REST);
        // Released once: nothing more is printed.
        if (c.flags & SIMF_REST) {
            EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), "");
        }
    }
}
