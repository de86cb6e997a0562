// The physics step: hand-computed single steps of each phase, the contacts,
// the resting test, degenerate input, a soft body that stays in its turning
// cube and determinism. The spring phase against the plain loop, on every
// path, is in springs_test.cpp.
#include <cmath>
#include <string>
#include <vector>

#include "app/frame.h"
#include "body_checks.h"
#include "sim/bcube.h"
#include "sim/normals.h"
#include "sim/step.h"
#include "tools/common/bodies.h"
#include "world_fixture.h"

namespace {

constexpr double kGravityY = -0.0098;

class StepTest : public WorldTest {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
    }
    void TearDown() override {
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        WorldTest::TearDown();
    }

    // A new object holding one mass at pos with the given flags.
    static int oneMass(double x, double y, double z, int32_t flags, SimMass** out) {
        const int oid = simAddObject("m", flags);
        EXPECT_EQ(simAddMass(oid, out), 0);
        (*out)->pos[0] = x;
        (*out)->pos[1] = y;
        (*out)->pos[2] = z;
        (*out)->flags = flags | SIMF_ACTIVE;
        return oid;
    }

    // The bounding cube of start-up, as built: its -y face lies in y = -16.
    static int unrotatedCube() {
        const int cube = simSetBCube(0.0f, 0.0f, 0.0f, kFixtureCubeEdge, kFixtureCubeFlags);
        EXPECT_GE(cube, 0);
        simCalcPolyNormals(cube);
        return cube;
    }
};

// The five phases of one object, in their order.
void stepObject(int oid) {
    simClearAcc(oid);
    simApplyFForces(oid);
    simApplySprings(oid);
    simUpdateVel(oid);
    simUpdatePos(oid);
}

SimMass& massOf(int oid, int i) {
    return simWorld.objects[oid].masses[i];
}

// Two masses on the x axis, the first at x, joined by a spring of rest
// length 1 and stiffness 1.
int springPair(double x, double damping) {
    const int oid = simAddObject("pair", 0);
    simAddMass(oid, nullptr);
    simAddMass(oid, nullptr);
    massOf(oid, 0).pos[0] = x;
    EXPECT_EQ(simAddSpring(oid, 0, 1, 1.0, 1.0, damping, 1), 0);
    return oid;
}

} // namespace

// ---------------------------------------------------------------------------
// Field forces, holding, velocities
// ---------------------------------------------------------------------------
TEST_F(StepTest, FreeFallAfterOneAndTwoSteps) {
    simAddFForce(0.0, kGravityY, 0.0);
    SimMass* m = nullptr;
    const int oid = oneMass(1.0, 2.0, 3.0, 0, &m);
    stepObject(oid);
    const SimMass& a = massOf(oid, 0);
    EXPECT_EQ(a.vel[0], 0.0);
    EXPECT_EQ(a.vel[1], -0.0098);
    EXPECT_EQ(a.vel[2], 0.0);
    EXPECT_EQ(a.pos[1], 2.0 + -0.0098);
    stepObject(oid);
    EXPECT_EQ(a.vel[1], -0.0196);
    EXPECT_EQ(a.pos[1], (2.0 + -0.0098) + -0.0196);
    EXPECT_EQ(a.pos[0], 1.0);
    EXPECT_EQ(a.pos[2], 3.0);
}

TEST_F(StepTest, HoldAccCarriesOnceThenClears) {
    SimMass* m = nullptr;
    const int oid = oneMass(0, 0, 0, SIMF_HOLDACC, &m);
    m->acc[0] = 1.0;
    m->acc[1] = 2.0;
    m->acc[2] = 3.0;
    simClearAcc(oid);
    EXPECT_EQ(m->acc[0], 1.0);
    EXPECT_EQ(m->acc[1], 2.0);
    EXPECT_EQ(m->acc[2], 3.0);
    EXPECT_FALSE(m->flags & SIMF_HOLDACC);
    simUpdateVel(oid);
    EXPECT_EQ(m->vel[2], 3.0);
    simClearAcc(oid);
    EXPECT_EQ(m->acc[0], 0.0);
    EXPECT_EQ(m->acc[1], 0.0);
    EXPECT_EQ(m->acc[2], 0.0);
}

