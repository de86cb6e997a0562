// The harness itself: the private server, and the X-side helpers driving this
// program's own GLUT window the way an end-to-end test drives the real one.
#include <GL/freeglut.h>
#include <X11/keysym.h>
#include <signal.h>

#include <cstdlib>
#include <string>

#include "gl_window.h"

namespace {

unsigned char lastKey = 0;
int lastMotionX = -1;
int lastMotionY = -1;
void onKey(unsigned char key, int, int) {
    lastKey = key;
}
void onMotion(int x, int y) {
    lastMotionX = x;
    lastMotionY = y;
}

// Keeps GLUT handling events until done() holds or about two seconds pass.
template <typename Done> bool pumpUntil(Done&& done) {
    for (int i = 0; i < 200 && !done(); ++i) {
        glutMainLoopEvent();
        usleep(10000);
    }
    return done();
}

} // namespace

TEST(XvfbHarness, DisplayNamesAPrivateServer) {
    if (!xvfbReady()) GTEST_SKIP() << xvfbMissingReason();
    const char* display = std::getenv("DISPLAY");
    ASSERT_NE(display, nullptr);
    Display* dpy = XOpenDisplay(display);
    ASSERT_NE(dpy, nullptr);
    EXPECT_EQ(DisplayWidth(dpy, DefaultScreen(dpy)), 1024);
    EXPECT_EQ(DisplayHeight(dpy, DefaultScreen(dpy)), 768);
    EXPECT_EQ(DefaultDepth(dpy, DefaultScreen(dpy)), 24);
    XCloseDisplay(dpy);
}

TEST(XvfbHarness, SecondServerStartsOnAnotherDisplayAndStops) {
    if (!xvfbReady()) GTEST_SKIP() << xvfbMissingReason();
    XvfbServer second;
    std::string error;
    ASSERT_TRUE(xvfbStart(&second, &error)) << error;
    const pid_t pid = second.pid;
    const std::string name = xvfbDisplayName(second);
    EXPECT_NE(name, std::string(std::getenv("DISPLAY")));
    Display* dpy = XOpenDisplay(name.c_str());
    EXPECT_NE(dpy, nullptr);
    if (dpy) XCloseDisplay(dpy);
    xvfbStop(&second);
    EXPECT_EQ(second.pid, -1);
    EXPECT_NE(kill(pid, 0), 0); // reaped, so no such process any more
}

TEST(XvfbHarness, FindsWindowReadsPixelsAndSendsKeysAndDrags) {
    if (!glWindowOpen()) GTEST_SKIP() << xvfbMissingReason();
    glutKeyboardFunc(onKey);
    glutMotionFunc(onMotion);
    Display* dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    const Window w = xWaitWindow(dpy, glWindowTitle, 2000, X_TITLE_EXACT);
    ASSERT_NE(w, 0u);

    glClearColor(1.0f, 0.5f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
    glFinish();
    XRgb seen{};
    EXPECT_TRUE(pumpUntil([&] {
        seen = xPixel(dpy, w, 10, 10);
        return rgbNear(seen, {255, 128, 0}, 2);
    })) << seen.r
        << " " << seen.g << " " << seen.b;

    lastKey = 0;
    EXPECT_TRUE(xTapKeysym(dpy, w, XK_q));
    EXPECT_TRUE(pumpUntil([] { return lastKey == 'q'; }));

    lastMotionX = lastMotionY = -1;
    EXPECT_TRUE(xDrag(dpy, w, 20, 30, 120, 80, 8));
    EXPECT_TRUE(pumpUntil([] { return lastMotionX == 120 && lastMotionY == 80; }))
        << lastMotionX << " " << lastMotionY;

    glutKeyboardFunc(nullptr);
    glutMotionFunc(nullptr);
    XCloseDisplay(dpy);
}
