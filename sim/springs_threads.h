// Worker threads for the tiled spring phase, which the headless runner may
// ask for. An object's tiles are cut into a grid of tasks that any thread can
// take in an order that keeps the one-thread run's bits; the phase times
// itself with and without the threads and keeps the faster way.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/springs_kernels.h"

struct SpringLayout;

// The tiles cut into parts of consecutive first ends and the mass blocks into
// segments of columns. Task (part, s) runs the cells of the part in segment s;
// it follows tasks (part - 1, s) and (part, s - 1). The segments before
// firstSegment[part] lie left of the part's first rows: nothing to do there.
struct SpringTaskGrid {
    int threads = 0; // made for this many (0: not made)
    std::vector<int32_t> partTiles;    // parts + 1 bounds, in tiles
    std::vector<int32_t> segment;      // segments + 1 bounds, in mass blocks
    std::vector<int32_t> firstSegment; // per part
    int parts() const { return static_cast<int>(partTiles.size()) - 1; }
    int segments() const { return static_cast<int>(segment.size()) - 1; }
};

enum class SpringWay { kOneThread = 0, kThreads = 1 };

// Phases before the slower way is tried again, at first: each try that
// confirms the choice doubles the interval.
constexpr int kSpringFirstProbe = 16;

// Per object: its grid and the recent phase times of either way.
struct SpringSchedule {
    SpringTaskGrid grid;
    double wayNanos[2] = {0.0, 0.0}; // by SpringWay; 0 until timed
    int sinceProbe = 0;
    int probeEvery = kSpringFirstProbe;
    int probing = -1; // the way being tried, or -1
};

void springThreadsSetCount(int threads); // how the waits spin for this many threads
// The way to run the next phase: each is timed once, then the faster runs and
// the other is tried now and then. keep: always the threads (tests).
SpringWay springThreadsChooseWay(SpringSchedule& schedule, bool keep);
void springThreadsTimeWay(SpringSchedule& schedule, SpringWay way, double nanos);
// The grid for this many threads and the workers to run it, made outside the
// phase's timing so that a one-off cost does not keep the threads off.
void springThreadsPrepare(SpringSchedule& schedule, const SpringLayout& layout, int threads);
// One phase on the threads: every tile from its first cell block; next is the
// per-tile cursor.
void springThreadsRun(SpringSchedule& schedule, const SpringLayout& layout,
                      const SpringPacked& packed, SpringTileKernel kernel, int32_t* next);
void springThreadsStop(); // joins the workers