TEST_F(StepTest, ForceMasksAndFixedMassesSelectFields) {
    ASSERT_EQ(simAddFForce(0.0, kGravityY, 0.0), 1u);
    ASSERT_EQ(simAddFForce(0.5, 0.0, 0.0), 2u);
    const int oid = simAddObject("o", 0);
    const int32_t masks[4] = {-1, 0, 2, 1};
    for (int32_t mask : masks) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->forceMask = mask;
    }
    SimMass* fixed = nullptr;
    simAddMass(oid, &fixed);
    fixed->flags |= SIMF_FIXED;
    for (int i = 0; i < 2; ++i)
        stepObject(oid);
    EXPECT_EQ(massOf(oid, 0).vel[0], 1.0); // both fields
    EXPECT_EQ(massOf(oid, 0).vel[1], -0.0196);
    EXPECT_EQ(massOf(oid, 1).vel[0], 0.0); // none
    EXPECT_EQ(massOf(oid, 1).vel[1], 0.0);
    EXPECT_EQ(massOf(oid, 2).vel[0], 1.0); // second only
    EXPECT_EQ(massOf(oid, 2).vel[1], 0.0);
    EXPECT_EQ(massOf(oid, 3).vel[0], 0.0); // gravity only
    EXPECT_EQ(massOf(oid, 3).vel[1], -0.0196);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(massOf(oid, 4).vel[j], 0.0);
        EXPECT_EQ(massOf(oid, 4).pos[j], 0.0);
    }
}

TEST_F(StepTest, PointFieldActsStrictlyInsideItsRange) {
    SimMass* centre = nullptr;
    ASSERT_EQ(simAddMass(simWorld.forcesOid, &centre), 0);
    centre->range = 1.0;
    const uint32_t fid = simAddFForce(9.0, 9.0, 9.0); // vec is not used by a point field
    simWorld.forces[0].target = 0;
    ASSERT_EQ(fid, 1u);
    const int oid = simAddObject("o", 0);
    const double xs[4] = {1.0, 0.5, 0.0, -1.5};
    for (double x : xs) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->pos[0] = x;
    }
    simClearAcc(oid);
    simApplyFForces(oid);
    EXPECT_EQ(massOf(oid, 0).acc[0], 0.0); // exactly at the range
    // d = -0.5, s = 0.25, q = 1 / 1.25: pushed away from the centre.
    EXPECT_DOUBLE_EQ(massOf(oid, 1).acc[0], 0.4);
    EXPECT_EQ(massOf(oid, 1).acc[1], 0.0);
    EXPECT_EQ(massOf(oid, 2).acc[0], 0.0); // on the centre
    EXPECT_EQ(massOf(oid, 3).acc[0], 0.0); // beyond

    // A negative strength draws masses in.
    simWorld.forces[0].strength = -2.0;
    simClearAcc(oid);
    simApplyFForces(oid);
    EXPECT_DOUBLE_EQ(massOf(oid, 1).acc[0], -0.8);

    // Past 1 the distance and its square part: at 1.5 from a centre of range
    // 2 the field acts, though 2.25 is beyond the range.
    simWorld.forces[0].strength = 1.0;
    simWorld.objects[simWorld.forcesOid].masses[0].range = 2.0;
    simClearAcc(oid);
    simApplyFForces(oid);
    EXPECT_DOUBLE_EQ(massOf(oid, 3).acc[0], -1.5 / 3.25);
    EXPECT_DOUBLE_EQ(massOf(oid, 0).acc[0], 0.5);
}

