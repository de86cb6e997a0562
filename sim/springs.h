// The spring phase's engine. For each object it keeps a plan, made from the
// spring array at the end of start-up (and again whenever the object's stamp
// moves): either the tiles, run on packed copies of the masses by a kernel of
// one vector width, when the springs are sorted by their ends, or the general
// batched loop over the records. A planner times each way that applies on the
// object's own springs and keeps the fastest. Every way gives the bits of the
// plain one-spring-at-a-time loop: each mass receives the same additions in
// the same order.
#pragma once

#include <cstdint>

// Vector paths of the tile kernel, by width.
enum SimSpringPath {
    SIM_PATH_SCALAR = 0, // one lane, any processor
    SIM_PATH_SSE2 = 1,   // two lanes, every x86-64
    SIM_PATH_NEON = 2,   // two lanes, every aarch64
    SIM_PATH_AVX2 = 3,   // four lanes
    SIM_PATH_AVX512 = 4, // eight lanes
    SIM_PATH_COUNT = 5
};

// How a way lays out the springs for the phase.
enum SimSpringLayout {
    SIM_LAYOUT_GENERAL = 0, // the records in any order: the general loop
    SIM_LAYOUT_TILED = 1    // 8 x 8 blocks of sorted springs on packed masses
};

constexpr int SIM_MAX_SPRING_THREADS = 64;
constexpr int SIM_MAX_SPRING_WAYS = 8;

// A way of running an object's spring phase.
struct SimSpringWay {
    SimSpringLayout layout = SIM_LAYOUT_GENERAL;
    SimSpringPath path = SIM_PATH_SCALAR; // the tile kernel's
    int threads = 1;                      // the tiles' threads
    double nanos = 0.0;                   // the fastest of its timed phases, when timed
};

// One object's plan: the ways the planner timed and the one it chose.
struct SimSpringsPlanFigures {
    int ways = 0; // 0: no plan, or one made without timing
    SimSpringWay way[SIM_MAX_SPRING_WAYS];
    int chosen = -1;
    // The memory of its tiled plan: what was asked for before the layout was
    // built (the build's scratch included), and what the layout, its cursors
    // and the packed copy held. When the plan could not be had the object
    // runs on the general loop, with the same bits, and the world stays whole.
    int64_t planBytes = 0;
    int64_t heldBytes = 0;
    bool planRefused = false;
    int64_t availableBytes = -1; // when refused: bytes the process could still get, or -1
    const char* limit = "";      // when refused: the limit that applied
};

// The engine's work so far, over every object.
struct SimSpringsCounters {
    int64_t plansMade = 0;      // plans made, at start-up or after a change
    int64_t tiledPhases = 0;    // phases run on the tiles
    int64_t threadedPhases = 0; // of them, those run on more than one thread
};

void simSpringsApply(int oid); // the spring phase of one object (what simApplySprings runs)
// Every object's plan, reporting progress as "Making spring plans": the last
// stage of start-up, so that no phase makes one.
void simSpringsPrepareAll();

SimSpringPath simSpringsPath();       // the widest path this processor runs, or ZIBBET_ISA's
int simSpringsThreads();              // threads the tiles may take
void simSpringsSetThreads(int count); // 1..SIM_MAX_SPRING_THREADS; plans are made anew
SimSpringsCounters simSpringsCounters();
SimSpringsPlanFigures simSpringsPlanOf(int oid);

const char* simSpringsPathName(SimSpringPath path); // "scalar", "sse2", "neon", "avx2", "avx512"
