// Linux back-end of the platform layer: clock_gettime for the counter,
// sysconf for the processor count, GLX (through freeglut) for GL entry points,
// /proc for resident memory.
#include "platform/platform.h"

#include <GL/freeglut.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kBytesPerKilobyte = 1024;
} // namespace

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

bool platStderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

namespace {

// A "Name:   123 kB" line of /proc/self/status, in bytes, or -1. The peak
// (VmHWM) is taken from the same counters as the current figure (VmRSS), so
// it is never below it.
int64_t statusBytes(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    const size_t len = std::strlen(field);
    char line[256];
    int64_t bytes = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, len) != 0 || line[len] != ':') continue;
        long long kib = 0;
        if (std::sscanf(line + len + 1, "%lld", &kib) == 1) bytes = kib * kBytesPerKilobyte;
        break;
    }
    std::fclose(f);
    return bytes;
}

} // namespace

int64_t platPeakResidentBytes() {
    return statusBytes("VmHWM");
}

int64_t platResidentBytes() {
    return statusBytes("VmRSS");
}

namespace {
// Below this a block is left to fault in as it is written.
constexpr size_t kPrepareMinBytes = size_t{4} << 20;
} // namespace

// Each first touch of a small page is a fault, and on a virtual machine that
// may cost microseconds: a gigabyte of springs would spend seconds on them.
// Large pages need 512 times fewer, and populating maps them in one call.
// Both are advice; a kernel without them leaves the block as it was.
void platPrepareBlock(void* start, size_t bytes) {
    if (!start || bytes < kPrepareMinBytes) return;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return;
    const uintptr_t page = static_cast<uintptr_t>(pageSize);
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(page - 1);
    if (end <= begin) return;
    void* first = reinterpret_cast<void*>(begin);
#ifdef MADV_HUGEPAGE
    madvise(first, end - begin, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    madvise(first, end - begin, MADV_POPULATE_WRITE);
#endif
}
