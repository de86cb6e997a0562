// The world as zibbet-bench builds it (start-up's stages, quiet unless
// asked), keeps its start so that every run begins from it, counts it and
// reports its state between steps.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "scenegen/body_promises.h"
#include "sim/world.h"
#include "zibbet-bench/bench_plot.h"
#include "zibbet-bench/bench_runs.h"

// What the steps change, as the world stood when it was loaded. The springs,
// and so the spring plans made from them, stay put.
struct BenchWorldStart {
    std::vector<std::vector<SimMass>> masses; // by oid
    std::vector<std::vector<SimPoly>> polys;  // the cube's face normals move with it
    FxCubeAngles angles = {0.0, 0.0, 0.0};
    std::array<int32_t, 2> mouse = {0, 0};
};

// The world from a scene file, as start-up makes it before the window opens;
// false after printing why when the file cannot be read.
bool benchBuildWorld(const char* scene, bool verbose);
// A fresh world from a scene held in memory, read through a file that lives
// in memory only; false after printing why.
bool benchBuildWorldFromMemory(const char* name, const std::vector<uint8_t>& bytes, bool verbose);

BenchWorkload benchCountWorld();                      // masses and springs of every object
std::vector<BenchPlan> benchPlans();                  // the objects' spring plans now
BenchWorldStart benchKeepStart();                     // the world's start as it stands
void benchRestoreStart(const BenchWorldStart& start); // back to it

// Remembers the bodies' positions before the step that ends with a report.
void benchRememberPositions();
// Prints the state line for `step`: the soft bodies' kinetic and spring
// energy, their centre, how far their masses moved in the step on average,
// and the masses beyond the cube or not finite; returns its figures for the
// plot. `before` holds the cube's angles before the step, null before the
// first.
PlotSample benchReportState(long step, const FxCubeAngles* before);
