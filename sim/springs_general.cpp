// The spring phase's general loop: springs in any order, with any mix of
// constants, on the mass records themselves. Positions and velocities do not
// change in the phase, so the law is computed for a batch of springs first,
// over plain arrays the compiler can vectorise, and only then added to the
// ends in spring order: each mass receives exactly the additions of the plain
// one-spring-at-a-time loop, in its order, so the bits are the same.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"
#include "sim/world.h"

namespace {

constexpr int kSpringBatch = 16; // springs per batch, small enough to overlap

// One batch: the end differences gathered from the masses, then the law's
// results.
struct SpringBatch {
    double dx[kSpringBatch], dy[kSpringBatch], dz[kSpringBatch]; // d = A.pos - B.pos
    double vx[kSpringBatch], vy[kSpringBatch], vz[kSpringBatch]; // dv = A.vel - B.vel
    double rest[kSpringBatch], k[kSpringBatch], damping[kSpringBatch];
    double len[kSpringBatch]; // L
    double f[kSpringBatch];   // N / (L * 1000)
};

// A spring with an end outside the mass array is read as if both its ends
// were mass 0: length 0, which the scatter skips.
void gatherSprings(const SimSpring* __restrict springs, int count, const SimMass* __restrict m,
                   int32_t nMasses, SpringBatch& __restrict bt) {
    for (int i = 0; i < count; ++i) {
        const SimSpring& s = springs[i];
        const bool valid = springEndValid(s.a, nMasses) && springEndValid(s.b, nMasses);
        const SimMass& a = m[valid ? s.a : 0];
        const SimMass& b = m[valid ? s.b : 0];
        bt.dx[i] = a.pos[0] - b.pos[0];
        bt.dy[i] = a.pos[1] - b.pos[1];
        bt.dz[i] = a.pos[2] - b.pos[2];
        bt.vx[i] = a.vel[0] - b.vel[0];
        bt.vy[i] = a.vel[1] - b.vel[1];
        bt.vz[i] = a.vel[2] - b.vel[2];
        bt.rest[i] = s.rest;
        bt.k[i] = s.k;
        bt.damping[i] = s.damping;
    }
}

inline void lawAt(SpringBatch& __restrict bt, int i) {
    const double len = springLength(bt.dx[i], bt.dy[i], bt.dz[i]);
    bt.len[i] = len;
    bt.f[i] = springForceAt(len, bt.dx[i], bt.dy[i], bt.dz[i], bt.vx[i], bt.vy[i], bt.vz[i],
                            bt.rest[i], bt.k[i], bt.damping[i]);
}

// A whole batch: a fixed trip count lets the compiler vectorise the square
// roots and divisions at every optimisation level.
void lawFull(SpringBatch& __restrict bt) {
    for (int i = 0; i < kSpringBatch; ++i)
        lawAt(bt, i);
}

void lawPart(int count, SpringBatch& __restrict bt) {
    for (int i = 0; i < count; ++i)
        lawAt(bt, i);
}

// Adds the batch's forces d * f / mass to the free ends, in spring order.
// Springs that share their first end come in runs (a body's springs are made
// pair by pair from each mass); that end's acc is carried in registers
// through the run, which is the same sequence of additions as going through
// memory each time, since no spring that adds anything has its second end
// equal to its first.
void scatterSprings(const SimSpring* __restrict springs, const SpringBatch& __restrict bt,
                    int count, SimMass* __restrict m) {
    int i = 0;
    while (i < count) {
        // Springs that rest (coincident or invalid ends, overflowed length)
        // touch nothing, not even their first end.
        if (!springLengthActs(bt.len[i])) {
            ++i;
            continue;
        }
        const int32_t first = springs[i].a;
        SimMass& a = m[first];
        const bool freeA = !(a.flags & SIMF_FIXED);
        const double ma = a.mass;
        double ax = a.acc[0], ay = a.acc[1], az = a.acc[2];
        for (; i < count && springs[i].a == first; ++i) {
            if (!springLengthActs(bt.len[i])) continue;
            const double f = bt.f[i];
            const double fx = bt.dx[i] * f, fy = bt.dy[i] * f, fz = bt.dz[i] * f;
            if (freeA) {
                if (springUnitMass(ma)) {
                    ax += fx;
                    ay += fy;
                    az += fz;
                } else {
                    ax += fx / ma;
                    ay += fy / ma;
                    az += fz / ma;
                }
            }
            SimMass& b = m[springs[i].b];
            if (!(b.flags & SIMF_FIXED)) {
                const double mb = b.mass;
                if (springUnitMass(mb)) {
                    b.acc[0] -= fx;
                    b.acc[1] -= fy;
                    b.acc[2] -= fz;
                } else {
                    b.acc[0] -= fx / mb;
                    b.acc[1] -= fy / mb;
                    b.acc[2] -= fz / mb;
                }
            }
        }
        a.acc[0] = ax;
        a.acc[1] = ay;
        a.acc[2] = az;
    }
}

} // namespace

void springsGeneral(SimObject& obj) {
    SpringBatch batch;
    for (int32_t base = 0; base < obj.nSprings; base += kSpringBatch) {
        const int count = obj.nSprings - base < kSpringBatch ? obj.nSprings - base : kSpringBatch;
        const SimSpring* springs = obj.springs + base;
        gatherSprings(springs, count, obj.masses, obj.nMasses, batch);
        if (count == kSpringBatch) {
            lawFull(batch);
        } else {
            lawPart(count, batch);
        }
        scatterSprings(springs, batch, count, obj.masses);
    }
}
