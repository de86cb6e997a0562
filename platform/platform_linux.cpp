// Linux back-end of the platform layer: clock_gettime for the counter,
// sysconf for the processor count, GLX (through freeglut) for GL entry points,
// /proc for resident memory.
#include "platform/platform.h"

#include <GL/freeglut.h>
#include <fcntl.h>
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
// it is never below it. The file is read into a buffer on the stack: a
// reading that allocated could itself be what the next reading sees grow.
int64_t statusBytes(const char* field) {
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[8192];
    size_t used = 0;
    ssize_t n = 0;
    while (used < sizeof text - 1 && (n = read(fd, text + used, sizeof text - 1 - used)) > 0)
        used += static_cast<size_t>(n);
    close(fd);
    text[used] = '\0';
    const size_t len = std::strlen(field);
    for (const char* line = text; *line;) {
        if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
            long long kib = 0;
            if (std::sscanf(line + len + 1, "%lld", &kib) != 1) return -1;
            return kib * kBytesPerKilobyte;
        }
        const char* next = std::strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return -1;
}

} // namespace

int64_t platPeakResidentBytes() {
    return statusBytes("VmHWM");
}

int64_t platResidentBytes() {
    return statusBytes("VmRSS");
}

int64_t platAnonResidentBytes() {
    return statusBytes("RssAnon");
}
