// Face image files for the window tests: 0.tga to 5.tga written by code into
// a fresh directory, which becomes the working directory while it is in use.
#pragma once

#include <array>
#include <string>

using FaceRgba = std::array<unsigned char, 4>;
using FacePixelFn = FaceRgba (*)(int file, int column, int row);

// Writes a 256 x 256, 32-bit uncompressed TGA whose pixel (column, row), row 0
// first in the file, is fn(file, column, row).
void writeFaceTga(const std::string& path, int file, FacePixelFn fn);
// A new empty directory under the test temp dir holding 0.tga to 5.tga.
std::string writeFaceFiles(const char* name, FacePixelFn fn);

// Makes dir the working directory until the end of the scope.
struct ScopedWorkDir {
    explicit ScopedWorkDir(const std::string& dir);
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
    std::string previous;
};
