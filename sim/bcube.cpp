// The cube builder with its corner, triangle, run and spring tables, the
// world's bounding cube and the rigid rotations.
#include "sim/bcube.h"

#include <cmath>
#include <cstdio>

#include "sim/normals.h"
#include "sim/world.h"

double cubeAngleX = 0.0;
double cubeAngleY = 0.0;
double cubeAngleZ = 0.0;

namespace {

// Corner i as signs of the half edge along x, y and z.
constexpr int kCorners[8][3] = {{-1, -1, 1}, {1, -1, 1}, {1, -1, -1}, {-1, -1, -1},
                                {-1, 1, 1},  {1, 1, 1},  {1, 1, -1},  {-1, 1, -1}};

// Two triangles per face, in the order -y, +z, +x, +y, -x, -z; counter-clockwise
// seen from outside. The collision step reads face k from triangle 2k and the
// face textures pair triangles 2k and 2k + 1, so the order matters.
struct CubeTri {
    int32_t v0, v1, v2;
    double normal[3];
};
constexpr CubeTri kTris[12] = {{2, 1, 0, {0, -1, 0}}, {0, 3, 2, {0, -1, 0}}, {4, 0, 1, {0, 0, 1}},
                               {1, 5, 4, {0, 0, 1}},  {5, 1, 2, {1, 0, 0}},  {2, 6, 5, {1, 0, 0}},
                               {5, 6, 7, {0, 1, 0}},  {7, 4, 5, {0, 1, 0}},  {3, 0, 4, {-1, 0, 0}},
                               {4, 7, 3, {-1, 0, 0}}, {2, 3, 7, {0, 0, -1}}, {7, 6, 2, {0, 0, -1}}};

// Each run is a hub followed by its three neighbours: together the twelve edges.
constexpr int32_t kRuns[4][4] = {{0, 1, 3, 4}, {2, 1, 3, 6}, {5, 1, 4, 6}, {7, 4, 3, 6}};

constexpr int32_t kEdges[12][2] = {{0, 1}, {1, 5}, {5, 4}, {4, 0}, {3, 2}, {2, 6},
                                   {6, 7}, {3, 7}, {3, 0}, {4, 7}, {6, 5}, {1, 2}};
constexpr int32_t kDiagonals[12][2] = {{0, 2}, {1, 3}, {1, 4}, {0, 5}, {3, 4}, {0, 7},
                                       {5, 7}, {4, 6}, {3, 6}, {2, 7}, {2, 5}, {1, 6}};

constexpr int32_t kBCubeExtraFlags = SIMF_FACETEX | SIMF_CW | SIMF_CULL | SIMF_FIXED | SIMF_ACTIVE;

struct Rotation {
    double sa, ca, sb, cb, sc, cc;
};

Rotation makeRotation(double a, double b, double c) {
    return {std::sin(a), std::cos(a), std::sin(b), std::cos(b), std::sin(c), std::cos(c)};
}

void rotate(const Rotation& r, const double in[3], double out[3]) {
    const double x = in[0], y = in[1], z = in[2];
    const double y1 = z * r.sa - y * r.ca;
    const double z1 = -(y * r.sa + z * r.ca);
    const double x2 = x * r.cb + z1 * r.sb;
    const double z2 = z1 * r.cb - x * r.sb;
    out[0] = x2 * r.cc - y1 * r.sc;
    out[1] = x2 * r.sc + y1 * r.cc;
    out[2] = z2;
}

} // namespace

void simRotatePoint(const double in[3], double a, double b, double c, double out[3]) {
    rotate(makeRotation(a, b, c), in, out);
}

int simAddCubeObj(float cx, float cy, float cz, float edge, double k, double damping, int32_t flags,
                  int32_t forceMask, int32_t material) {
    const double h = edge * 0.5;
    const double diagonal = std::sqrt(2.0) * edge;
    int oid = simAddObject("CubeObj", flags);
    if (oid == -1) return -1;

    for (const auto& corner : kCorners) {
        SimMass* m = nullptr;
        if (simAddMass(oid, &m) == -1) return -1;
        m->pos[0] = cx + corner[0] * h;
        m->pos[1] = cy + corner[1] * h;
        m->pos[2] = cz + corner[2] * h;
        m->forceMask = forceMask;
        m->flags = flags | SIMF_ACTIVE;
    }
    if (flags & SIMF_MKCONNS) {
        for (const auto& run : kRuns)
            simAddConn(oid, run, 4);
    }
    if (flags & SIMF_MKPOLYS) {
        for (const CubeTri& t : kTris)
            simAddPoly(oid, t.v0, t.v1, t.v2, t.normal, nullptr, nullptr, 1, nullptr, material);
    }
    if (flags & SIMF_MKSPRINGS) {
        for (const auto& e : kEdges)
            if (simAddSpring(oid, e[0], e[1], edge, k, damping, 1) == -1) return -1;
        for (const auto& d : kDiagonals)
            if (simAddSpring(oid, d[0], d[1], diagonal, k, damping, 1) == -1) return -1;
    }
    return oid;
}

int simSetBCube(float cx, float cy, float cz, float edge, int32_t flags) {
    if (simWorld.bcubeOid != -1) {
        std::printf("  *** ERROR *** simSetBCube(): Bounding cube already set (oid=%d).\n",
                    simWorld.bcubeOid);
        return -1;
    }
    int oid = simAddCubeObj(cx, cy, cz, edge, 0.0, 0.0, flags | kBCubeExtraFlags, 0, 0);
    if (oid == -1) return -1;
    simWorld.bcubeOid = oid;
    SimObject& cube = simWorld.objects[oid];
    std::snprintf(cube.name, SIM_NAME_LEN, "BoundingCube");
    if (verbosity != 0) std::printf("  simSetBCube(): Setting Bounding Cube (oid=%d).\n", oid);
    const double centre[3] = {cx, cy, cz};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 3; ++j)
            simWorld.bcubeCorners[i][j] = cube.masses[i].pos[j] - centre[j];
    for (int j = 0; j < 3; ++j)
        simWorld.bcubeCentre[j] = centre[j];
    return oid;
}

void simRotBCube(double a, double b, double c) {
    const int oid = simWorld.bcubeOid;
    if (!simValidOid(oid) || simWorld.objects[oid].nMasses < 8) return;
    SimMass* m = simWorld.objects[oid].masses;
    const Rotation r = makeRotation(a, b, c);
    // Posed from the rest offsets every time, so rounding never accumulates.
    for (int i = 0; i < 8; ++i) {
        double p[3];
        rotate(r, simWorld.bcubeCorners[i], p);
        for (int j = 0; j < 3; ++j)
            m[i].pos[j] = p[j] + simWorld.bcubeCentre[j];
    }
    simCalcPolyNormals(oid);
    simCalcMassNormals(oid);
}

void simRotObj(int oid, double a, double b, double c) {
    if (!simValidOid(oid)) {
        std::printf("  *** ERROR *** simRotObj(): Invalid object id (oid=%d).\n", oid);
        return;
    }
    SimObject& obj = simWorld.objects[oid];
    const Rotation r = makeRotation(a, b, c);
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        double p[3];
        rotate(r, obj.masses[i].pos, p);
        for (int j = 0; j < 3; ++j)
            obj.masses[i].pos[j] = p[j];
    }
    simCalcPolyNormals(oid);
    simCalcMassNormals(oid);
}
