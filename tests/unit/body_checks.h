// Checks on a soft body stepped inside the bounding cube.
#pragma once

#include <algorithm>
#include <cmath>

#include "sim/world.h"

// Largest distance of a mass of body beyond a face of the cube as last posed
// (negative: every mass is inside).
inline double worstEscape(const SimObject& body) {
    const SimObject& cube = simWorld.objects[simWorld.bcubeOid];
    double worst = -1e300;
    for (int32_t i = 0; i < body.nMasses; ++i)
        for (int k = 0; k < 6; ++k) {
            const SimPoly& face = cube.polys[2 * k];
            const double* corner = cube.masses[face.v0].pos;
            double d = 0.0;
            for (int j = 0; j < 3; ++j)
                d += (body.masses[i].pos[j] - corner[j]) * face.normal[j];
            worst = std::max(worst, d);
        }
    return worst;
}

// Every position and velocity of body is finite.
inline bool allFinite(const SimObject& body) {
    for (int32_t i = 0; i < body.nMasses; ++i)
        for (int j = 0; j < 3; ++j)
            if (!std::isfinite(body.masses[i].pos[j]) || !std::isfinite(body.masses[i].vel[j]))
                return false;
    return true;
}
