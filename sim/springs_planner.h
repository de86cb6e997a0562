// The one place that decides how an object's spring phase runs, and runs it
// so. When the plan is made it times each way that applies on a sample of the
// object's own springs (the general loop; the tiles on each vector path, on
// one thread and on the threads) and keeps the fastest; every way gives the
// same bits, so the choice only ever changes the speed. The threads' grid
// follows from the tiles and the thread count by a rule.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/springs.h"
#include "sim/springs_kernels.h"

struct SimObject;
struct SpringTiling;

// The tiles cut for the threads: parts of consecutive tiles (the grid's rows)
// and segments of mass blocks (its columns). Task (part, s) runs the part's
// cells whose columns lie in segment s; segments left of a part's first rows
// hold none of its cells.
struct SpringGrid {
    std::vector<int32_t> partTiles;    // parts + 1 bounds, in tiles
    std::vector<int32_t> segment;      // segments + 1 bounds, in mass blocks
    std::vector<int32_t> firstSegment; // per part
};

struct SpringPlanRequest {
    const SpringTiling* tiling = nullptr;        // null: only the general loop applies
    const SpringTileKernel* kernels = nullptr;   // by path; null where not built
    bool paths[SIM_PATH_COUNT] = {};             // the paths to time the tiles on
    int threads = 1;                             // more: the tiles on the threads too
    const SimSpringWay* forced = nullptr;        // run this way, time none
    const SimSpringsPlanFigures* known = nullptr; // ways timed before on these tiles: kept
    double progressFrom = 0.0, progressTo = 0.0; // of "Making spring plans", reported per way
};

// How one object's phase runs, as decided.
struct SpringPlan {
    SimSpringWay way;
    const SpringTiling* tiling = nullptr; // for the tiles
    SpringTileKernel kernel = nullptr;
    SpringGrid grid;               // the tiles, cut for the threads when more than one
    std::vector<int32_t> next;     // per tile: the next cell block in this phase
    SimSpringsPlanFigures figures; // the ways timed
};

// Decides and prepares everything a phase needs (grid, workers), so that no
// phase allocates; leaves the object's records as they were. With tiles, the
// packed rows must be reserved. May throw std::bad_alloc.
void springPlanMake(const SimObject& obj, const SpringPlanRequest& request, SpringPlan& plan);
// One phase, the way the plan says; the threads it ran on. Threads that
// cannot be had leave the tiles on one.
int springPlanRun(SimObject& obj, SpringPlan& plan);
