// Normals are recomputed whenever they are needed, since the masses move.
// Degenerate input (a zero-area triangle, a mass that no triangle names)
// gives a zero normal rather than NaN.
#include "sim/normals.h"

#include <cmath>

#include "sim/world.h"

void simCalcPolyNormals(int oid) {
    if (!simValidOid(oid)) return;
    SimObject& obj = simWorld.objects[oid];
    if (obj.nPolys < 1 || !obj.polys) return;
    const SimMass* m = obj.masses;
    for (int32_t i = 0; i < obj.nPolys; ++i) {
        SimPoly& p = obj.polys[i];
        const double* p0 = m[p.v0].pos;
        const double* p1 = m[p.v1].pos;
        const double* p2 = m[p.v2].pos;
        // (P0 - P1) x (P1 - P2) equals (P1 - P0) x (P2 - P0): counter-clockwise
        // corners seen from the side the normal points to.
        const double e1[3] = {p0[0] - p1[0], p0[1] - p1[1], p0[2] - p1[2]};
        const double e2[3] = {p1[0] - p2[0], p1[1] - p2[1], p1[2] - p2[2]};
        const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                             e1[0] * e2[1] - e1[1] * e2[0]};
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (len > 0.0 && std::isfinite(len)) {
            p.normal[0] = n[0] / len;
            p.normal[1] = n[1] / len;
            p.normal[2] = n[2] / len;
        } else {
            p.normal[0] = p.normal[1] = p.normal[2] = 0.0;
        }
    }
}

void simCalcMassNormals(int oid) {
    if (!simValidOid(oid)) return;
    SimObject& obj = simWorld.objects[oid];
    if (obj.nPolys < 1 || !obj.polys) return;
    SimMass* m = obj.masses;
    for (int32_t i = 0; i < obj.nMasses; ++i)
        m[i].normal[0] = m[i].normal[1] = m[i].normal[2] = 0.0;
    for (int32_t i = 0; i < obj.nPolys; ++i) {
        const SimPoly& p = obj.polys[i];
        const int32_t corners[3] = {p.v0, p.v1, p.v2};
        for (int32_t v : corners) {
            m[v].normal[0] += p.normal[0];
            m[v].normal[1] += p.normal[1];
            m[v].normal[2] += p.normal[2];
        }
    }
    // The plain mean, deliberately not rescaled to unit length.
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        if (m[i].polyCount == 0) continue;
        const double count = m[i].polyCount;
        m[i].normal[0] /= count;
        m[i].normal[1] /= count;
        m[i].normal[2] /= count;
    }
}
