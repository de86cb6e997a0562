// The spring law and its rules, written once for the spring phase's scalar
// paths and for the tools that read its results. For a spring from A (end a)
// to B (end b):
//   d = A.pos - B.pos, L = |d|, r = (dv.d) / L with dv = A.vel - B.vel,
//   N = (rest - L) * k - r * damping, f = N / (L * kSpringForceDivisor),
//   A.acc += d * f / A.mass, B.acc -= d * f / B.mass (free ends only).
// A spring whose length is not in (0, inf) rests for the step: coincident ends
// give no direction, an overflowed length no force. The tile kernels
// (springs_wide.inc) compute the same operations lane by lane.
//
// Everything here has internal linkage: the kernel files are built for wider
// instruction sets, and a shared inline function could be emitted there with
// wide instructions and then picked by the linker for code that runs on any
// processor.
#pragma once

#include <cstdint>

constexpr double kSpringForceDivisor = 1000.0; // the spring force is N / 1000
// The lengths that act, 0 < L < infinity, are the doubles whose bits, read as
// a signed 64-bit integer, lie in [1, 0x7fefffffffffffff]. Adding this shift
// moves that range to the top of the int64 range, while zero, negatives,
// infinity and NaN of either sign wrap to or stay at the shift or below: a
// vector path with 64-bit integer compares decides with one of them.
constexpr int64_t kSpringLengthShift = INT64_MAX - 0x7fefffffffffffff;

namespace {

// An end names a mass of the array (a negative index is out as well).
[[maybe_unused]] inline bool springEndValid(int32_t i, int32_t count) {
    return static_cast<uint32_t>(i) < static_cast<uint32_t>(count);
}

// x / 1.0 == x, bit for bit: a unit mass may skip the division.
[[maybe_unused]] inline bool springUnitMass(double mass) {
    return mass == 1.0;
}

// Lengths for which the spring acts.
[[maybe_unused]] inline bool springLengthActs(double len) {
    return len > 0.0 && len < __builtin_inf();
}

// L for the end difference d.
[[maybe_unused]] inline double springLength(double dx, double dy, double dz) {
    return __builtin_sqrt(dx * dx + dy * dy + dz * dz);
}

// f for the end difference d, its length len and the velocity difference w.
// Coincident ends give NaN; callers test the length before using it.
[[maybe_unused]] inline double springForceAt(double len, double dx, double dy, double dz, double wx,
                                             double wy, double wz, double rest, double k,
                                             double damping) {
    const double r = (wx * dx + wy * dy + wz * dz) / len;
    const double n = (rest - len) * k - r * damping;
    return n / (len * kSpringForceDivisor);
}

} // namespace
