#include <cmath>

#include "sim/normals.h"
#include "world_fixture.h"

namespace {

// An object with the given mass positions and triangles.
int makeMesh(std::initializer_list<std::array<double, 3>> points,
             std::initializer_list<std::array<int, 3>> tris) {
    int oid = simAddObject("mesh", 0);
    for (const auto& p : points) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        m->pos[0] = p[0];
        m->pos[1] = p[1];
        m->pos[2] = p[2];
    }
    for (const auto& t : tris)
        simAddPoly(oid, t[0], t[1], t[2], nullptr, nullptr, nullptr, 0, nullptr, 0);
    return oid;
}

} // namespace

TEST_F(WorldTest, FaceNormalFollowsWinding) {
    int oid = makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 1}});
    simCalcPolyNormals(oid);
    const SimPoly* p = obj(oid).polys;
    EXPECT_EQ(p[0].normal[0], 0.0);
    EXPECT_EQ(p[0].normal[1], 0.0);
    EXPECT_EQ(p[0].normal[2], 1.0);
    EXPECT_EQ(p[1].normal[2], -1.0);
}

TEST_F(WorldTest, VertexNormalIsThePlainMean) {
    // Mass 0 is shared by a triangle facing +z and one facing +y.
    int oid = makeMesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, -1}}, {{0, 1, 2}, {0, 1, 3}});
    simCalcPolyNormals(oid);
    EXPECT_EQ(obj(oid).polys[1].normal[1], 1.0);
    simCalcMassNormals(oid);
    const SimMass* m = obj(oid).masses;
    EXPECT_EQ(m[0].normal[0], 0.0);
    EXPECT_EQ(m[0].normal[1], 0.5);
    EXPECT_EQ(m[0].normal[2], 0.5);
    // A mass whose only triangle faces +z gets exactly that normal.
    EXPECT_EQ(m[2].normal[2], 1.0);
    EXPECT_EQ(m[2].normal[1], 0.0);
}

TEST_F(WorldTest, DegenerateInputGivesZeroNormals) {
    // A zero-area triangle and a mass that no triangle names.
    int oid = makeMesh({{1, 1, 1}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}}, {{0, 1, 2}});
    obj(oid).masses[3].normal[0] = 9.0;
    simCalcPolyNormals(oid);
    simCalcMassNormals(oid);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(obj(oid).polys[0].normal[j], 0.0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(obj(oid).masses[i].normal[j], 0.0) << i;
    }
}

TEST_F(WorldTest, ObjectWithoutTrianglesKeepsItsNormals) {
    int oid = makeMesh({{1, 2, 3}}, {});
    obj(oid).masses[0].normal[1] = 0.25;
    simCalcPolyNormals(oid);
    simCalcMassNormals(oid);
    EXPECT_EQ(obj(oid).masses[0].normal[1], 0.25);
}
