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

// Tiles the object's springs; false (and the tiling empty) when their order
// does not allow tiles or no spring acts. May throw std::bad_alloc.
bool springTilingBuild(const SimObject& obj, SpringTiling& tiling);
// The most bytes a tiling of this object can hold: for a check before it is built.
int64_t springTilingBound(const SimObject& obj);
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
