// Linux back-end of the platform layer: clock_gettime for the counter,
// sysconf for the processor count, /proc for resident memory and the running
// program's own path, resource limits, /proc and the cgroup files for the
// memory the process can still get.
#include "platform/platform.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
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

// ---------------------------------------------------------------------------
// Memory room
// ---------------------------------------------------------------------------
// Linux grants far more than it can back: malloc succeeds and the kernel
// kills the process when the pages are first written. The room is read here
// from every limit that can end the process that way, so that a caller can
// refuse a large block before it is touched.

namespace {

// Limits at or above this are "unlimited" written as a number (cgroup v1
// writes its page counter's maximum, close to 2^63).
constexpr int64_t kNoLimitBytes = int64_t{1} << 62;

void lowerRoom(PlatMemoryRoom& room, int64_t bytes, const char* limit) {
    if (bytes < 0) bytes = 0;
    if (bytes < room.bytes) room = PlatMemoryRoom{bytes, limit};
}

// The first number of a one-line file; false when missing or "max".
bool readFileNumber(const std::string& path, int64_t& value) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return false;
    long long v = 0;
    const bool ok = std::fscanf(f, "%lld", &v) == 1;
    std::fclose(f);
    value = v;
    return ok;
}

// Under a resource limit: the limit less what the process already has.
void roomUnderRlimit(PlatMemoryRoom& room, int resource, int64_t usedBytes, const char* limit) {
    rlimit rl{};
    if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return;
    if (usedBytes < 0) return;
    const int64_t cap = rl.rlim_cur > static_cast<rlim_t>(INT64_MAX)
                            ? INT64_MAX
                            : static_cast<int64_t>(rl.rlim_cur);
    lowerRoom(room, cap - usedBytes, limit);
}

// True when the comma-separated list names item.
bool listHas(const std::string& list, const char* item) {
    const size_t len = std::strlen(item);
    for (size_t at = 0; at <= list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        if (end - at == len && list.compare(at, len, item) == 0) return true;
        at = end + 1;
    }
    return false;
}

// Where a cgroup hierarchy is mounted, and the path within it of the
// directory mounted there (not "/" inside a container with its own view).
struct CgroupMount {
    std::string point;
    std::string root;
};

// Finds the cgroup2 mount and the cgroup v1 mount that carries the memory
// controller in /proc/self/mountinfo under root.
void findCgroupMounts(const std::string& root, CgroupMount& v2, CgroupMount& v1) {
    FILE* f = std::fopen((root + "/proc/self/mountinfo").c_str(), "re");
    if (!f) return;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        // id parent dev root point options [optional...] - fstype source superoptions
        std::vector<std::string> fields;
        char* save = nullptr;
        for (char* tok = strtok_r(line, " \n", &save); tok; tok = strtok_r(nullptr, " \n", &save))
            fields.emplace_back(tok);
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (fields.size() < 5 || dash + 3 >= fields.size()) continue;
        const std::string& type = fields[dash + 1];
        if (type == "cgroup2" && v2.point.empty()) {
            v2 = CgroupMount{fields[4], fields[3]};
        } else if (type == "cgroup" && listHas(fields[dash + 3], "memory") && v1.point.empty()) {
            v1 = CgroupMount{fields[4], fields[3]};
        }
    }
    std::fclose(f);
}

// The value of one "key value" line of a cgroup's memory.stat; false when
// the file or the key is missing.
bool readStatField(const std::string& path, const char* key, int64_t& value) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f) return false;
    char name[64];
    long long v = 0;
    bool found = false;
    while (!found && std::fscanf(f, "%63s %lld", name, &v) == 2)
        found = std::strcmp(name, key) == 0;
    std::fclose(f);
    if (found) value = v;
    return found;
}

// The files of a memory cgroup hierarchy, v2 or v1.
struct CgroupFiles {
    const char* limit;        // the group's memory limit
    const char* usage;        // what is charged to it, page cache included
    const char* inactiveFile; // memory.stat's clean file pages the kernel reclaims first
    const char* swapLimit;    // v2: swap on its own; v1: memory and swap together
    const char* swapUsage;
    bool swapWithMemory;  // the swap files count memory and swap together (v1)
    const char* name;     // the limit named in a refusal
    const char* swapName; // the combined limit named in a refusal (v1)
};

const CgroupFiles kCgroupV2{"memory.max",
                            "memory.current",
                            "inactive_file",
                            "memory.swap.max",
                            "memory.swap.current",
                            false,
                            "memory cgroup limit (memory.max)",
                            ""};
const CgroupFiles kCgroupV1{"memory.limit_in_bytes",
                            "memory.usage_in_bytes",
                            "total_inactive_file",
                            "memory.memsw.limit_in_bytes",
                            "memory.memsw.usage_in_bytes",
                            true,
                            "memory cgroup limit (memory.limit_in_bytes)",
                            "memory cgroup limit (memory.memsw.limit_in_bytes)"};

