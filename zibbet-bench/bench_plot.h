// The picture zibbet-bench draws of a run: one plain SVG file with the soft
// bodies' energies and centre height against the step, and a bar of how the
// step's time split between its three phases.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "zibbet-bench/bench_runs.h"

// One periodic report of the run.
struct PlotSample {
    long step;      // whole steps done when it was taken
    double kinetic; // kinetic energy of the soft bodies, mass * (units/step)^2
    double spring;  // energy stored in their springs, same unit
    double height;  // their centre's y, world units
};

// Writes the picture to out; title goes on top of it; phases: the time spent
// in each phase over the run, any one unit. False when a write fails.
bool plotWriteSvg(std::FILE* out, const std::string& title, const std::vector<PlotSample>& samples,
                  const BenchPhaseSeconds& phases);
