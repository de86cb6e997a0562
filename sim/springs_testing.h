// Settings and readings of the spring engine that only tests and benchmarks
// use. Each change of a setting makes every plan anew.
#pragma once

#include "sim/springs.h" // and <cstdint>

// Every phase runs this way (its path and threads; the tiles where the
// springs' order allows them, the general loop elsewhere) without timing any;
// null: the planner decides again.
void springsTestForce(const SimSpringWay* way);
// The planner times the tiles on this path only, as when ZIBBET_ISA names it;
// false, and nothing changed, when this processor cannot run the path.
bool springsTestOnlyPath(SimSpringPath path);
// The settings as at the start: nothing forced, the paths as ZIBBET_ISA
// says, one thread.
void springsTestReset();
// What the object's last phase ran; false before its first phase.
bool springsTestLastWay(int oid, SimSpringWay* way);
int64_t springsTestStreamedBytes(int oid); // tile data a phase of the object reads (0: general)
