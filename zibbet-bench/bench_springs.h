// zibbet-bench's only contact with the spring engine's settings and counters:
// every simSprings* call the runner makes is in bench_springs.cpp, so that a
// change to the engine's interface is met in one place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A way of running an object's spring phase that the planner timed.
struct BenchCandidate {
    std::string way; // "tiles avx512 x1" (path and threads) or "general"
    std::string layout, path;
    int threads = 1;
    double seconds = 0.0; // its fastest timed phase
};

// An object's plan: the candidates timed and the one chosen (-1: none timed,
// as when a layout was forced or the tiles could not be had).
struct BenchPlan {
    int oid = -1;
    int64_t springs = 0;
    std::vector<BenchCandidate> candidates;
    int chosen = -1;
    int64_t bytes = 0; // asked for by its tiled layout before it was built (0: none)
    // The tiled layout could not be had: the object runs on the general loop.
    bool refused = false;
    int64_t available = -1; // then: bytes the process could still get, or -1 when unknown
    std::string limit;      // then: the limit that applied
};

struct BenchSprings {
    const char* path = "?";     // the widest path in use
    int threads = 1;            // threads set for the phase
    int64_t threadedPhases = 0; // tiled phases run on the threads so far
    int64_t tiledPhases = 0;    // tiled phases so far
    std::vector<BenchPlan> plans;
};

int benchSpringsMaxThreads();                 // the most threads the phase takes
void benchSpringsSetThreads(int n);           // threads for the phase from now on
BenchSprings benchSprings();                  // the engine's settings, counters and plans now
double benchSpringForceDivisor();             // the spring law's: the force is N / this
std::vector<std::string> benchSpringsPaths(); // names of the paths this processor runs
// Makes every object's spring plan, so that no step of the run carries it;
// the engine says how far it is on the progress line (a terminal only).
void benchSpringsPrepare();
