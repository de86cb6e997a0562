// Checks on a soft body stepped inside the bounding cube.
#pragma once

#include <cmath>

#include "scenegen/body_promises.h"

// The furthest a mass of body lies beyond a face of the cube as last posed
// (negative: every mass is inside; NaN for a mass that is not a number).
inline double worstEscape(const SimObject& body) {
    double worst = -HUGE_VAL;
    for (int32_t i = 0; i < body.nMasses; ++i) {
        const double excess = fxCubeExcess(body.masses[i].pos);
        if (!(excess <= worst)) worst = excess;
    }
    return worst;
}

// Every position and velocity of body is finite.
inline bool allFinite(const SimObject& body) {
    for (int32_t i = 0; i < body.nMasses; ++i)
        if (!fxFiniteMass(body.masses[i])) return false;
    return true;
}
