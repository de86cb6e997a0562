// The GLUT window that renderer and texture tests draw into, opened once per
// test program on the Xvfb display, and a fixture with a fresh world.
#pragma once

#include <GL/gl.h>

#include "../unit/world_fixture.h"
#include "xvfb_harness.h"

constexpr int GLW_WIDTH = 200;
constexpr int GLW_HEIGHT = 200;
extern const char* const glWindowTitle;

bool glWindowOpen(); // glutInit and the window on first call; false when there is no display
void glWindowPump(); // lets GLUT handle pending window-system events

// A frame as the program's display sets it up: cleared buffers, light model,
// GL_NORMALIZE, lighting, the projection of a 200 x 200 window and the camera
// 48 units up the z axis.
void glBeginTestFrame();
XRgb glPixel(int x, int y);                        // back buffer, y counted from the bottom
XRgb glPixelAtWorld(double x, double y, double z); // pixel where a world point lands
bool glWindowPoint(double x, double y, double z, int* px, int* py); // that pixel's coordinates
bool rgbNear(const XRgb& a, const XRgb& b, int tolerance); // every channel within tolerance

class GlWindowTest : public WorldTest {
  protected:
    static void SetUpTestSuite();
    void SetUp() override;
};
