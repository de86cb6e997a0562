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
    SIM_PATH_BASELINE = 0, // any x86-64 processor
    SIM_PATH_AVX2 = 1,
    SIM_PATH_AVX512 = 2,
    SIM_PATH_COUNT = 3
};

// How an object's springs are laid out for the phase.
enum SimSpringLayout {
    SIM_LAYOUT_AUTO = 0,    // tiled when the order allows it and the tiles are full enough
                            // for the path
    SIM_LAYOUT_GENERAL = 1, // always the general loop
    SIM_LAYOUT_TILED = 2    // tiled whenever the order allows it
};

constexpr int SIM_MAX_SPRING_THREADS = 64;

void simSpringsApply(int oid);   // the spring phase of one object (what simApplySprings runs)
void simSpringsPrepare(int oid); // makes the object's plan now rather than in its next phase

int simSpringsPath();                     // the path in use: ZIBBET_ISA or the widest available
const char* simSpringsPathName(int path); // "baseline", "avx2", "avx512" ("?" otherwise)
bool simSpringsPathSupported(int path);   // true when this processor can run the path
bool simSpringsUsePath(int path);         // runs that path from now on; false if unsupported

int simSpringsSetThreads(int n); // threads for the phase, clamped to 1..SIM_MAX_SPRING_THREADS
int simSpringsThreads();         // threads set (1 unless a tool asked for more)
// With more than one thread set, a phase runs on them only while that is
// faster than one thread alone (a busy machine may have no processor to
// spare); true runs every phase on them (tests).
void simSpringsKeepThreads(bool keep);
int64_t simSpringsThreadedPhases(); // phases (of tiled objects) run on the threads so far
int64_t simSpringsTiledPhases();    // phases of tiled objects so far

void simSpringsSetLayout(int layout);     // SIM_LAYOUT_*, for tests and benchmarks; AUTO by default
int simSpringsLayoutOf(int oid);          // layout the object's last phase ran, or -1
int64_t simSpringsStreamedBytes(int oid); // bytes of tiled plan read per phase (0: general)

void simSpringsRelease(); // drops every plan and packed copy and stops the worker threads
