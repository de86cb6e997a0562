// The bounding cube: built in face order, posed from rest; the rigid turn of
// an object; face normals by the winding, vertex normals the plain mean of
// their triangles', zero for degenerate input.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <tuple>

#include "sim/bcube.h"
#include "sim/normals.h"
#include "world_fixture.h"

namespace {

void expectPos(const SimMass& m, double x, double y, double z, double tol = 0.0) {
    EXPECT_NEAR(m.pos[0], x, tol);
    EXPECT_NEAR(m.pos[1], y, tol);
    EXPECT_NEAR(m.pos[2], z, tol);
}

} // namespace

// The rigid turn of an object; start-up's cube: its corners, runs and outward
// triangles in face order, then its poses from rest, with outward unit normals.
TEST_F(WorldTest, ObjectsTurnAndStartupCubeIsBuiltInFaceOrderAndPosedFromRest) {
    const int oid = simAddObject("o", 0);
    const int one = fxMassAt(oid, 1, 2, 3);
    obj(oid).masses[one].vel[0] = 5;
    simRotObj(oid, 0, 0, 0); // half a turn about x
    expectPos(obj(oid).masses[0], 1, -2, -3);
    EXPECT_EQ(obj(oid).masses[0].vel[0], 5.0);
    // Start-up's turn: (x cos 1.3 - z sin 1.3, -y, -z cos 1.3 - x sin 1.3).
    simRotObj(oid, 0, 1.3, 0);
    const double c = std::cos(1.3), s = std::sin(1.3);
    expectPos(obj(oid).masses[0], 1 * c + 3 * s, 2, 3 * c - 1 * s, 1e-12);
    EXPECT_EQ(captureStdout([] { simRotBCube(1, 2, 3); }), ""); // no cube: nothing to pose
    const int cube = simSetBCube(0.0f, 0.0f, 0.0f, 32.0f, 0x6000408);
    ASSERT_GE(cube, 0);
    const auto m = [cube](int i) -> SimMass& { return obj(cube).masses[i]; };
    EXPECT_STREQ(obj(cube).name, "BoundingCube");
    ASSERT_EQ(std::tie(simWorld.bcubeOid, obj(cube).flags, obj(cube).nMasses, obj(cube).nSprings,
                       obj(cube).nPolys),
              std::tuple(cube, 0x6003C09, 8, 0, 12));
    expectPos(m(0), -16, -16, 16);
    expectPos(m(6), 16, 16, -16);
    int corners = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(std::tie(m(i).flags, m(i).forceMask), std::tuple(0x6003C09, 0)) << i;
        corners += m(i).polyCount;
    }
    EXPECT_EQ(corners, 36);
    const int32_t conns[] = {0, 1, 3, 4, -1, 2, 1, 3, 6, -1, 5, 1, 4, 6, -1, 7, 4, 3, 6, -1, -2};
    ASSERT_EQ(obj(cube).connLen, 21);
    EXPECT_EQ(std::memcmp(obj(cube).conns, conns, sizeof conns), 0);
    // -y, +z, +x, +y, -x, -z, two triangles each: the contact reads face k
    // from triangle 2k.
    simCalcPolyNormals(cube);
    const double faces[6][3] = {{0, -1, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, -1}};
    for (int t = 0; t < 12; ++t) {
        EXPECT_EQ(obj(cube).polys[t].material, 0);
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(obj(cube).polys[t].normal[j], faces[t / 2][j]) << t;
    }
    const int before = simWorld.nObjects;
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(simSetBCube(1, 1, 1, 2, 0), -1); }),
              "  *** ERROR *** simSetBCube(): Bounding cube already set (oid=" +
                  std::to_string(cube) + ").\n");
    EXPECT_EQ(std::tie(simWorld.nObjects, simWorld.bcubeOid), std::tuple(before, cube));

    simRotBCube(0, 0, 0);
    expectPos(m(0), -16, 16, -16);
    expectPos(m(6), 16, -16, 16);
    // The half turn about x puts the face built at the bottom on top, its
    // normals refreshed; mass 0 is named by both its triangles and two others.
    EXPECT_EQ(obj(cube).polys[0].normal[1], 1.0);
    EXPECT_EQ(obj(cube).masses[0].normal[1], 0.5);
    simRotBCube(std::numbers::pi, 0, 0);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(m(i).pos[j], simWorld.bcubeCorners[i][j], 1e-12) << i << "," << j;
    simRotBCube(0, std::numbers::pi / 2, 0);
    expectPos(m(0), -16, 16, 16, 1e-12);
    simRotBCube(0.7, -1.9, 0.3);
    double first[8][3];
    for (int i = 0; i < 8; ++i)
        std::copy(m(i).pos, m(i).pos + 3, first[i]);
    simRotBCube(0.7, -1.9, 0.3); // posed from rest: the same pose again
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(m(i).pos[j], first[i][j]) << i << "," << j;
    for (int t = 0; t < 12; t += 2) {
        const SimPoly& p = obj(cube).polys[t];
        EXPECT_NEAR(std::hypot(p.normal[0], p.normal[1], p.normal[2]), 1.0, 1e-12);
        // Outward: the centre lies 16 behind the face plane.
        const double* v = obj(cube).masses[p.v0].pos;
        EXPECT_NEAR(v[0] * p.normal[0] + v[1] * p.normal[1] + v[2] * p.normal[2], 16.0, 1e-9) << t;
    }
}

TEST_F(WorldTest, NormalsFollowTheWindingAndVertexNormalsAreThePlainMean) {
    // Triangles (0 1 2) facing +z, (0 2 1) facing -z, (0 1 3) facing +y, a
    // zero-area one (4 5 6), mass 7 named by none.
    const std::array<double, 3> points[] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, -1},
                                            {1, 1, 1}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}};
    const int tris[4][3] = {{0, 1, 2}, {0, 2, 1}, {0, 1, 3}, {4, 5, 6}};
    const int oid = simAddObject("mesh", 0);
    for (const auto& p : points) {
        const int i = fxMassAt(oid, p[0], p[1], p[2]);
        obj(oid).masses[i].normal[0] = 9.0; // replaced, or zeroed for mass 7
    }
    const int keep = simAddObject("bare", 0); // no triangles: normals kept
    simAddMass(keep, nullptr);
    obj(keep).masses[0].normal[1] = 0.25;
    for (const auto& t : tris)
        simAddPoly(oid, t[0], t[1], t[2], nullptr, nullptr, nullptr, 0, nullptr, 0);
    for (int o : {oid, keep}) {
        simCalcPolyNormals(o);
        simCalcMassNormals(o);
    }
    const double faces[4][3] = {{0, 0, 1}, {0, 0, -1}, {0, 1, 0}, {0, 0, 0}};
    const double masses[8][3] = {{0, 1.0 / 3, 0},  {0, 1.0 / 3, 0}, {0, 0, 0}, {0, 1, 0},
                                 {0, 0, 0},        {0, 0, 0},       {0, 0, 0}, {0, 0, 0}};
    for (int j = 0; j < 3; ++j) {
        for (int t = 0; t < 4; ++t)
            EXPECT_EQ(obj(oid).polys[t].normal[j], faces[t][j]) << t;
        for (int i = 0; i < 8; ++i)
            EXPECT_DOUBLE_EQ(obj(oid).masses[i].normal[j], masses[i][j]) << i;
    }
    EXPECT_EQ(obj(keep).masses[0].normal[1], 0.25);
}
