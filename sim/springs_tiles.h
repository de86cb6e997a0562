// The tiles of one object's springs (see springs_kernels.h), built from the
// spring array when its order allows, and the packed copy of the masses that
// the tile kernels read and write.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/springs_kernels.h"

struct SimObject;

struct SpringTiling {
    int32_t massBlocks = 0; // blocks of kSpringTileMasses masses, the last one padded
    std::vector<SpringTile> tiles;
    std::vector<SpringBlock> blocks;      // cell blocks, tile by tile
    std::vector<double> rest, k, damping; // per cell, padded by a block; k and damping when mixed
    double kAll = 0.0, dampingAll = 0.0;  // every spring's, when uniform
    bool uniform = true;
};

// What a tiling of an object's springs will hold, counted before it is built.
struct SpringTilingSize {
    int32_t massBlocks = 0;
    int64_t tiles = 0;
    int64_t blocks = 0;     // cell blocks
    int64_t cells = 0;      // acting springs
    int64_t widestTile = 0; // the most cell blocks of one tile
    bool uniform = true;    // every acting spring has the first one's k and damping
};

// Counts the tiling of the object's springs in one pass; false when their
// order does not allow tiles or no spring acts. May throw std::bad_alloc.
bool springTilingCount(const SimObject& obj, SpringTilingSize& size);
// The bytes a tiling of that size holds, and the scratch of building it.
int64_t springTilingBytes(const SpringTilingSize& size);
// Tiles the object's springs as counted, each array allocated once at its
// size; false (and the tiling empty) when their order does not allow tiles.
// May throw std::bad_alloc.
bool springTilingBuild(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling);
int64_t springTilingHeld(const SpringTiling& tiling);     // bytes its arrays hold
int64_t springTilingStreamed(const SpringTiling& tiling); // bytes a phase reads from it
SpringTiles springTilingView(const SpringTiling& tiling); // what the kernels read

// The packed copy: one block of rows kept between phases and grown as needed.
bool springPackedReserve(int32_t massBlocks);  // false when the block cannot be had
int64_t springPackedBytes(int32_t massBlocks); // the block's size for so many
const SpringPacked& springPackedRows();
// Positions, velocities, increments and masses into the rows, with fixed and
// unit-mass bits read afresh; the padding is a fixed unit mass at rest.
void springPackIn(const SimObject& obj, int32_t massBlocks);
void springPackOut(SimObject& obj); // the increments back into the records
void springPackedRelease();
