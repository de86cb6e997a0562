// The tile kernel for any processor: one cell at a time, block by block and
// within a block row by row, columns ascending (see springs_kernels.h for why
// that order gives each mass its additions in the plain loop's order). The
// rows' increments stay in locals through the tile's blocks; in the diagonal
// block the columns are those rows, so their subtractions go to the locals.
#include "sim/springs_kernels.h"
#include "sim/springs_law.h"

namespace {

constexpr int kLanes = kSpringTileMasses;

bool isSet(uint32_t bits, int lane) {
    return ((bits >> lane) & 1u) != 0;
}

// acc += f / mass, or acc -= f / mass.
void addTo(double acc[3], const double f[3], double mass) {
    if (springUnitMass(mass)) {
        acc[0] += f[0];
        acc[1] += f[1];
        acc[2] += f[2];
    } else {
        acc[0] += f[0] / mass;
        acc[1] += f[1] / mass;
        acc[2] += f[2] / mass;
    }
}

void takeFrom(double acc[3], const double f[3], double mass) {
    if (springUnitMass(mass)) {
        acc[0] -= f[0];
        acc[1] -= f[1];
        acc[2] -= f[2];
    } else {
        acc[0] -= f[0] / mass;
        acc[1] -= f[1] / mass;
        acc[2] -= f[2] / mass;
    }
}

// The cell blocks [b, e) of tile p.
void tileBlocks(const SpringTiles& plan, const SpringPacked& pk, int32_t p, int32_t b, int32_t e) {
    const int32_t r0 = p * kLanes;
    const uint32_t rowFree = pk.freeBits[p];
    double rowAcc[kLanes][3];
    for (int i = 0; i < kLanes; ++i) {
        rowAcc[i][0] = pk.ax[r0 + i];
        rowAcc[i][1] = pk.ay[r0 + i];
        rowAcc[i][2] = pk.az[r0 + i];
    }
    for (; b < e; ++b) {
        const SpringBlock& blk = plan.blocks[b];
        const int32_t c0 = blk.q * kLanes;
        const bool diagonal = blk.q == p;
        const uint32_t colFree = pk.freeBits[blk.q];
        int32_t at = blk.cellAt;
        for (int i = 0; i < kLanes; ++i) {
            const int32_t a = r0 + i;
            for (uint32_t left = static_cast<uint32_t>(blk.present >> (kLanes * i)) & 0xffu;
                 left != 0; left &= left - 1) {
                const int j = __builtin_ctz(left);
                const int32_t c = c0 + j;
                const double rest = plan.rest[at];
                const double k = plan.k ? plan.k[at] : plan.kAll;
                const double damping = plan.damping ? plan.damping[at] : plan.dampingAll;
                ++at;
                const double dx = pk.px[a] - pk.px[c], dy = pk.py[a] - pk.py[c],
                             dz = pk.pz[a] - pk.pz[c];
                const double len = springLength(dx, dy, dz);
                if (!springLengthActs(len)) continue;
                const double wx = pk.vx[a] - pk.vx[c], wy = pk.vy[a] - pk.vy[c],
                             wz = pk.vz[a] - pk.vz[c];
                const double f = springForceAt(len, dx, dy, dz, wx, wy, wz, rest, k, damping);
                const double force[3] = {dx * f, dy * f, dz * f};
                if (isSet(rowFree, i)) addTo(rowAcc[i], force, pk.mass[a]);
                if (!isSet(colFree, j)) continue;
                if (diagonal) {
                    takeFrom(rowAcc[j], force, pk.mass[c]);
                } else {
                    double col[3] = {pk.ax[c], pk.ay[c], pk.az[c]};
                    takeFrom(col, force, pk.mass[c]);
                    pk.ax[c] = col[0];
                    pk.ay[c] = col[1];
                    pk.az[c] = col[2];
                }
            }
        }
    }
    for (int i = 0; i < kLanes; ++i) {
        pk.ax[r0 + i] = rowAcc[i][0];
        pk.ay[r0 + i] = rowAcc[i][1];
        pk.az[r0 + i] = rowAcc[i][2];
    }
}

} // namespace

void springTilesBaseline(const SpringTiles& plan, const SpringPacked& pk, int32_t tileBegin,
                         int32_t tileEnd, int32_t qEnd, int32_t* next) {
    for (int32_t t = tileBegin; t < tileEnd; ++t) {
        const SpringTile& tile = plan.tiles[t];
        int32_t& b = next[t - tileBegin];
        const int32_t e = springRunEnd(plan, tile, b, qEnd);
        if (b < e) tileBlocks(plan, pk, tile.p, b, e);
        b = e;
    }
}
