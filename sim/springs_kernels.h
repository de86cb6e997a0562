// Inside the spring phase: the tiled springs and the packed copy of the
// masses that the tile kernels read, and the kernels themselves, one per
// vector width. Only sim/springs*.cpp include this. Plain records and
// pointers, and helpers of internal linkage only: the kernels are compiled
// with different instruction sets, and an inline function or a template
// shared with them could be emitted with wide instructions and then picked by
// the linker for code that runs on any processor.
//
// The tiles. Masses are grouped in blocks of eight consecutive indices. When
// every spring that can act has a < b and the springs are strictly
// increasing in (a, b), tile p holds the springs whose first end lies in mass
// block p, as one 8 x 8 cell block (p, q) for every mass block q >= p that
// holds second ends. In the plain loop each mass receives first the
// subtractions from earlier first ends in ascending order, then its own first-
// end additions in ascending second end. A kernel keeps that order by taking a
// tile's blocks in ascending q, and within a block first every row, in order,
// with the columns as lanes (the columns' subtractions), then every column, in
// order, with the rows as lanes (the rows' additions). The diagonal block
// (p, p) has cells above its diagonal only: its columns' subtractions all come
// from earlier rows and land before the rows' additions start. Any schedule
// that keeps, for every mass block X, the order (0, X), (1, X), ..., (X, X),
// (X, X + 1), ... of the blocks that touch it gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSpringTileMasses = 8; // masses per block, rows per tile, columns per cell block
constexpr int kSpringBlockCells = kSpringTileMasses * kSpringTileMasses;

struct SpringTile {
    int32_t p;                    // mass block of the first ends
    int32_t blockBegin, blockEnd; // cell blocks, ascending q >= p
};

// The springs from rows of tile p to the columns of mass block q >= p.
// Bit 8i + j of `present` is the cell (row 8p + i, column 8q + j); `presentT`
// is the same matrix transposed (bit 8j + i). `cellAt` counts the springs
// of the blocks before this one, for weighing tiles.
struct SpringBlock {
    uint64_t present;
    uint64_t presentT;
    int32_t q;
    int32_t cellAt;
};

// The tiles as the kernels see them. Cell block b's values lie at [64b,
// 64b + 64), row by row, absent cells zero, so that a block row is whole
// aligned vectors; real bodies' blocks are mostly full (52 of 64 on the moon).
struct SpringTiles {
    const SpringTile* tiles;
    const SpringBlock* blocks;
    const double* rest;    // per cell
    const double* k;       // per cell, or null when every spring has kAll
    const double* damping; // per cell, or null when every spring has dampingAll
    double kAll, dampingAll;
};

// The object's masses packed for the kernels, eight at a time: each
// coordinate of a mass block is a row of eight doubles, and a block's rows lie
// together, so that one pointer reaches all of them. The last block is padded
// with fixed unit masses at rest at the origin. acc is copied in before the
// phase and back after it. Bit i of freeBits[q] is set when mass 8q + i is not
// fixed; of unitBits[q] when its mass is exactly 1.0 (x / 1.0 == x, so the
// division is skipped for such masses).
struct alignas(64) SpringMassBlock {
    double px[kSpringTileMasses], py[kSpringTileMasses], pz[kSpringTileMasses];
    double vx[kSpringTileMasses], vy[kSpringTileMasses], vz[kSpringTileMasses];
    double ax[kSpringTileMasses], ay[kSpringTileMasses], az[kSpringTileMasses];
    double mass[kSpringTileMasses];
};

struct SpringPacked {
    SpringMassBlock* blocks;
    const uint8_t* freeBits;
    const uint8_t* unitBits;
};

// For each tile t in [tileBegin, tileEnd), runs its cell blocks from
// next[t - tileBegin] on, up to the first whose column block is qEnd or
// later, and leaves next[t - tileBegin] there. One call with every tile at its
// first block and qEnd past the last mass block runs the whole phase.
using SpringTileKernelFn = void(const SpringTiles& tiles, const SpringPacked& pk, int32_t tileBegin,
                                int32_t tileEnd, int32_t qEnd, int32_t* next);
using SpringTileKernel = SpringTileKernelFn*;

// One per width, each built from sim/springs_wide.inc for its instruction set;
// those of another architecture are not built.
SpringTileKernelFn springTilesScalar, springTilesSse2, springTilesNeon, springTilesAvx2,
    springTilesAvx512;

struct SimObject;
// The general loop: springs in any order, on the mass records themselves.
void springsGeneral(SimObject& obj);
