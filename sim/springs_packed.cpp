// The packed copy of the masses for the tile kernels.
#include "sim/springs_packed.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "sim/springs_law.h"
#include "sim/world.h"

namespace {

constexpr int kLanes = kSpringTileMasses;
constexpr size_t kVectorAlign = 64; // bytes: one 512-bit vector, one cache line
constexpr int kPackedRows = 10;     // px, py, pz, vx, vy, vz, ax, ay, az, mass

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// One block for all rows, grown as needed and kept between steps.
struct PackedStore {
    std::unique_ptr<void, FreeDeleter> block;
    size_t masses = 0; // capacity in masses, a whole number of blocks
    SpringPacked rows{};
};
PackedStore packed;

size_t bitsBytes(int32_t massBlocks) {
    return (static_cast<size_t>(massBlocks) + kVectorAlign - 1) / kVectorAlign * kVectorAlign;
}

} // namespace

int64_t springPackedBytes(int32_t massBlocks) {
    const size_t rowBytes = static_cast<size_t>(massBlocks) * kLanes * sizeof(double);
    return static_cast<int64_t>(kPackedRows * rowBytes + 2 * bitsBytes(massBlocks));
}

bool springPackedReserve(int32_t massBlocks) {
    const size_t masses = static_cast<size_t>(massBlocks) * kLanes;
    if (masses <= packed.masses && packed.block) return true;
    void* block =
        std::aligned_alloc(kVectorAlign, static_cast<size_t>(springPackedBytes(massBlocks)));
    if (!block) return false;
    packed.block.reset(block);
    packed.masses = masses;
    SpringPacked& pk = packed.rows;
    double* rows = static_cast<double*>(block);
    double** fields[kPackedRows] = {&pk.px, &pk.py, &pk.pz, &pk.vx, &pk.vy,
                                    &pk.vz, &pk.ax, &pk.ay, &pk.az, &pk.mass};
    for (int r = 0; r < kPackedRows; ++r)
        *fields[r] = rows + static_cast<size_t>(r) * masses;
    uint8_t* bits = reinterpret_cast<uint8_t*>(rows + kPackedRows * masses);
    pk.freeBits = bits;
    pk.unitBits = bits + bitsBytes(massBlocks);
    return true;
}

// Flags and masses may be edited between steps: their bits are read afresh.
void springPackIn(const SimObject& obj, int32_t massBlocks) {
    const SpringPacked& pk = packed.rows;
    uint8_t* freeBits = const_cast<uint8_t*>(pk.freeBits);
    uint8_t* unitBits = const_cast<uint8_t*>(pk.unitBits);
    std::memset(freeBits, 0, static_cast<size_t>(massBlocks));
    std::memset(unitBits, 0, static_cast<size_t>(massBlocks));
    const int32_t n = obj.nMasses;
    for (int32_t i = 0; i < n; ++i) {
        const SimMass& m = obj.masses[i];
        pk.px[i] = m.pos[0];
        pk.py[i] = m.pos[1];
        pk.pz[i] = m.pos[2];
        pk.vx[i] = m.vel[0];
        pk.vy[i] = m.vel[1];
        pk.vz[i] = m.vel[2];
        pk.ax[i] = m.acc[0];
        pk.ay[i] = m.acc[1];
        pk.az[i] = m.acc[2];
        pk.mass[i] = m.mass;
        const uint8_t bit = static_cast<uint8_t>(1u << (i % kLanes));
        if (!(m.flags & SIMF_FIXED)) freeBits[i / kLanes] |= bit;
        if (springUnitMass(m.mass)) unitBits[i / kLanes] |= bit;
    }
    // Padding: a fixed unit mass at rest at the origin.
    for (int32_t i = n; i < massBlocks * kLanes; ++i) {
        pk.px[i] = pk.py[i] = pk.pz[i] = 0.0;
        pk.vx[i] = pk.vy[i] = pk.vz[i] = 0.0;
        pk.ax[i] = pk.ay[i] = pk.az[i] = 0.0;
        pk.mass[i] = 1.0;
        unitBits[i / kLanes] |= static_cast<uint8_t>(1u << (i % kLanes));
    }
}

void springPackOut(SimObject& obj) {
    const SpringPacked& pk = packed.rows;
    for (int32_t i = 0; i < obj.nMasses; ++i) {
        SimMass& m = obj.masses[i];
        m.acc[0] = pk.ax[i];
        m.acc[1] = pk.ay[i];
        m.acc[2] = pk.az[i];
    }
}

const SpringPacked& springPackedRows() {
    return packed.rows;
}

void springPackedRelease() {
    packed.block.reset();
    packed.masses = 0;
    packed.rows = SpringPacked{};
}
