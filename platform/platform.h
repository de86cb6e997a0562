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
