// The packed copy of an object's masses that the tile kernels read and write:
// one block of rows kept between phases and grown as needed.
#pragma once

#include <cstdint>

#include "sim/springs_kernels.h"

struct SimObject;

bool springPackedReserve(int32_t massBlocks); // false when the block cannot be had
int64_t springPackedBytes(int32_t massBlocks); // the block's size for so many
const SpringPacked& springPackedRows();
// Positions, velocities, increments and masses into the rows, with fixed and
// unit-mass bits read afresh; the padding is a fixed unit mass at rest.
void springPackIn(const SimObject& obj, int32_t massBlocks);
void springPackOut(SimObject& obj); // the increments back into the records
void springPackedRelease();
