// The spring phase's planner: when an object's plan is made it times each way
// of running the phase that applies (the general loop, the tiles on each
// vector path, the tiles on the threads) on the object's own springs, within
// a small budget, and keeps the fastest. Every way gives the same bits, so the
// choice only ever changes the speed.
#pragma once

#include <cstdint>

#include "sim/springs.h"
#include "sim/springs_kernels.h"

struct SimObject;
struct SpringLayout;
struct SpringSchedule;

struct SpringPlanRequest {
    const SpringLayout* layout = nullptr;     // null: only the general loop applies
    const SpringTileKernel* kernels = nullptr; // by path
    bool paths[SIM_PATH_COUNT] = {};          // the paths to time the tiles on
    int threads = 1;                          // more: the tiles on the threads too
};

struct SpringPlanChoice {
    SimSpringCandidate candidate[SIM_MAX_SPRING_CANDIDATES];
    int candidates = 0;
    int chosen = -1; // the fastest
};

// Leaves the object's records as they were. With a layout, the packed rows
// must be reserved and `next` must have a cursor per tile; the schedule
// learns the times of one thread and the threads on the chosen path.
SpringPlanChoice springPlan(const SimObject& obj, const SpringPlanRequest& request,
                            SpringSchedule& schedule, int32_t* next);