TEST_F(StepTest, PointFieldWithoutValidCentreDoesNothing) {
    SimMass* centre = nullptr;
    simAddMass(simWorld.forcesOid, &centre);
    centre->range = 100.0;
    simAddFForce(0.0, 0.0, 0.0);
    const int oid = simAddObject("o", 0);
    SimMass* m = nullptr;
    simAddMass(oid, &m);
    m->pos[0] = 0.5;
    for (int32_t target : {1, 127, -2, 1 << 30}) {
        simWorld.forces[0].target = target;
        simClearAcc(oid);
        simApplyFForces(oid);
        EXPECT_EQ(m->acc[0], 0.0) << target;
    }
    // The Forces object itself can be stepped; its centre lies on itself.
    simWorld.forces[0].target = 0;
    stepObject(simWorld.forcesOid);
    EXPECT_EQ(centre->pos[0], 0.0);
}

// ---------------------------------------------------------------------------
// Springs
// ---------------------------------------------------------------------------
TEST_F(StepTest, StretchedSpringPullsItsEndsTogether) {
    const int oid = springPair(2.0, 0.0);
    simClearAcc(oid);
    simApplySprings(oid);
    // N = -1, f = -0.0005.
    EXPECT_EQ(massOf(oid, 0).acc[0], -0.001);
    EXPECT_EQ(massOf(oid, 1).acc[0], 0.001);
    EXPECT_EQ(massOf(oid, 0).acc[1], 0.0);
    EXPECT_EQ(massOf(oid, 1).acc[2], 0.0);

    // With the second end fixed only the first moves.
    massOf(oid, 1).flags |= SIMF_FIXED;
    simClearAcc(oid);
    simApplySprings(oid);
    EXPECT_EQ(massOf(oid, 0).acc[0], -0.001);
    EXPECT_EQ(massOf(oid, 1).acc[0], 0.0);

    // A heavier free end gets a smaller increment.
    massOf(oid, 0).mass = 4.0;
    simClearAcc(oid);
    simApplySprings(oid);
    EXPECT_EQ(massOf(oid, 0).acc[0], -0.00025);
}

TEST_F(StepTest, DampingOpposesOnlyTheSpeedAlongTheSpring) {
    const int oid = springPair(1.0, 2.0);
    // At its rest length, ends moving apart at 0.5 along the spring and
    // sideways at 3: N = -0.5 * 2, f = -0.001, drawn together.
    massOf(oid, 0).vel[0] = 0.5;
    massOf(oid, 0).vel[1] = 3.0;
    simClearAcc(oid);
    simApplySprings(oid);
    EXPECT_EQ(massOf(oid, 0).acc[0], -0.001);
    EXPECT_EQ(massOf(oid, 1).acc[0], 0.001);
    EXPECT_EQ(massOf(oid, 0).acc[1], 0.0);
}

TEST_F(StepTest, ZeroLengthAndInvalidSpringsAreSkipped) {
    const int oid = simAddObject("o", 0);
    for (int i = 0; i < 4; ++i)
        simAddMass(oid, nullptr);
    massOf(oid, 2).pos[0] = 2.0;
    massOf(oid, 0).vel[0] = 1.0; // coincident ends, moving apart
    ASSERT_EQ(simAddSpring(oid, 0, 1, 1.0, 5.0, 1.0, 1), 0);
    ASSERT_EQ(simAddSpring(oid, 1, 3, 1.0, 5.0, 1.0, 1), 1);
    ASSERT_EQ(simAddSpring(oid, 2, 3, 1.0, 1.0, 0.0, 1), 2);
    // Ends corrupted after the spring was made.
    simWorld.objects[oid].springs[1].b = 4;
    simWorld.objects[oid].springs[1].a = -7;
    for (int i = 0; i < 20; ++i)
        simAddSpring(oid, 3, 3, 1.0, 5.0, 1.0, 1); // fills a batch
    simClearAcc(oid);
    simApplySprings(oid);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(massOf(oid, 0).acc[j], 0.0);
        EXPECT_EQ(massOf(oid, 1).acc[j], 0.0);
    }
    // The valid spring after them still acts.
    EXPECT_EQ(massOf(oid, 2).acc[0], -0.001);
    EXPECT_EQ(massOf(oid, 3).acc[0], 0.001);
    for (int i = 0; i < 10; ++i)
        stepObject(oid);
    for (int m = 0; m < 4; ++m)
        for (int j = 0; j < 3; ++j) {
            EXPECT_TRUE(std::isfinite(massOf(oid, m).pos[j]));
            EXPECT_TRUE(std::isfinite(massOf(oid, m).vel[j]));
        }
}

