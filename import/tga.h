// Reader for uncompressed true-colour TGA images.
#pragma once

#include <cstddef>

// Reads fileName into buffer, which holds capacity bytes, or, when buffer is
// null, into a new zero-filled block of at most capacity bytes that the caller
// then owns (release it with std::free). Pixels come out red, green, blue
// (, alpha) in the file's row order. Returns the buffer and writes the width
// and height, or returns null and writes nothing.
unsigned char* loadTGA(const char* fileName, int* width, int* height, unsigned char* buffer,
                       size_t capacity);
