// The small operating-system layer: everything else is portable C++ and GL.
// It calls no GL; the GL entry-point lookup is platform/platform_gl.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

int64_t platCounter();           // monotonic high-resolution count
int64_t platCounterFrequency();  // counts per second of platCounter
int platProcessorCount();        // processors online, at least 1
bool platStderrIsTerminal();     // true when standard error is a terminal
int64_t platPeakResidentBytes(); // the process's peak resident memory so far, bytes, or -1
int64_t platResidentBytes();     // the process's resident memory now, bytes, or -1
std::string platExecutableDir(); // folder of the running program, absolute, or empty when unknown
// Advice for a block about to be written in full: large pages where the system
// offers them, and the pages mapped now rather than one fault at a time.
void platPrepareBlock(void* start, size_t bytes);
int64_t platAnonResidentBytes(); // resident heap and stack, no file-backed pages, bytes, or -1

// What this process can still obtain, and the limit that gave that figure.
struct PlatMemoryRoom {
    int64_t bytes;     // bytes still obtainable; INT64_MAX when nothing limits them
    const char* limit; // the limit that applied, a static text ("none" when nothing did)
};
// The smallest room left under the address-space and data limits, the memory
// cgroup's limit (and its parents') and the available memory with free swap.
// Reads /proc and /sys: meant for large requests, not for every small one.
// The cgroups, the process's groups and the memory figures are read under
// root (empty: the system's own; tests lay out trees of their own).
PlatMemoryRoom platMemoryRoom(const std::string& root = "");