TEST_F(StepTest, InvalidOidsAndEmptyObjectsDoNothing) {
    const int empty = simAddObject("empty", 0);
    for (int oid : {-1, 7, SIM_MAX_OBJECTS, 1 << 30, empty, simWorld.forcesOid})
        stepObject(oid);
    EXPECT_EQ(simWorld.objects[empty].nMasses, 0);
}

// ---------------------------------------------------------------------------
// Floor and bounding cube
// ---------------------------------------------------------------------------
TEST_F(StepTest, FloorMirrorsBelowZeroOnly) {
    const int oid = simAddObject("o", 0);
    const double starts[3] = {0.5, 0.5, 0.5};
    const double vels[3] = {-1.0, -0.5, -1.0};
    const int32_t flags[3] = {SIMF_FLOOR, SIMF_FLOOR, 0};
    for (int i = 0; i < 3; ++i) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->pos[1] = starts[i];
        m->vel[1] = vels[i];
        m->vel[0] = 0.25;
        m->flags = flags[i];
    }
    simUpdatePos(oid);
    EXPECT_EQ(massOf(oid, 0).pos[1], 0.5);
    EXPECT_EQ(massOf(oid, 0).vel[1], 1.0);
    EXPECT_EQ(massOf(oid, 0).pos[0], 0.25);
    EXPECT_EQ(massOf(oid, 0).vel[0], 0.25);
    EXPECT_EQ(massOf(oid, 1).pos[1], 0.0); // landed exactly on the plane
    EXPECT_EQ(massOf(oid, 1).vel[1], -0.5);
    EXPECT_EQ(massOf(oid, 2).pos[1], -0.5); // no floor
    EXPECT_EQ(massOf(oid, 2).vel[1], -1.0);
}

TEST_F(StepTest, BottomFaceContactPutsMassBackInside) {
    unrotatedCube();
    const int oid = simAddObject("o", SIMF_BCUBE);
    const double startY[3] = {-15.995, -15.99, -15.98};
    const double velY[3] = {0.0, -0.005, 0.0};
    for (int i = 0; i < 3; ++i) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->flags = SIMF_BCUBE;
        m->pos[0] = 3.0;
        m->pos[1] = startY[i];
        m->pos[2] = -2.0;
        m->vel[1] = velY[i];
        m->acc[1] = kGravityY;
    }
    simUpdatePos(oid);
    for (int i = 0; i < 2; ++i) {
        const SimMass& m = massOf(oid, i);
        EXPECT_NEAR(m.pos[1], -15.99, 1e-12) << i;
        EXPECT_EQ(m.pos[0], 3.0);
        EXPECT_EQ(m.pos[2], -2.0);
        EXPECT_EQ(m.vel[0], 0.0);
        EXPECT_DOUBLE_EQ(m.vel[1], 0.00009604) << i;
        EXPECT_EQ(m.vel[2], 0.0);
    }
    // 0.02 inside the face: untouched.
    EXPECT_EQ(massOf(oid, 2).pos[1], -15.98);
    EXPECT_EQ(massOf(oid, 2).vel[1], 0.0);
}

