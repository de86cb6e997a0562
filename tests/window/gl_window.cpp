#include "gl_window.h"

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

const char* const glWindowTitle = "zibbet window tests";

namespace {

constexpr int kPumpRounds = 20;
constexpr double kNear = 2.0;
constexpr double kFar = 80.0;
constexpr double kCameraZ = -48.0;

bool windowTried = false;
bool windowOpen = false;

void displayNothing() {}

// Brings up the driver's drawing path once, before any test draws.
void drawFirstTriangle() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glBegin(GL_TRIANGLES);
    {
        glVertex2f(-0.5f, -0.5f);
        glVertex2f(0.5f, -0.5f);
        glVertex2f(0.0f, 0.5f);
    }
    glEnd();
    glFinish();
}

void closeWindow() {
    glutExit();
    windowOpen = false;
}

} // namespace

bool glWindowOpen() {
    if (windowTried) return windowOpen;
    windowTried = true;
    if (!xvfbReady() || !std::getenv("DISPLAY")) return false;
    static char arg0[] = "zibbet_window_tests";
    static char* argv[] = {arg0, nullptr};
    int argc = 1;
#if defined(__SANITIZE_ADDRESS__)
    // Mesa keeps some of what it allocates for a context and for its first
    // drawing (the shader compiler's set-up) past the context's end; that is
    // the driver's, not ours, so the leak check ignores it.
    __lsan_disable();
#endif
    glutInit(&argc, argv);
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_CONTINUE_EXECUTION);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(GLW_WIDTH, GLW_HEIGHT);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
    glutCreateWindow(glWindowTitle);
    glutDisplayFunc(displayNothing);
    glWindowPump();
    drawFirstTriangle();
#if defined(__SANITIZE_ADDRESS__)
    __lsan_enable();
#endif
    xvfbBeforeStop(closeWindow);
    windowOpen = true;
    return true;
}

void glWindowPump() {
    for (int i = 0; i < kPumpRounds; ++i)
        glutMainLoopEvent();
}

void glBeginTestFrame() {
    glViewport(0, 0, GLW_WIDTH, GLW_HEIGHT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(-1.0, 1.0, -1.0, 1.0, kNear, kFar);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, 0);
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);
    glEnable(GL_NORMALIZE);
    glShadeModel(GL_SMOOTH);
    glEnable(GL_LIGHTING);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, static_cast<float>(kCameraZ));
}

XRgb glPixel(int x, int y) {
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
    return *px >= 0 && *px < GLW_WIDTH && *py >= 0 && *py < GLW_HEIGHT;
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

void GlWindowTest::SetUpTestSuite() {
    glWindowOpen();
}

void GlWindowTest::SetUp() {
    if (!glWindowOpen()) GTEST_SKIP() << xvfbMissingReason();
    WorldTest::SetUp();
}
