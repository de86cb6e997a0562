// Settings, readings and operations of the spring engine that only tests and
// benchmarks use. Each change of a setting makes every plan anew.
#pragma once

#include "sim/springs.h" // and <cstdint>

// Every phase runs this way (its path and threads; the tiles where the
// springs' order allows them, the general loop elsewhere) without timing any;
// null: the planner decides again.
void springsTestForce(const SimSpringWay* way);
// The settings as at the start: nothing forced, the paths as ZIBBET_ISA
// says, one thread.
void springsTestReset();
// What the object's last phase ran; false before its first phase.
bool springsTestLastWay(int oid, SimSpringWay* way);
int64_t springsTestStreamedBytes(int oid); // tile data a phase of the object reads (0: general)

void simSpringsPrepare(int oid); // the object's plan now rather than in its next phase
bool simSpringsPathSupported(SimSpringPath path); // true when this processor can run the path
void simSpringsRelease(); // drops every plan and packed copy and stops the worker threads
