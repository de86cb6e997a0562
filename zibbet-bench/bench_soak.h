// zibbet-bench --soak: checks the bodies after every step of a run and ends
// with a summary. What is checked:
// - a mass that started finite stays finite;
// - a finite mass that collides with the cube stays within its reach
//   (fxLookAtMass, by the rule the state reports count by too);
// - the bodies' kinetic energy stays under the most gravity can give them
//   inside the cube, from the first step on, whatever the drag does;
// - the heap and stack do not grow with the steps: a steady trend fails, a
//   one-off page (first use of a code path, a buffer, a report's formatting)
//   does not (soakJudgeGrowth).
#pragma once

#include <cstdint>
#include <vector>

#include "scenegen/body_promises.h"

// True for the soft bodies: objects in use other than the forces' and the cube.
bool benchIsBody(int oid);

// Heap and stack readings after the warm-up, and what they say.
struct SoakMemorySample {
    long step;
    int64_t bytes;
};
struct SoakGrowth {
    bool judged = false;     // enough readings to judge
    double bytesPerStep = 0; // least-squares slope of the readings
    double overRun = 0;      // the slope times the steps the readings span, bytes
    bool ok = true;          // overRun within kSoakGrowthSlack
};
// What steady growth may add over the readings' span before it fails: more
// than any one-off page or buffer takes, less than a leak of a byte per step
// over a million steps.
constexpr int64_t kSoakGrowthSlack = 256 * 1024;
SoakGrowth soakJudgeGrowth(const std::vector<SoakMemorySample>& samples); // at least 2 readings

void soakBegin(long steps);                              // before the first step
void soakObserve(long step, const FxCubeAngles& before); // after each step
void soakEnd(long steps);                        // after the last step, before anything is printed
bool soakSummary(long steps, double runSeconds); // prints the summary; true when all passed