TEST_F(StepTest, EdgeContactPushesBackFromBothFaces) {
    unrotatedCube();
    SimMass* m = nullptr;
    const int oid = oneMass(15.995, -15.995, 0.0, SIMF_BCUBE, &m);
    m->acc[1] = kGravityY;
    m->vel[0] = 0.7;
    m->vel[1] = -0.7;
    m->pos[0] -= 0.7;
    m->pos[1] += 0.7;
    simUpdatePos(oid);
    EXPECT_NEAR(m->pos[0], 15.99, 1e-12);
    EXPECT_NEAR(m->pos[1], -15.99, 1e-12);
    EXPECT_EQ(m->pos[2], 0.0);
    // The +x face comes after -y: its acceleration along x is 0, so it
    // leaves no velocity.
    EXPECT_EQ(m->vel[0], 0.0);
    EXPECT_EQ(m->vel[1], 0.0);
    EXPECT_EQ(m->vel[2], 0.0);
}

TEST_F(StepTest, NoCubeNoContact) {
    SimMass* m = nullptr;
    const int oid = oneMass(0.0, -40.0, 0.0, SIMF_BCUBE | SIMF_REST, &m);
    m->vel[1] = -1.0;
    const std::string out = captureStdout([oid] { simUpdatePos(oid); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(m->pos[1], -41.0);
    EXPECT_EQ(m->vel[1], -1.0);

    // Nor with a cube, for a mass that does not ask for it.
    unrotatedCube();
    m->flags = 0;
    simUpdatePos(oid);
    EXPECT_EQ(m->pos[1], -42.0);
}

TEST_F(StepTest, RestingMassAtRestIsReleasedWithOneLine) {
    unrotatedCube();
    SimMass* m = nullptr;
    const int oid = oneMass(1.0, 2.0, 3.0, SIMF_BCUBE | SIMF_REST, &m);
    EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), "dotp=0.000000\n");
    EXPECT_FALSE(m->flags & SIMF_REST);
    EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), "");
}

TEST_F(StepTest, RestingMassMovingAwayIsStoppedThenReleased) {
    unrotatedCube();
    SimMass* m = nullptr;
    const int oid = oneMass(0.0, 0.0, 0.0, SIMF_BCUBE | SIMF_REST, &m);
    m->vel[1] = 0.01;
    // -y face: dotp = -0.01, stopped; +z face: w still holds the old
    // velocity, dotp = 0, released.
    EXPECT_EQ(captureStdout([oid] { simUpdatePos(oid); }), "dotp=0.000000\n");
    EXPECT_EQ(m->pos[1], 0.01);
    EXPECT_EQ(m->vel[1], 0.0);
    EXPECT_FALSE(m->flags & SIMF_REST);
}

// ---------------------------------------------------------------------------
// The whole step
// ---------------------------------------------------------------------------
TEST_F(StepTest, WorldStepTurnsTheCubeOncePerObject) {
    simAddFForce(0.0, kGravityY, 0.0);
    unrotatedCube();
    SimMass* m = nullptr;
    const int oid = oneMass(0.0, 0.0, 0.0, SIMF_BCUBE, &m);
    m->forceMask = 1;
    ASSERT_EQ(simWorld.nObjects, 3);
    mouseDx = 100;
    appStepWorld();
    EXPECT_NEAR(cubeAngleY, 0.03, 1e-8);
    EXPECT_EQ(cubeAngleX, 0.0);
    EXPECT_EQ(massOf(oid, 0).vel[1], kGravityY);
    EXPECT_GE(phaseForces, 0);
    EXPECT_GE(phaseSprings, 0);
    EXPECT_GE(phaseMotion, 0);
    // The cube's own masses are fixed and outside every field.
    const double* corner = massOf(simWorld.bcubeOid, 0).vel;
    EXPECT_EQ(corner[0], 0.0);
    EXPECT_EQ(corner[1], 0.0);
}

namespace {

constexpr int kStabilitySteps = fxSteps(5000, 400);

} // namespace

