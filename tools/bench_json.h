// zibbet-bench --json: the run's figures and the machine they came from, as
// one JSON object.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/bench_springs.h"

struct BenchRunFigures {
    const char* scene = "";
    long drag[2] = {0, 0};
    long steps = 0;
    int64_t masses = 0;
    int64_t springs = 0;
    double runSeconds = 0.0;
    double forces = 0.0, springPhase = 0.0, motion = 0.0; // phase seconds
    double plans = 0.0;                                   // making the spring plans, before the run
    BenchSprings engine; // the spring engine's settings and counters after the run
    uint64_t digest = 0;
};

void benchWriteJson(std::FILE* f, const BenchRunFigures& run); // the object, then a newline
