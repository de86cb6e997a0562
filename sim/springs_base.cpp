// The tile kernel for any processor: one cell at a time. Within a tile it
// walks row by row and, in each row, the cells in ascending column: that is
// the plain loop's own order over these springs, so every mass receives its
// additions in that order; the packed rows keep the masses close together.
#include "sim/springs_kernels.h"

namespace {

constexpr double kForceDivisor = 1000.0; // the spring force is N / 1000
constexpr int kLanes = kSpringTileMasses;

// Bits set in a 64-bit word, without relying on a popcount instruction.
int setBits(uint64_t m) {
    m = m - ((m >> 1) & 0x5555555555555555u);
    m = (m & 0x3333333333333333u) + ((m >> 2) & 0x3333333333333333u);
    m = (m + (m >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<int>((m * 0x0101010101010101u) >> 56);
}

bool isSet(uint32_t bits, int lane) {
    return ((bits >> lane) & 1u) != 0;
}

// Row a of the tile over the cell blocks [b, e).
void tileRow(const SpringTiles& plan, const SpringPacked& pk, int32_t a, int32_t b, int32_t e) {
    const int i = a % kLanes;
    const double apx = pk.px[a], apy = pk.py[a], apz = pk.pz[a];
    const double avx = pk.vx[a], avy = pk.vy[a], avz = pk.vz[a];
    const bool freeA = isSet(pk.freeBits[a / kLanes], i);
    const double massA = pk.mass[a];
    double ax = pk.ax[a], ay = pk.ay[a], az = pk.az[a];
    for (; b < e; ++b) {
        const SpringBlock& blk = plan.blocks[b];
        const uint32_t row = static_cast<uint32_t>(blk.present >> (kLanes * i)) & 0xffu;
        if (!row) continue;
        // The cells of the rows above this one come first.
        const uint64_t above = i == 0 ? 0 : blk.present & ((uint64_t{1} << (kLanes * i)) - 1);
        int32_t at = blk.cellAt + setBits(above);
        const uint32_t freeCols = pk.freeBits[blk.q];
        for (uint32_t left = row; left != 0; left &= left - 1) {
            const int j = __builtin_ctz(left);
            const int32_t c = blk.q * kLanes + j;
            const double rest = plan.rest[at];
            const double k = plan.k ? plan.k[at] : plan.kAll;
            const double damping = plan.damping ? plan.damping[at] : plan.dampingAll;
            ++at;
            const double dx = apx - pk.px[c], dy = apy - pk.py[c], dz = apz - pk.pz[c];
            const double len = __builtin_sqrt(dx * dx + dy * dy + dz * dz);
            // Coincident ends give no direction and an overflowed length no
            // force: such a spring rests this step.
            if (!(len > 0.0 && len < __builtin_inf())) continue;
            const double wx = avx - pk.vx[c], wy = avy - pk.vy[c], wz = avz - pk.vz[c];
            const double r = (wx * dx + wy * dy + wz * dz) / len;
            const double n = (rest - len) * k - r * damping;
            const double f = n / (len * kForceDivisor);
            const double fx = dx * f, fy = dy * f, fz = dz * f;
            if (freeA) {
                // x / 1.0 == x: the common unit mass skips the division.
                if (massA == 1.0) {
                    ax += fx;
                    ay += fy;
                    az += fz;
                } else {
                    ax += fx / massA;
                    ay += fy / massA;
                    az += fz / massA;
                }
            }
            if (isSet(freeCols, j)) {
                const double massC = pk.mass[c];
                if (massC == 1.0) {
                    pk.ax[c] -= fx;
                    pk.ay[c] -= fy;
                    pk.az[c] -= fz;
                } else {
                    pk.ax[c] -= fx / massC;
                    pk.ay[c] -= fy / massC;
                    pk.az[c] -= fz / massC;
                }
            }
        }
    }
    pk.ax[a] = ax;
    pk.ay[a] = ay;
    pk.az[a] = az;
}

} // namespace

void springTilesBaseline(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                         int32_t tileEnd, int32_t qEnd, int32_t* next) {
    for (int32_t t = tileBegin; t < tileEnd; ++t) {
        const SpringTile& tile = plan.tiles[t];
        int32_t& b = next[t - tileBegin];
        int32_t e = b;
        while (e < tile.blockEnd && plan.blocks[e].q < qEnd)
            ++e;
        if (b == e) continue;
        for (int i = 0; i < kLanes; ++i)
            tileRow(plan, pk, tile.p * kLanes + i, b, e);
        b = e;
    }
}
