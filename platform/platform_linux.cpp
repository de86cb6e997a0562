// Linux back-end of the platform layer: clock_gettime for the counter,
// sysconf for the processor count, GLX (through freeglut) for GL entry points.
#include "platform/platform.h"

#include <GL/freeglut.h>
#include <time.h>
#include <unistd.h>

namespace {
constexpr int64_t kNanosPerSecond = 1000000000;
}

int64_t platCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

int64_t platCounterFrequency() {
    return kNanosPerSecond;
}

int platProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

void* platGLProcAddress(const char* name) {
    return reinterpret_cast<void*>(glutGetProcAddress(name));
}
