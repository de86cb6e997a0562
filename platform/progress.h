// Progress of long import work (reading a scene, building a body's springs),
// handed to a listener that the program installs. Nothing here writes
// anywhere: whether and how progress is shown is the listener's business.
#pragma once

#include <cstdint>

struct SimProgress {
    const char* stage; // what is being done, e.g. "Building springs"
    double fraction;   // of the whole task, 0 to 1
    int64_t springs;   // springs found or made so far, -1 when the stage makes none
    bool done;         // the task has ended (finished or failed)
};

// The listener, or null (the default) when nobody listens.
extern void (*simProgressHook)(const SimProgress& progress);

void simProgressReport(const char* stage, double fraction, int64_t springs); // a task goes on
void simProgressReading(long position, long size); // the scene reader is at position of size
void simProgressDone();                            // the task has ended
