#include "window_test.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstdlib>

#include "demo/callbacks.h"
#include "render/face_images.h"
#include "scenegen/tga_writer.h"
#include "tests/support/run_command.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// glutInit and the window on the first call; false without an X display.
bool glWindowOpen() {
    static const bool open = [] {
        if (!std::getenv("DISPLAY")) return false;
        static char arg0[] = "zibbet_window_tests";
        static char* argv[] = {arg0, nullptr};
        int argc = 1;
#if defined(__SANITIZE_ADDRESS__)
        // Mesa keeps some of what it allocates for a context and its first
        // drawing past the context's end: the driver's, not ours.
        __lsan_disable();
#endif
        glutInit(&argc, argv);
        glutInitWindowPosition(0, 0);
        glutInitWindowSize(GLW_SIZE, GLW_SIZE);
        glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
        glutCreateWindow("zibbet window tests");
        glutDisplayFunc([] {});
        for (int i = 0; i < 20; ++i)
            glutMainLoopEvent();
        // A first triangle brings up the driver's drawing path (its shader
        // compiler's set-up) here rather than in a test.
        glBegin(GL_TRIANGLES);
        glVertex2f(-0.5f, -0.5f);
        glVertex2f(0.5f, -0.5f);
        glVertex2f(0.0f, 0.5f);
        glEnd();
        glFinish();
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
        // The context ends before the leak check at exit looks, as in the program.
        std::atexit(glutExit);
        return true;
    }();
    return open;
}

} // namespace

void glBeginTestFrame() {
    reshape(GLW_SIZE, GLW_SIZE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    displaySetUp();
}

// The back buffer's pixel, y counted from the bottom.
static XRgb glPixel(int x, int y) {
    unsigned char rgb[3] = {};
    glFinish();
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, 1, 1, GL_RGB, GL_UNSIGNED_BYTE, rgb);
    return {rgb[0], rgb[1], rgb[2]};
}

bool glWindowPoint(double x, double y, double z, int* px, int* py) {
    GLdouble model[16], proj[16];
    GLint view[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    glGetDoublev(GL_PROJECTION_MATRIX, proj);
    glGetIntegerv(GL_VIEWPORT, view);
    GLdouble wx = 0, wy = 0, wz = 0;
    if (!gluProject(x, y, z, model, proj, view, &wx, &wy, &wz)) return false;
    *px = static_cast<int>(wx);
    *py = static_cast<int>(wy);
    return *px >= 0 && *px < GLW_SIZE && *py >= 0 && *py < GLW_SIZE;
}

XRgb glPixelAtWorld(double x, double y, double z) {
    int px = 0, py = 0;
    if (!glWindowPoint(x, y, z, &px, &py)) return {-1, -1, -1};
    return glPixel(px, py);
}

bool rgbNear(const XRgb& a, const XRgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

void GlWindowTest::SetUp() {
    if (!glWindowOpen()) GTEST_SKIP() << "no X display (the tests run under scripts/with-xvfb.sh)";
    WorldTest::SetUp();
}

const XRgb kFaceColour[6] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                             {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};

FaceRgba solidFace(int file, int, int) {
    const XRgb& c = kFaceColour[file];
    return {static_cast<unsigned char>(c.r), static_cast<unsigned char>(c.g),
            static_cast<unsigned char>(c.b), 255};
}

void writeFaceFiles(const std::string& dir, FacePixelFn fn, unsigned missing) {
    for (int k = 0; k < 6; ++k) {
        if (missing & (1u << k)) continue;
        FxBytes rgba;
        for (int row = 0; row < TEX_FACE_SIZE; ++row)
            for (int column = 0; column < TEX_FACE_SIZE; ++column) {
                const FaceRgba c = fn(k, column, row);
                rgba.insert(rgba.end(), c.begin(), c.end());
            }
        const std::string path = dir + "/" + std::to_string(k) + ".tga";
        ASSERT_TRUE(fxWriteFile(path, fxTgaRgba(TEX_FACE_SIZE, TEX_FACE_SIZE, rgba))) << path;
    }
}