// The room one group leaves. Its usage counts its page cache, which the
// kernel reclaims before it fails a charge: what is spoken for is the
// working set, the usage less the inactive file pages. Past its limit the
// group may push pages out to swap, where it is allowed any (swapFree: the
// system's free swap in bytes).
void roomInCgroup(PlatMemoryRoom& room, const std::string& dir, const CgroupFiles& files,
                  int64_t swapFree) {
    int64_t used = 0;
    if (!readFileNumber(dir + "/" + files.usage, used)) return;
    int64_t inactive = 0;
    if (!readStatField(dir + "/memory.stat", files.inactiveFile, inactive)) inactive = 0;
    const int64_t working = std::max<int64_t>(0, used - inactive);
    int64_t cap = 0;
    if (readFileNumber(dir + "/" + files.limit, cap) && cap < kNoLimitBytes) {
        int64_t swapRoom = swapFree;
        int64_t swapCap = 0, swapUsed = 0;
        if (!files.swapWithMemory && readFileNumber(dir + "/" + files.swapLimit, swapCap) &&
            swapCap < kNoLimitBytes && readFileNumber(dir + "/" + files.swapUsage, swapUsed))
            swapRoom = std::min(swapRoom, std::max<int64_t>(0, swapCap - swapUsed));
        lowerRoom(room, cap - working + swapRoom, files.name);
    }
    // v1: memory and swap together under one more limit.
    int64_t bothCap = 0, bothUsed = 0;
    if (files.swapWithMemory && readFileNumber(dir + "/" + files.swapLimit, bothCap) &&
        bothCap < kNoLimitBytes && readFileNumber(dir + "/" + files.swapUsage, bothUsed))
        lowerRoom(room, bothCap - std::max<int64_t>(0, bothUsed - inactive), files.swapName);
}

// The room under the cgroup at path and under each of its parents up to the
// mount (found under root): a parent's limit binds its children too.
void roomUnderCgroup(PlatMemoryRoom& room, const std::string& root, const CgroupMount& mount,
                     std::string path, const CgroupFiles& files, int64_t swapFree) {
    if (mount.point.empty()) return;
    if (mount.root != "/" && path.compare(0, mount.root.size(), mount.root) == 0)
        path.erase(0, mount.root.size());
    for (;;) {
        roomInCgroup(room, root + mount.point + path, files, swapFree);
        const size_t slash = path.find_last_of('/');
        if (path.empty() || slash == std::string::npos) break;
        path.erase(slash);
    }
}

// MemAvailable and SwapFree from /proc/meminfo under root, in bytes; false
// when MemAvailable is missing.
bool readMeminfo(const std::string& root, int64_t& available, int64_t& swapFree) {
    FILE* f = std::fopen((root + "/proc/meminfo").c_str(), "re");
    if (!f) return false;
    char line[256];
    long long avail = -1;
    long long swap = 0;
    while (std::fgets(line, sizeof line, f)) {
        long long kib = 0;
        if (std::sscanf(line, "MemAvailable: %lld", &kib) == 1) avail = kib;
        if (std::sscanf(line, "SwapFree: %lld", &kib) == 1) swap = kib;
    }
    std::fclose(f);
    available = avail * kBytesPerKilobyte;
    swapFree = std::max<long long>(swap, 0) * kBytesPerKilobyte;
    return avail >= 0;
}

} // namespace

PlatMemoryRoom platMemoryRoom(const std::string& root) {
    PlatMemoryRoom room{INT64_MAX, "none"};

    // The address-space limit counts every mapping, the data limit the
    // private writable ones that are not the stack (VmData; statm's data
    // figure adds the stack).
    roomUnderRlimit(room, RLIMIT_AS, statusBytes("VmSize"), "address-space limit (RLIMIT_AS)");
    roomUnderRlimit(room, RLIMIT_DATA, statusBytes("VmData"), "data limit (RLIMIT_DATA)");

    int64_t available = 0;
    int64_t swapFree = 0;
    const bool known = readMeminfo(root, available, swapFree);

    CgroupMount v2;
    CgroupMount v1;
    findCgroupMounts(root, v2, v1);
    if (FILE* f = std::fopen((root + "/proc/self/cgroup").c_str(), "re")) {
        // "0::/path" for cgroup2, "N:controller,...:/path" for v1.
        char line[4096];
        while (std::fgets(line, sizeof line, f)) {
            char* first = std::strchr(line, ':');
            char* second = first ? std::strchr(first + 1, ':') : nullptr;
            if (!second) continue;
            std::string path(second + 1);
            while (!path.empty() && path.back() == '\n')
                path.pop_back();
            if (path == "/") path.clear();
            const std::string controllers(first + 1, second);
            if (controllers.empty()) {
                roomUnderCgroup(room, root, v2, path, kCgroupV2, swapFree);
            } else if (listHas(controllers, "memory")) {
                roomUnderCgroup(room, root, v1, path, kCgroupV1, swapFree);
            }
        }
        std::fclose(f);
    }

    if (known) lowerRoom(room, available + swapFree, "available memory and free swap");
    return room;
}
