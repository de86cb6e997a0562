#include <cmath>
#include <numbers>

#include "sim/bcube.h"
#include "sim/normals.h"
#include "world_fixture.h"

namespace {

constexpr int32_t kStartupCubeFlags = 0x6000408;

void expectPos(const SimMass& m, double x, double y, double z, double tol = 0.0) {
    EXPECT_NEAR(m.pos[0], x, tol);
    EXPECT_NEAR(m.pos[1], y, tol);
    EXPECT_NEAR(m.pos[2], z, tol);
}

} // namespace

class CubeTest : public WorldTest {
  protected:
    int cube = -1;
    void SetUp() override {
        WorldTest::SetUp();
        cube = simSetBCube(0.0f, 0.0f, 0.0f, 32.0f, kStartupCubeFlags);
        ASSERT_GE(cube, 0);
    }
    SimMass& m(int i) { return obj(cube).masses[i]; }
};

TEST_F(CubeTest, BuildsCornersRunsAndTrianglesOfTheStartupCube) {
    EXPECT_EQ(simWorld.bcubeOid, cube);
    EXPECT_STREQ(obj(cube).name, "BoundingCube");
    EXPECT_EQ(obj(cube).flags, 0x6003C09);
    EXPECT_EQ(obj(cube).nMasses, 8);
    EXPECT_EQ(obj(cube).nSprings, 0);
    EXPECT_EQ(obj(cube).nPolys, 12);
    expectPos(m(0), -16, -16, 16);
    expectPos(m(6), 16, 16, -16);
    EXPECT_EQ(simWorld.bcubeCorners[0][0], -16.0);
    EXPECT_EQ(simWorld.bcubeCorners[0][2], 16.0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(m(i).flags, 0x6003C09);
        EXPECT_EQ(m(i).forceMask, 0);
    }
    const int32_t conns[] = {0, 1, 3, 4, -1, 2, 1, 3, 6, -1, 5, 1, 4, 6, -1, 7, 4, 3, 6, -1, -2};
    ASSERT_EQ(obj(cube).connLen, 21);
    for (int i = 0; i < 21; ++i)
        EXPECT_EQ(obj(cube).conns[i], conns[i]) << i;
    for (int t = 0; t < 12; ++t)
        EXPECT_EQ(obj(cube).polys[t].material, 0);
    // Each corner is named by some triangles; every corner's polyCount matches.
    int total = 0;
    for (int i = 0; i < 8; ++i)
        total += m(i).polyCount;
    EXPECT_EQ(total, 36);
}

TEST_F(CubeTest, TrianglesFaceOutwardInFaceOrder) {
    simCalcPolyNormals(cube);
    // -y, +z, +x, +y, -x, -z, two triangles each.
    const double faces[6][3] = {{0, -1, 0}, {0, 0, 1},  {1, 0, 0},
                                {0, 1, 0},  {-1, 0, 0}, {0, 0, -1}};
    for (int t = 0; t < 12; ++t)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(obj(cube).polys[t].normal[j], faces[t / 2][j]) << t;
}

TEST_F(CubeTest, SecondBoundingCubeIsRefused) {
    int before = simWorld.nObjects;
    std::string out = captureStdout([] { EXPECT_EQ(simSetBCube(1, 1, 1, 2, 0), -1); });
    char expect[100];
    std::snprintf(expect, sizeof expect,
                  "  *** ERROR *** simSetBCube(): Bounding cube already set (oid=%d).\n", cube);
    EXPECT_EQ(out, expect);
    EXPECT_EQ(simWorld.nObjects, before);
    EXPECT_EQ(simWorld.bcubeOid, cube);
}

TEST_F(CubeTest, PosesAtKnownAngles) {
    simRotBCube(0, 0, 0);
    expectPos(m(0), -16, 16, -16);
    expectPos(m(6), 16, -16, 16);
    // The half turn about x keeps the outline but puts the face built at the
    // bottom on top, with its normals refreshed.
    EXPECT_EQ(obj(cube).polys[0].normal[1], 1.0);
    // Mass 0 is named by both triangles of that face and by two side triangles.
    EXPECT_EQ(obj(cube).masses[0].normal[1], 0.5);

    simRotBCube(std::numbers::pi, 0, 0);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(m(i).pos[j], simWorld.bcubeCorners[i][j], 1e-12) << i << "," << j;

    simRotBCube(0, std::numbers::pi / 2, 0);
    expectPos(m(0), -16, 16, 16, 1e-12);
}

TEST_F(CubeTest, RotatedFacesKeepOutwardUnitNormals) {
    simRotBCube(0.7, -1.9, 0.3);
    const SimObject& c = obj(cube);
    for (int t = 0; t < 12; t += 2) {
        const SimPoly& p = c.polys[t];
        double len = std::sqrt(p.normal[0] * p.normal[0] + p.normal[1] * p.normal[1] +
                               p.normal[2] * p.normal[2]);
        EXPECT_NEAR(len, 1.0, 1e-12);
        // Outward: the centre lies behind the face plane.
        const double* v = c.masses[p.v0].pos;
        double d = -(v[0] * p.normal[0] + v[1] * p.normal[1] + v[2] * p.normal[2]);
        EXPECT_NEAR(d, -16.0, 1e-9) << t;
    }
}

TEST_F(CubeTest, RotatingAnObjectAboutTheOrigin) {
    int oid = simAddObject("o", 0);
    SimMass* p = nullptr;
    simAddMass(oid, &p);
    p->pos[0] = 1;
    p->pos[1] = 2;
    p->pos[2] = 3;
    p->vel[0] = 5;
    simRotObj(oid, 0, 0, 0);
    expectPos(obj(oid).masses[0], 1, -2, -3);
    EXPECT_EQ(obj(oid).masses[0].vel[0], 5.0);

    // Start-up's turn: (x cos 1.3 - z sin 1.3, -y, -z cos 1.3 - x sin 1.3).
    simRotObj(oid, 0, 1.3, 0);
    const double c = std::cos(1.3), s = std::sin(1.3);
    expectPos(obj(oid).masses[0], 1 * c + 3 * s, 2, 3 * c - 1 * s, 1e-12);
}

TEST_F(WorldTest, CubeWithSpringsHasEdgesAndDiagonals) {
    int oid = simAddCubeObj(0, 0, 0, 32.0f, 2.0, 0.5, SIMF_MKSPRINGS, 1, 0);
    ASSERT_GE(oid, 0);
    EXPECT_EQ(obj(oid).nPolys, 0);
    EXPECT_EQ(obj(oid).connLen, 0);
    ASSERT_EQ(obj(oid).nSprings, 24);
    for (int i = 0; i < 24; ++i) {
        const SimSpring& s = obj(oid).springs[i];
        const double* a = obj(oid).masses[s.a].pos;
        const double* b = obj(oid).masses[s.b].pos;
        double len = std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                               (a[2] - b[2]) * (a[2] - b[2]));
        EXPECT_NEAR(s.rest, i < 12 ? 32.0 : 45.254834, 5e-7);
        EXPECT_DOUBLE_EQ(len, s.rest) << i;
        EXPECT_EQ(s.k, 2.0);
        EXPECT_EQ(s.damping, 0.5);
        EXPECT_EQ(s.kind, 1);
    }
}

TEST_F(WorldTest, PosingWithoutACubeDoesNothing) {
    std::string out = captureStdout([] { simRotBCube(1, 2, 3); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(simWorld.bcubeOid, -1);
}
