// Start-up's last stage: the window, the callbacks, GL state and textures,
// then the GLUT main loop.
#include "demo/window.h"

#include <GL/freeglut.h>

#include <cinttypes>
#include <cstdio>

#include "demo/callbacks.h"
#include "platform/platform.h"
#include "render/renderer.h"
#include "render/textures.h"
#include "sim/world.h"
#include "startup/startup.h"

int64_t perfFreq = 0;

namespace {
constexpr int kWindowWidth = 500;
constexpr int kWindowHeight = 600;
} // namespace

void appOpenWindow() {
    if (verbosity > 0) std::printf("Initializing OpenGL rendering engine...\n");

    int argc = 1;
    char programName[] = "WinZibbet";
    char* argv[] = {programName, nullptr};
    glutInit(&argc, argv);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(kWindowWidth, kWindowHeight);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB | GLUT_DEPTH);
    glutCreateWindow(appTitle);
    glutSetWindowTitle(appTitle);
    glutSetIconTitle(appTitle);

    glutReshapeFunc(reshape);
    glutDisplayFunc(display);
    glutIdleFunc(idle);
    glutSetCursor(GLUT_CURSOR_CROSSHAIR);
    glutMotionFunc(motion);
    glutKeyboardFunc(keyboard);

    initGL();
    initTextures();
    uploadCubeMap();

    perfFreq = platCounterFrequency();
    std::printf("Sys performance timer freq: %" PRId64 " Hz\n", perfFreq);

    std::printf("\n");
    std::printf("Use the mouse to rotate the cube.\n");
    std::printf("\n");
    std::printf("Keys:\n");
    std::printf(" e: Toggle Cube Environment Mapping.\n");
    std::printf(" s: Toggle Flat/Gouraud.\n");
}

void appWindowSetup() {
    appOpenWindow();
    glutMainLoop();
    if (verbosity > 0) std::printf("Exiting.\n");
}
