// The distance band: every pair of masses whose distance lies strictly between
// two bounds, found through a uniform grid instead of the all-pairs loop.
#pragma once

#include <cstdint>

#include "sim/world.h"

// Receives one pair i < j with its distance d; must not move the masses.
using SimBandEmit = void (*)(void* ctx, int32_t i, int32_t j, double d);

// Calls emit for every pair i < j of the n masses whose distance
// d = sqrt(dx*dx + dy*dy + dz*dz) (dx = xi - xj, ...) satisfies lo < d < hi,
// in the order of the plain double loop: i ascending, then j ascending.
void simBandPairs(const SimMass* masses, int32_t n, double lo, double hi, SimBandEmit emit,
                  void* ctx);

// Adds a spring of kind 1 with rest length d for every band pair of object
// oid, in the same order, but for pairs with a mass further than 2^40 world
// units from the origin along an axis, which the contact cannot bring to the
// cube precisely enough to keep a spring sound. Returns the number added.
int simAddBandSprings(int oid, double lo, double hi, double k, double damping);
