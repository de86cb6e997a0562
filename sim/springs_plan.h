// The tiled layout of one object's springs (see springs_kernels.h): data only,
// built from the spring array when its order allows, with its fill and the
// bytes a phase streams from it.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/springs_kernels.h"

struct SimObject;

struct SpringLayout {
    int32_t massBlocks = 0; // blocks of kSpringTileMasses masses, the last one padded
    std::vector<SpringTile> tiles;
    std::vector<SpringBlock> blocks;      // cell blocks, tile by tile
    std::vector<double> rest, k, damping; // per cell, padded by a block; k and damping when mixed
    double kAll = 0.0, dampingAll = 0.0;  // every spring's, when uniform
    bool uniform = true;
};

// Lays out the object's springs; false (and the layout empty) when their order
// does not allow tiles or no spring acts. May throw std::bad_alloc.
bool springLayoutBuild(const SimObject& obj, SpringLayout& layout);
// The most bytes a layout of this object can hold: for a check before it is built.
int64_t springLayoutBound(const SimObject& obj);
int64_t springLayoutStreamed(const SpringLayout& layout); // bytes a phase reads from it
SpringTiles springLayoutView(const SpringLayout& layout);  // what the kernels read
