// The five phases of an object's step. Every expression keeps the order of
// operations of the plain formulas: the step must give the same bits on every
// machine and with every build, so nothing is reassociated or fused.
//
// Sections: constants and helpers; phase 1 clear; phase 2 field forces;
// phase 3 springs; phase 4 velocities; phase 5 positions and contacts.
#include "sim/step.h"

#include <cmath>
#include <cstdio>

#include "sim/springs.h"
#include "sim/world.h"

double simRemainCoef = 0.0;
double simReflectCoef = 1.0;

// ---------------------------------------------------------------------------
// Constants and helpers
// ---------------------------------------------------------------------------
namespace {

constexpr double kPlaneOffset = 0.01;     // world units the cube faces are moved in
constexpr double kRestThreshold = -0.002; // world units per step, resting test
constexpr int kCubeFaces = 6;             // face k is cube triangle 2k

// The object to step, or null when there is nothing to do.
SimObject* massesOf(int oid) {
    if (!simValidOid(oid)) return nullptr;
    SimObject& obj = simWorld.objects[oid];
    if (!obj.masses || obj.nMasses < 1) return nullptr;
    return &obj;
}

bool validIndex(int32_t i, int32_t count) {
    return static_cast<uint32_t>(i) < static_cast<uint32_t>(count);
}

} // namespace

// ---------------------------------------------------------------------------
// Phase 1: clear the accelerations
// ---------------------------------------------------------------------------
void simClearAcc(int oid) {
    SimObject* obj = massesOf(oid);
    if (!obj) return;
    for (int32_t i = 0; i < obj->nMasses; ++i) {
        SimMass& m = obj->masses[i];
        // A held increment is carried into this step once.
        if (m.flags & SIMF_HOLDACC) {
            m.flags &= ~SIMF_HOLDACC;
            continue;
        }
        m.acc[0] = m.acc[1] = m.acc[2] = 0.0;
    }
}

// ---------------------------------------------------------------------------
// Phase 2: field forces, slot by slot in ascending order
// ---------------------------------------------------------------------------
namespace {

// A uniform field adds its vector as an acceleration, whatever the mass.
void applyUniform(SimObject& obj, const SimFForce& f) {
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        if ((m.flags & SIMF_FIXED) || !(m.forceMask & f.mask)) continue;
        m.acc[0] += f.vec[0];
        m.acc[1] += f.vec[1];
        m.acc[2] += f.vec[2];
    }
}

// A point field pushes masses strictly inside the centre's range away from it
// (towards it for a negative strength).
void applyPoint(SimObject& obj, const SimFForce& f) {
    if (!simValidOid(simWorld.forcesOid)) return;
    const SimObject& forces = simWorld.objects[simWorld.forcesOid];
    // A centre that is not a mass of the Forces object acts on nothing.
    if (!forces.masses || !validIndex(f.target, forces.nMasses)) return;
    // Copied once: when the Forces object itself is stepped, the centre is
    // one of its masses, but only its acc changes here.
    const SimMass& centre = forces.masses[f.target];
    const double tp[3] = {centre.pos[0], centre.pos[1], centre.pos[2]};
    const double tMass = centre.mass;
    const double range = centre.range;
    const double strength = f.strength;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        if ((m.flags & SIMF_FIXED) || !(m.forceMask & f.mask)) continue;
        const double dx = tp[0] - m.pos[0];
        const double dy = tp[1] - m.pos[1];
        const double dz = tp[2] - m.pos[2];
        const double s = dx * dx + dy * dy + dz * dz;
        if (!(std::sqrt(s) < range)) continue;
        const double q = (m.mass * tMass) / (s + 1.0) * strength;
        m.acc[0] -= q * dx;
        m.acc[1] -= q * dy;
        m.acc[2] -= q * dz;
    }
}

} // namespace

void simApplyFForces(int oid) {
    SimObject* obj = massesOf(oid);
    if (!obj) return;
    for (int slot = 0; slot < SIM_MAX_FORCES; ++slot) {
        if (!(simWorld.forceBits & (1u << slot))) continue;
        const SimFForce& f = simWorld.forces[slot];
        if (f.target == -1) {
            applyUniform(*obj, f);
        } else {
            applyPoint(*obj, f);
        }
    }
}

// ---------------------------------------------------------------------------
// Phase 3: springs
//
// The law is in sim/springs_law.h. The spring engine (sim/springs.h) runs it
// on the widest vectors the processor has, with the plain loop's bits.
// ---------------------------------------------------------------------------
void simApplySprings(int oid) {
    simSpringsApply(oid);
}

// ---------------------------------------------------------------------------
// Phase 4: velocities
// ---------------------------------------------------------------------------
void simUpdateVel(int oid) {
    SimObject* obj = massesOf(oid);
    if (!obj) return;
    for (int32_t i = 0; i < obj->nMasses; ++i) {
        SimMass& m = obj->masses[i];
        m.vel[0] += m.acc[0];
        m.vel[1] += m.acc[1];
        m.vel[2] += m.acc[2];
    }
}

