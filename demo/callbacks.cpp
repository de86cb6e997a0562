// The GLUT callbacks: the simulation advances in idle, frames are drawn in
// display, and the mouse steers the cube like a joystick.
#include "demo/callbacks.h"

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "render/renderer.h"
#include "sim/world.h"
#include "startup/frame.h"
#include "startup/startup.h"

namespace {

constexpr unsigned char kEscape = 27;
constexpr unsigned char kLowerCaseBit = 0x20;
const GLfloat kLightPosition[4] = {0.0f, 1.0f, 35.0f, 10.0f}; // positional, fixed to the eye
constexpr double kCameraDistance = 6.0;                       // times the world scale
constexpr double kNearPlane = 2.0;
constexpr double kFarPlane = 10.0; // times the world scale

} // namespace

void idle() {
    appStepWorld();
    glutPostRedisplay();
}

void displaySetUp() {
    glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, 0);
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);
    glEnable(GL_NORMALIZE);
    glShadeModel(GL_SMOOTH);
    glEnable(GL_LIGHTING);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glPushMatrix();
    { glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition); }
    glPopMatrix();
    glTranslatef(0.0f, 0.0f, static_cast<GLfloat>(-kCameraDistance * worldScale));
}

void display() {
    stamp0 = platCounter();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    stamp1 = platCounter();
    phaseClear = stamp1 - stamp0;

    displaySetUp();
    for (int oid = 0; oid < simWorld.nObjects; ++oid) {
        drawObject(oid);
        drawConns(oid);
    }
    stamp0 = platCounter();
    phaseDraw = stamp0 - stamp1;

    glFlush();
    glutSwapBuffers();
}

void reshape(int width, int height) {
    glViewport(0, 0, width, height);
    winWidth = width;
    winHeight = height;
    // A minimised window has no aspect ratio: keep the last projection.
    if (width <= 0 || height <= 0) return;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const double farPlane = kFarPlane * worldScale;
    if (width > height) {
        const double r = static_cast<double>(width) / height;
        glFrustum(-r, r, -1.0, 1.0, kNearPlane, farPlane);
    } else {
        const double r = static_cast<double>(height) / width;
        glFrustum(-1.0, 1.0, -r, r, kNearPlane, farPlane);
    }
}

void keyboard(unsigned char key, int, int) {
    if (key == kEscape) std::exit(0);
    if (!simValidOid(lastConvertedOid)) return;
    int32_t& flags = simWorld.objects[lastConvertedOid].flags;
    switch (key | kLowerCaseBit) {
    case 'e':
        std::printf("Toggling cube environment mapping mode.\n");
        flags ^= SIMF_ENVMAP;
        break;
    case 's':
        std::printf("Toggling gouraud shading.\n");
        flags ^= SIMF_GOURAUD;
        break;
    default:
        break;
    }
}

void motion(int x, int y) {
    mouseDx = x - (winWidth >> 1);
    mouseDy = y - (winHeight >> 1);
}
