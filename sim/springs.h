// The spring phase's engine. For each object it keeps a plan made from the
// spring array (rebuilt whenever the object's stamp moves): a tiled layout run
// on packed copies of the masses by a kernel for the processor's widest vectors
// when the springs are sorted by their ends, and otherwise the general batched
// loop over the records. Every path gives the bits of the plain one-spring-at-
// a-time loop: each mass receives the same additions in the same order.
#pragma once

#include <cstdint>

// Vector paths of the tile kernel.
enum SimSpringPath {
    SIM_PATH_BASELINE = 0, // any processor
    SIM_PATH_AVX2 = 1,
    SIM_PATH_AVX512 = 2,
    SIM_PATH_COUNT = 3
};

// How an object's springs are laid out for the phase.
enum SimSpringLayout {
    SIM_LAYOUT_NONE = -1,   // no phase has run yet
    SIM_LAYOUT_AUTO = 0,    // the planner's choice: tiled where the order allows and it is faster
    SIM_LAYOUT_GENERAL = 1, // the general loop
    SIM_LAYOUT_TILED = 2    // tiled whenever the order allows it
};

constexpr int SIM_MAX_SPRING_THREADS = 64;
constexpr int SIM_MAX_SPRING_CANDIDATES = 8;

// A way of running an object's spring phase. When an object's plan is made,
// the planner times each way that applies on the object's own springs and
// keeps the fastest; every way gives the same bits.
struct SimSpringCandidate {
    SimSpringLayout layout = SIM_LAYOUT_GENERAL; // GENERAL or TILED
    SimSpringPath path = SIM_PATH_BASELINE;      // the tile kernel's
    int threads = 1;
    double nanos = 0.0; // the fastest of its timed phases
};

struct SimSpringsConfig {
    SimSpringPath path = SIM_PATH_BASELINE; // ZIBBET_ISA's, or the widest this processor runs
    int threads = 1;                        // 1..SIM_MAX_SPRING_THREADS
    // With more than one thread, a phase runs on them only while that is
    // faster than one thread alone (a busy machine may have no processor to
    // spare); true runs every phase on them (tests).
    bool keepThreads = false;
    SimSpringLayout layout = SIM_LAYOUT_AUTO; // GENERAL or TILED force a layout
    // The planner may time every path this processor runs (false when
    // ZIBBET_ISA names one: then only `path`).
    bool planPaths = true;
};

struct SimSpringsStats {
    int64_t tiledPhases = 0;    // phases of tiled objects so far
    int64_t threadedPhases = 0; // of them, those run on the threads
    // Of the object asked about:
    SimSpringLayout lastLayout = SIM_LAYOUT_NONE; // what its last phase ran
    SimSpringPath path = SIM_PATH_BASELINE;       // the tile kernel it runs
    int64_t streamedBytes = 0;                    // tiled layout read per phase (0: general)
    int candidates = 0;                           // ways the planner timed, and which won
    SimSpringCandidate candidate[SIM_MAX_SPRING_CANDIDATES];
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

void simSpringsApply(int oid);   // the spring phase of one object (what simApplySprings runs)
void simSpringsPrepare(int oid); // makes the object's plan now rather than in its next phase

SimSpringsConfig simSpringsConfig(); // the settings in force
// Takes the settings, threads clamped; false, and nothing changed, when this
// processor cannot run the path.
bool simSpringsConfigure(const SimSpringsConfig& config);
SimSpringsStats simSpringsStats(int oid); // totals, and the object's figures when oid has a plan

const char* simSpringsPathName(SimSpringPath path); // "baseline", "avx2", "avx512" ("?" otherwise)
bool simSpringsPathSupported(SimSpringPath path);   // true when this processor can run the path

void simSpringsRelease(); // drops every plan and packed copy and stops the worker threads
