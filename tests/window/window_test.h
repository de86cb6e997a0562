// What the window tests share: a GL window showing frames set up by the
// program's own display code, and face image files in a fresh directory.
#pragma once

// gtest first: Xlib defines macros (None, Bool, Status) that clash with it.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/harness/xclient.h"
#include "tests/unit/world_fixture.h"

constexpr int GLW_SIZE = 200; // the test window, pixels both ways

// A frame as the program's display sets it up: buffers cleared, the
// projection of a GLW_SIZE window, the frame state, light and camera.
void glBeginTestFrame();
// The pixel where a world point lands, and its coordinates.
bool glWindowPoint(double x, double y, double z, int* px, int* py);
XRgb glPixelAtWorld(double x, double y, double z);
bool rgbNear(const XRgb& a, const XRgb& b, int tolerance); // every channel within tolerance
inline std::ostream& operator<<(std::ostream& out, const XRgb& c) {
    return out << c.r << "," << c.g << "," << c.b;
}

// A fresh world and the window; skips without an X display.
class GlWindowTest : public WorldTest {
  protected:
    void SetUp() override;
};

using FaceRgba = std::array<unsigned char, 4>;
using FacePixelFn = FaceRgba (*)(int file, int column, int row);
// Face file k in one colour, every channel full or empty: a wall, a texel or
// a reflection tells its file, and none of them is grey.
extern const XRgb kFaceColour[6];
FaceRgba solidFace(int file, int column, int row); // kFaceColour[file], opaque
// Writes k.tga, 256 x 256 at 32 bits with pixel (column, row) = fn(k, column,
// row), row 0 first in the file, for each file k whose bit is not set in
// missing, into the existing dir.
void writeFaceFiles(const std::string& dir, FacePixelFn fn, unsigned missing = 0);
