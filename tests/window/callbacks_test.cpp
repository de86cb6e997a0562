// The callbacks that need a GL context but no running main loop: reshape's
// projection and the drag offsets it measures against.
#include <GL/gl.h>

#include "app/callbacks.h"
#include "app/frame.h"
#include "gl_window.h"

namespace {

struct Frustum {
    double l, r, b, t, n, f;
};

// The projection matrix glFrustum gives, read back the same way GL stores it.
void expectProjection(const Frustum& fr) {
    GLdouble got[16];
    glGetDoublev(GL_PROJECTION_MATRIX, got);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glFrustum(fr.l, fr.r, fr.b, fr.t, fr.n, fr.f);
    GLdouble want[16];
    glGetDoublev(GL_PROJECTION_MATRIX, want);
    glPopMatrix();
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(got[i], want[i], 1e-6) << "element " << i;
}

} // namespace

TEST_F(GlWindowTest, ReshapeSetsFrustumByAspectAndKeepsItForAnEmptyWindow) {
    reshape(500, 600);
    EXPECT_EQ(winWidth, 500);
    EXPECT_EQ(winHeight, 600);
    expectProjection({-1, 1, -1.2, 1.2, 2, 80});

    reshape(600, 500);
    expectProjection({-1.2, 1.2, -1, 1, 2, 80});

    // A minimised window has no aspect ratio: the last projection stays.
    reshape(0, 500);
    EXPECT_EQ(winWidth, 0);
    expectProjection({-1.2, 1.2, -1, 1, 2, 80});
    reshape(600, 0);
    expectProjection({-1.2, 1.2, -1, 1, 2, 80});
    reshape(GLW_WIDTH, GLW_HEIGHT);
}

TEST_F(GlWindowTest, DragOffsetIsMeasuredFromTheCentreRoundedDown) {
    reshape(501, 600);
    motion(300, 100);
    EXPECT_EQ(mouseDx, 300 - 250);
    EXPECT_EQ(mouseDy, 100 - 300);
    reshape(GLW_WIDTH, GLW_HEIGHT);
}