// ---------------------------------------------------------------------------
// Phase 5: positions, floor bounce and bounding-cube contact
// ---------------------------------------------------------------------------
namespace {

// One face of the bounding cube: its unit outward normal and the face plane
// moved inwards by the offset, through P = V - 0.01 * n.
struct CubeFace {
    double n[3];
    double p[3];
};

// The cube whose faces masses meet, or null when the world has none (or one
// too broken to have six faces).
const SimObject* boundingCube() {
    if (!simValidOid(simWorld.bcubeOid)) return nullptr;
    const SimObject& cube = simWorld.objects[simWorld.bcubeOid];
    if (!cube.masses || !cube.polys || cube.nPolys < 2 * (kCubeFaces - 1) + 1) return nullptr;
    for (int k = 0; k < kCubeFaces; ++k)
        if (!validIndex(cube.polys[2 * k].v0, cube.nMasses)) return nullptr;
    return &cube;
}

void loadFace(const SimObject& cube, int k, CubeFace& face) {
    const SimPoly& tri = cube.polys[2 * k];
    const double* v = cube.masses[tri.v0].pos;
    for (int j = 0; j < 3; ++j) {
        face.n[j] = tri.normal[j];
        face.p[j] = v[j] - kPlaneOffset * tri.normal[j];
    }
}

// The bounding-cube pass of one mass. p0 and w are the position and velocity
// as they stood after the move and the floor bounce; a contact sets w to the
// face-wise acceleration K. Faces come from `faces`, or straight from the
// cube when the stepped object is the cube itself (its masses may move).
void cubeContact(SimMass& m, const CubeFace* faces, const SimObject* liveCube) {
    const double p0[3] = {m.pos[0], m.pos[1], m.pos[2]};
    double w[3] = {m.vel[0], m.vel[1], m.vel[2]};
    for (int k = 0; k < kCubeFaces; ++k) {
        CubeFace live;
        const CubeFace* face = &faces[k];
        if (liveCube) {
            loadFace(*liveCube, k, live);
            face = &live;
        }
        const double* n = face->n;
        const double* p = face->p;
        const double dist =
            (m.pos[0] - p[0]) * n[0] + (m.pos[1] - p[1]) * n[1] + (m.pos[2] - p[2]) * n[2];
        if (dist > 0.0) {
            const double kv[3] = {m.acc[0] * n[0], m.acc[1] * n[1], m.acc[2] * n[2]};
            w[0] = kv[0];
            w[1] = kv[1];
            w[2] = kv[2];
            const double depth =
                std::fabs((p0[0] - p[0]) * n[0] + (p0[1] - p[1]) * n[1] + (p0[2] - p[2]) * n[2]);
            m.pos[0] -= depth * n[0];
            m.pos[1] -= depth * n[1];
            m.pos[2] -= depth * n[2];
            const double e = n[0] * kv[0] + n[1] * kv[1] + n[2] * kv[2];
            for (int j = 0; j < 3; ++j) {
                const double reflected = -e * kv[j];
                m.vel[j] = (kv[j] - reflected) * simRemainCoef + reflected * simReflectCoef;
            }
        } else if (m.flags & SIMF_REST) {
            // Resting: stopped at each face it moves away from, released (with
            // a diagnostic line) by the first face it does not.
            const double dotp = n[0] * w[0] + n[1] * w[1] + n[2] * w[2];
            if (dotp > kRestThreshold) {
                std::printf("dotp=%f\n", dotp);
                m.flags &= ~SIMF_REST;
            } else {
                m.vel[0] = m.vel[1] = m.vel[2] = 0.0;
            }
        }
    }
}

} // namespace

void simUpdatePos(int oid) {
    SimObject* obj = massesOf(oid);
    if (!obj) return;
    const SimObject* cube = boundingCube();
    CubeFace faces[kCubeFaces];
    // The cube does not move while another object is stepped, so its planes
    // are taken once; they are the same bits as taken per mass.
    const bool selfCube = cube && oid == simWorld.bcubeOid;
    if (cube && !selfCube)
        for (int k = 0; k < kCubeFaces; ++k)
            loadFace(*cube, k, faces[k]);

    for (int32_t i = 0; i < obj->nMasses; ++i) {
        SimMass& m = obj->masses[i];
        m.pos[0] += m.vel[0];
        m.pos[1] += m.vel[1];
        m.pos[2] += m.vel[2];
        // Mirrored at y = 0 without loss of speed; a landing exactly on the
        // plane is left alone.
        if ((m.flags & SIMF_FLOOR) && m.pos[1] < 0.0) {
            m.pos[1] = -m.pos[1];
            m.vel[1] = -m.vel[1];
        }
        // Without a bounding cube there are no faces to meet.
        if (!(m.flags & SIMF_BCUBE) || !cube) continue;
        cubeContact(m, faces, selfCube ? cube : nullptr);
    }
}
