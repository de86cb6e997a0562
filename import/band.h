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

// World units from the origin along an axis past which a mass gets no springs.
constexpr double SIM_BAND_MAX_COORD = 0x1p40;

// Adds a spring of kind 1 with rest length d for every band pair of object
// oid, in the same order: the same records, capacity and level-3 notices as
// one simAddSpring call per pair, but the array is sized once. Pairs with a
// mass further than 2^40 world units from the origin along an axis get no
// spring: the contact cannot bring such a mass to the cube precisely enough
// to keep a spring sound. All or nothing: returns the number of springs
// added, or -1 after simAddSpring's error when the array cannot grow to hold
// them. Reports progress (platform/progress.h).
int simAddBandSprings(int oid, double lo, double hi, double k, double damping);
