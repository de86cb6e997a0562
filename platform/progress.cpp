// Forwards progress to the listener, if there is one.
#include "platform/progress.h"

void (*simProgressHook)(const SimProgress& progress) = nullptr;

void simProgressReport(const char* stage, double fraction, int64_t springs) {
    if (simProgressHook) simProgressHook({stage, fraction, springs, false});
}

void simProgressReading(long position, long size) {
    if (simProgressHook && size > 0)
        simProgressHook({"Reading scene", static_cast<double>(position) / static_cast<double>(size),
                         -1, false});
}

void simProgressDone() {
    if (simProgressHook) simProgressHook({"", 1.0, -1, true});
}
