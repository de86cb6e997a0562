// Linux back-end of the platform layer: clock_gettime for the counter,
// sysconf for the processor count, /proc for resident memory and the running
// program's own path.
#include "platform/platform.h"

#include <sys/mman.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kBytesPerKilobyte = 1024;
constexpr size_t kMaxPathBytes = 1 << 16; // longer than any path Linux resolves
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

std::string platExecutableDir() {
    // The link names the file the kernel started, symbolic links resolved:
    // a program reached through a link in another folder still finds its own.
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return "";
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            const size_t slash = path.rfind('/');
            if (path.empty() || path[0] != '/' || slash == std::string::npos) return "";
            return slash == 0 ? "/" : path.substr(0, slash);
        }
        if (buf.size() >= kMaxPathBytes) return "";
        buf.resize(buf.size() * 2);
    }
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

int64_t platAnonResidentBytes() {
    return statusBytes("RssAnon");
}
