// Face normals by the winding, vertex normals the plain mean of their
// triangles', zero for degenerate input.
#include <array>

#include "sim/normals.h"
#include "world_fixture.h"

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
