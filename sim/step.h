// One explicit step of an object's mass-spring system, in five phases that
// must run in this order: clear, field forces, springs, velocities, positions.
// All forces are computed from the positions and velocities at the start of
// the step; velocities change before positions (semi-implicit Euler).
#pragma once

#include <cstdint>

// Contact coefficients of the bounding-cube response: the share of the
// tangential part of the new velocity that remains, and the share of the
// reflected part. Nothing changes them while the program runs.
extern double simRemainCoef;  // 0.0
extern double simReflectCoef; // 1.0

void simClearAcc(int oid);     // acc := 0, except once for masses holding it
void simApplyFForces(int oid); // add the uniform and point fields of the force table
void simApplySprings(int oid); // add the spring and damping forces
void simUpdateVel(int oid);    // vel += acc
void simUpdatePos(int oid);    // pos += vel, then floor bounce and bounding-cube contact
