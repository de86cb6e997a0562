// The small operating-system layer: everything else is portable C++ and GL.
#pragma once

#include <cstdint>

int64_t platCounter();                     // monotonic high-resolution count
int64_t platCounterFrequency();            // counts per second of platCounter
int platProcessorCount();                  // processors online, at least 1
void* platGLProcAddress(const char* name); // GL entry point, or null when unknown