TEST_F(StepTest, SoftBodyStaysFiniteAndInsideTheCube) {
    for (const int drag : {0, 1}) {
        SCOPED_TRACE(drag ? "turning cube" : "resting");
        SetUp();
        simAddFForce(0.0, kGravityY, 0.0);
        const int oid = fixtureStartupScene(fixtureSphereMesh(18, 24, 3.2f));
        ASSERT_GE(oid, 0);
        mouseDx = drag ? 40 : 0;
        mouseDy = drag ? -25 : 0;
        double worst = -1e300;
        for (int step = 0; step < kStabilitySteps; ++step) {
            appStepWorld();
            worst = std::max(worst, worstEscape(simWorld.objects[oid]));
            if (step % 100 == 0) {
                ASSERT_TRUE(allFinite(simWorld.objects[oid])) << "step " << step;
            }
        }
        ASSERT_TRUE(allFinite(simWorld.objects[oid]));
        // Contacts leave masses 0.01 inside the faces.
        EXPECT_LT(worst, 0.0);
        // Resting, the body ends on the floor, not spread out (once it has
        // had the time to settle).
        if (!drag && !kSanitizedBuild) {
            double lowest = 1e300, highest = -1e300;
            for (int32_t i = 0; i < simWorld.objects[oid].nMasses; ++i) {
                lowest = std::min(lowest, massOf(oid, i).pos[1]);
                highest = std::max(highest, massOf(oid, i).pos[1]);
            }
            EXPECT_NEAR(lowest, -15.99, 0.05);
            EXPECT_GT(highest - lowest, 10.0);
        }
        TearDown();
    }
}

TEST_F(StepTest, SameWorldSteppedTwiceGivesTheSameDigest) {
    uint64_t digests[2];
    for (uint64_t& digest : digests) {
        SetUp();
        simAddFForce(0.0, kGravityY, 0.0);
        ASSERT_GE(fixtureStartupScene(fixtureSphereMesh(10, 16, 3.2f)), 0);
        mouseDx = 30;
        mouseDy = 12;
        for (int step = 0; step < 300; ++step)
            appStepWorld();
        digest = fixtureWorldDigest();
        TearDown();
    }
    EXPECT_EQ(digests[0], digests[1]);
}

// ---------------------------------------------------------------------------
// Body fixtures used above and by the benchmarks
// ---------------------------------------------------------------------------
TEST_F(StepTest, BandSpringsMatchThePlainPairSearch) {
    const FixtureMesh mesh = fixtureSphereMesh(8, 12, 3.2f);
    const int oid = fixtureSoftBody("Sphere", mesh, kFixtureScale, kFixtureBandMax, kFixtureK,
                                    kFixtureDamping, kFixtureFlags, kFixtureForceMask);
    ASSERT_GE(oid, 0);
    const SimObject& obj = simWorld.objects[oid];
    std::vector<std::pair<int32_t, int32_t>> expected;
    for (int32_t i = 0; i < obj.nMasses; ++i)
        for (int32_t j = i + 1; j < obj.nMasses; ++j) {
            double s = 0.0;
            for (int c = 0; c < 3; ++c) {
                const double d = obj.masses[i].pos[c] - obj.masses[j].pos[c];
                s += d * d;
            }
            const double d = std::sqrt(s);
            if (0.0 < d && d < kFixtureBandMax) expected.emplace_back(i, j);
        }
    ASSERT_EQ(static_cast<size_t>(obj.nSprings), expected.size());
    for (int32_t s = 0; s < obj.nSprings; ++s) {
        EXPECT_EQ(obj.springs[s].a, expected[s].first);
        EXPECT_EQ(obj.springs[s].b, expected[s].second);
    }
    // Faces wind counter-clockwise seen from outside: normals point out.
    simCalcPolyNormals(oid);
    for (int32_t p = 0; p < obj.nPolys; ++p) {
        const SimPoly& tri = obj.polys[p];
        double outward = 0.0;
        for (int c = 0; c < 3; ++c)
            outward += tri.normal[c] * (obj.masses[tri.v0].pos[c] + obj.masses[tri.v1].pos[c] +
                                        obj.masses[tri.v2].pos[c]);
        EXPECT_GT(outward, 0.0) << "triangle " << p;
    }
}
