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

// What a layout of an object's springs will hold, counted before it is built.
struct SpringLayoutSize {
    int32_t massBlocks = 0;
    int64_t tiles = 0;
    int64_t blocks = 0;     // cell blocks
    int64_t cells = 0;      // acting springs
    int64_t widestTile = 0; // the most cell blocks of one tile
    bool uniform = true;    // every acting spring has the first one's k and damping
};

// Counts the layout of the object's springs in one pass; false when their
// order does not allow tiles or no spring acts. May throw std::bad_alloc.
bool springLayoutCount(const SimObject& obj, SpringLayoutSize& size);
// The bytes a layout of that size holds, and the scratch of building it.
int64_t springLayoutBytes(const SpringLayoutSize& size);
// Lays out the object's springs as counted, each array allocated once at its
// size; false (and the layout empty) when their order does not allow tiles.
// May throw std::bad_alloc.
bool springLayoutBuild(const SimObject& obj, const SpringLayoutSize& size, SpringLayout& layout);
int64_t springLayoutHeld(const SpringLayout& layout);     // bytes its arrays hold
int64_t springLayoutStreamed(const SpringLayout& layout); // bytes a phase reads from it
SpringTiles springLayoutView(const SpringLayout& layout); // what the kernels read
