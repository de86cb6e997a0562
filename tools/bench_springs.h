// zibbet-bench's only contact with the spring engine's settings and counters:
// every simSprings* call the runner makes is in bench_springs.cpp, so that a
// change to the engine's interface is met in one place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BenchSprings {
    const char* path = "?";     // the path in use
    int threads = 1;            // threads set for the phase
    int64_t threadedPhases = 0; // tiled phases run on the threads so far
    int64_t tiledPhases = 0;    // tiled phases so far
};

int benchSpringsMaxThreads();                 // the most threads the phase takes
void benchSpringsSetThreads(int n);           // threads for the phase from now on
BenchSprings benchSprings();                  // the engine's settings and counters now
std::vector<std::string> benchSpringsPaths(); // names of the paths this processor runs
// Makes every object's spring plan, so that no step of the run carries it;
// says how far it is on the progress line (a terminal only, as start-up does).
void benchSpringsPrepare();
