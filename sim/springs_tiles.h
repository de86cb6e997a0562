// The tiles of one object's springs (see springs_kernels.h), built from the
// spring array when its order allows, and the packed copy of the masses that
// the tile kernels read and write.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "sim/springs_kernels.h"

struct SimObject;

// An allocator that leaves new elements unset (the build writes each once)
// and aligns them to a cache line, so that a block's rows are aligned vectors.
template <typename T> struct SpringUnset : std::allocator<T> {
    static constexpr std::align_val_t kAlign{64};
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T* p, size_t) { ::operator delete(p, kAlign); }
    template <typename U> void construct(U* at) { ::new (static_cast<void*>(at)) U; }
    template <typename U, typename... Args> void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};
template <typename T> using SpringArray = std::vector<T, SpringUnset<T>>;

struct SpringTiling {
    int32_t massBlocks = 0; // blocks of kSpringTileMasses masses, the last one padded
    SpringArray<SpringTile> tiles;
    SpringArray<SpringBlock> blocks;      // cell blocks, tile by tile
    SpringArray<double> rest, k, damping; // 64 per cell block; k and damping when mixed
    double kAll = 0.0, dampingAll = 0.0;  // every spring's, when uniform
    bool uniform = true;
};

// Where the count found a tile's springs (row i: [rowFrom[i], rowFrom[i + 1]),
// inert ones among them), where its cell blocks start and the springs before.
struct SpringTileSpan {
    int32_t p;
    int32_t rowFrom[kSpringTileMasses + 1];
    int64_t blockAt, cellAt;
};

// What a tiling of an object's springs will hold, counted before it is built.
struct SpringTilingSize {
    int32_t massBlocks = 0;
    int64_t blocks = 0;  // cell blocks
    int64_t cells = 0;   // acting springs
    bool uniform = true; // every acting spring has the first one's k and damping
    double kAll = 0.0, dampingAll = 0.0;
    std::vector<SpringTileSpan> spans; // per tile
};

// Counts the tiling of the object's springs in one pass; false when their
// order does not allow tiles or no spring acts. May throw std::bad_alloc.
bool springTilingCount(const SimObject& obj, SpringTilingSize& size);
// The bytes a tiling of that size holds, and the scratch of building it.
int64_t springTilingBytes(const SpringTilingSize& size);
// Tiles the object's springs as counted, each array allocated once at its
// size and written once, tiles apart on `threads` threads. May throw
// std::bad_alloc.
void springTilingBuild(const SimObject& obj, const SpringTilingSize& size, SpringTiling& tiling,
                       int threads);
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
