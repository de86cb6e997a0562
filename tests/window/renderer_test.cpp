// The renderer drawing into a real window; outcomes are read back as pixels
// and GL state.
//
// Sections: helpers and fixture; face textures; environment mapping; plain
// shading and materials; connection lines; objects with nothing to draw.
#include <GL/gl.h>
#include <GL/glext.h>

#include <cmath>
#include <cstring>
#include <string>

#include "face_files.h"
#include "gl_window.h"
#include "render/renderer.h"
#include "render/textures.h"
#include "sim/bcube.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfEdge = 16.0; // the test cube's edge is 32, as in the program
// File that face texture slot s shows.
constexpr int kFileOfSlot[6] = {2, 5, 0, 3, 1, 4};

// Face images that name themselves: red and green follow the column and row,
// blue says which file it is.
int fileBlue(int file) {
    return 40 * file + 20;
}
FaceRgba gradientFace(int file, int column, int row) {
    return {static_cast<unsigned char>(column), static_cast<unsigned char>(row),
            static_cast<unsigned char>(fileBlue(file)), 255};
}

// A material whose lit colour is its emission, whatever the normals.
int emissive(float r, float g, float b) {
    const float black[3] = {0, 0, 0};
    const float emission[3] = {r, g, b};
    return simAddMat(black, black, black, emission, 0.0f, 0);
}

// A material lit only by the diffuse term.
int diffuseOnly(float r, float g, float b) {
    const float black[3] = {0, 0, 0};
    const float diffuse[3] = {r, g, b};
    return simAddMat(black, diffuse, black, black, 0.0f, 0);
}

void directionalLightFromCamera() {
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    {
        glLoadIdentity();
        const float towardsCamera[4] = {0.0f, 0.0f, 1.0f, 0.0f};
        glLightfv(GL_LIGHT0, GL_POSITION, towardsCamera);
    }
    glPopMatrix();
}

// A new frame with the light at the camera, and the object drawn in it.
void drawLit(int oid) {
    glBeginTestFrame();
    directionalLightFromCamera();
    drawObject(oid);
}

int addMassAt(int oid, double x, double y, double z) {
    SimMass* m = nullptr;
    const int index = simAddMass(oid, &m);
    m->pos[0] = x;
    m->pos[1] = y;
    m->pos[2] = z;
    return index;
}

// A square in the plane z = 0 facing the camera: two counter-clockwise
// triangles (0, 1, 2) and (0, 2, 3), every vertex normal given.
int addSquare(int32_t flags, double cx, double cy, double half, int material,
              const double normal[3]) {
    const int oid = simAddObject("square", flags);
    addMassAt(oid, cx - half, cy - half, 0);
    addMassAt(oid, cx + half, cy - half, 0);
    addMassAt(oid, cx + half, cy + half, 0);
    addMassAt(oid, cx - half, cy + half, 0);
    simAddPoly(oid, 0, 1, 2, normal, normal, normal, 0, nullptr, material);
    simAddPoly(oid, 0, 2, 3, normal, normal, normal, 0, nullptr, material);
    return oid;
}

std::string rgbText(const XRgb& c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

class RendererTest : public GlWindowTest {
  protected:
    void SetUp() override {
        GlWindowTest::SetUp();
        if (IsSkipped()) return;
        initGL();
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    void TearDown() override {
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        GlWindowTest::TearDown();
    }

    // The program's bounding cube, edge 32, with the gradient face files
    // loaded and a material that shows the textures unchanged.
    int texturedCube() {
        const std::string dir = writeFaceFiles("renderer", gradientFace);
        {
            ScopedWorkDir cwd(dir);
            captureStdout([] { initTextures(); });
        }
        const int oid = simSetBCube(0.0f, 0.0f, 0.0f, 32.0f, 0x6000408);
        simSetObjMat(oid, emissive(1, 1, 1));
        return oid;
    }
};

// ---------------------------------------------------------------------------
// Face textures
// ---------------------------------------------------------------------------

TEST_F(RendererTest, CubeAtRestShowsEachWallsFileAndCullsTheNearWall) {
    const int cube = texturedCube();
    simRotBCube(0, 0, 0);
    glBeginTestFrame();
    drawObject(cube);
    // Looking through the culled near wall (4.tga): 5.tga behind, 0.tga on the
    // right, 1.tga on the left, 2.tga above and 3.tga below.
    EXPECT_EQ(glPixelAtWorld(0, 0, -kHalfEdge).b, fileBlue(5));
    EXPECT_EQ(glPixelAtWorld(kHalfEdge, 0, -8).b, fileBlue(0));
    EXPECT_EQ(glPixelAtWorld(-kHalfEdge, 0, -8).b, fileBlue(1));
    EXPECT_EQ(glPixelAtWorld(0, kHalfEdge, -8).b, fileBlue(2));
    EXPECT_EQ(glPixelAtWorld(0, -kHalfEdge, -8).b, fileBlue(3));
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    GLint front = 0;
    glGetIntegerv(GL_FRONT_FACE, &front);
    EXPECT_EQ(front, GL_CW);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(RendererTest, EveryWallShowsItsSlotImageAtItsTextureCoordinates) {
    const int cube = texturedCube();
    const SimObject& obj = simWorld.objects[cube];
    const double quarter = kPi / 2;
    bool seen[6] = {};
    // Sixteen poses bring each wall to the back, in several orientations.
    for (int ia = 0; ia < 4; ++ia) {
        for (int ib = 0; ib < 4; ++ib) {
            simRotBCube(ia * quarter, ib * quarter, 0);
            glBeginTestFrame();
            drawObject(cube);
            // The wall facing away from the camera: outward normal -z.
            int slot = -1;
            for (int t = 0; t < 12; t += 2)
                if (obj.polys[t].normal[2] < -0.99) slot = t / 2;
            ASSERT_GE(slot, 0);
            seen[slot] = true;
            for (double u : {-0.7, -0.2, 0.3, 0.6}) {
                for (double v : {-0.6, 0.1, 0.7}) {
                    const double p[2] = {kHalfEdge * u, kHalfEdge * v};
                    // (s, t) at p, interpolated over the triangle holding p.
                    double s = -1, t = -1;
                    for (int tri = 2 * slot; tri < 2 * slot + 2; ++tri) {
                        const SimPoly& poly = obj.polys[tri];
                        const double* a = obj.masses[poly.v0].pos;
                        const double* b = obj.masses[poly.v1].pos;
                        const double* c = obj.masses[poly.v2].pos;
                        const double det =
                            (b[1] - c[1]) * (a[0] - c[0]) + (c[0] - b[0]) * (a[1] - c[1]);
                        const double la =
                            ((b[1] - c[1]) * (p[0] - c[0]) + (c[0] - b[0]) * (p[1] - c[1])) / det;
                        const double lb =
                            ((c[1] - a[1]) * (p[0] - c[0]) + (a[0] - c[0]) * (p[1] - c[1])) / det;
                        const double lc = 1 - la - lb;
                        if (la < -1e-9 || lb < -1e-9 || lc < -1e-9) continue;
                        const float(*tc)[2] = faceTexCoords[tri];
                        s = la * tc[0][0] + lb * tc[1][0] + lc * tc[2][0];
                        t = la * tc[0][1] + lb * tc[1][1] + lc * tc[2][1];
                    }
                    ASSERT_GE(s, 0.0);
                    const XRgb want{static_cast<int>(std::lround(s * 256 - 0.5)),
                                    static_cast<int>(std::lround(t * 256 - 0.5)),
                                    fileBlue(kFileOfSlot[slot])};
                    const XRgb got = glPixelAtWorld(p[0], p[1], -kHalfEdge);
                    EXPECT_TRUE(rgbNear(got, want, 6))
                        << "pose " << ia << "," << ib << " slot " << slot << " at " << u << "," << v
                        << ": got " << rgbText(got) << " want " << rgbText(want);
                }
            }
        }
    }
    for (int s = 0; s < 6; ++s)
        EXPECT_TRUE(seen[s]) << "slot " << s << " never at the back";
}

TEST_F(RendererTest, FaceTexturedObjectBeyondTwelveOrOddCountStaysWellFormed) {
    captureStdout([] { initTextures(); }); // no files here: blank face textures
    const int white = emissive(1, 1, 1);
    const double n[3] = {0, 0, 1};
    // Seven squares in a row: fourteen triangles; only the first twelve drawn.
    const int oid = simAddObject("strip", SIMF_FACETEX);
    for (int q = 0; q < 7; ++q) {
        const double x = -14 + 4.0 * q;
        const int m = addMassAt(oid, x - 1.5, -1.5, 0);
        addMassAt(oid, x + 1.5, -1.5, 0);
        addMassAt(oid, x + 1.5, 1.5, 0);
        addMassAt(oid, x - 1.5, 1.5, 0);
        simAddPoly(oid, m, m + 1, m + 2, n, n, n, 0, nullptr, white);
        simAddPoly(oid, m, m + 2, m + 3, n, n, n, 0, nullptr, white);
    }
    glBeginTestFrame();
    const std::string out = captureStdout([&] { drawObject(oid); });
    EXPECT_EQ(out, "  ***WARNING*** drawObject(): Face textures cover 12 triangles; drawing 12 "
                   "of 14 (oid=" +
                       std::to_string(oid) + ").\n");
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    // Blank face textures draw black on black: the depth buffer tells what was drawn.
    auto depthAt = [](double x, double y) {
        int px = 0, py = 0;
        glWindowPoint(x, y, 0, &px, &py);
        float depth = 2.0f; // stays when the read is refused
        glReadPixels(px, py, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
        return depth;
    };
    EXPECT_LT(depthAt(-14 + 4.0 * 5, 0), 1.0f);
    EXPECT_EQ(depthAt(-14 + 4.0 * 6, 0), 1.0f);
    // The warning comes once, not at every frame.
    EXPECT_EQ(captureStdout([&] { drawObject(oid); }), "");

    // Three triangles: the second batch holds one triangle and must be closed
    // too, or the third triangle never reaches the frame and every later GL
    // call is refused.
    const int odd = simAddObject("odd", SIMF_FACETEX);
    const int m = addMassAt(odd, -10, -2, 0);
    addMassAt(odd, -6, -2, 0);
    addMassAt(odd, -8, 2, 0);
    addMassAt(odd, 6, -2, 0);
    addMassAt(odd, 10, -2, 0);
    addMassAt(odd, 8, 2, 0);
    simAddPoly(odd, m, m + 1, m + 2, n, n, n, 0, nullptr, white);
    simAddPoly(odd, m, m + 1, m + 2, n, n, n, 0, nullptr, white);
    simAddPoly(odd, m + 3, m + 4, m + 5, n, n, n, 0, nullptr, white);
    glBeginTestFrame();
    drawObject(odd);
    EXPECT_LT(depthAt(8, -1), 1.0f);
    glClearColor(0.0f, 1.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    EXPECT_TRUE(rgbNear(glPixel(1, 1), {0, 255, 0}, 0));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
}

// ---------------------------------------------------------------------------
// Environment mapping
// ---------------------------------------------------------------------------

class EnvMapTest : public RendererTest {
  protected:
    void SetUp() override {
        RendererTest::SetUp();
        if (IsSkipped()) return;
        for (int k = 0; k < 6; ++k) {
            for (size_t at = 0; at < TEX_FACE_BYTES; at += 4) {
                faceImages[k][at] = static_cast<unsigned char>(kFaceColour[k].r);
                faceImages[k][at + 1] = static_cast<unsigned char>(kFaceColour[k].g);
                faceImages[k][at + 2] = static_cast<unsigned char>(kFaceColour[k].b);
                faceImages[k][at + 3] = 255;
            }
        }
    }
    void TearDown() override {
        std::memset(faceImages, 0, sizeof faceImages);
        RendererTest::TearDown();
    }
    // Several frames as the program draws them; returns the colour at the
    // object's centre in the last one.
    XRgb drawFrames(int oid, int frames) {
        for (int f = 0; f < frames; ++f) {
            glBeginTestFrame();
            drawObject(oid);
        }
        return glPixelAtWorld(0, 0, 0);
    }
    static constexpr XRgb kFaceColour[6] = {{250, 0, 0},   {0, 250, 0},   {0, 0, 250},
                                            {250, 250, 0}, {0, 250, 250}, {250, 0, 250}};
};
constexpr XRgb EnvMapTest::kFaceColour[6];

// Drawn three frames each: the cube-map name gets its images from the second
// frame on and its mipmaps from the third.
constexpr int kEnvFrames = 3;

TEST_F(EnvMapTest, FacingTheCameraReflectsPositiveZ) {
    const double towardsCamera[3] = {0, 0, 1};
    const int oid =
        addSquare(SIMF_ENVMAP | SIMF_GOURAUD, 0, 0, 4, emissive(1, 1, 1), towardsCamera);
    const XRgb got = drawFrames(oid, kEnvFrames);
    EXPECT_TRUE(rgbNear(got, kFaceColour[4], 3)) << rgbText(got);

    // Nothing of the mode is left behind.
    GLint mode = 0, depth = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
    glGetIntegerv(GL_TEXTURE_STACK_DEPTH, &depth);
    EXPECT_EQ(depth, 1);
    for (GLenum cap : {GL_TEXTURE_CUBE_MAP_ARB, GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T,
                       GL_TEXTURE_GEN_R, GL_TEXTURE_GEN_Q, GL_TEXTURE_2D})
        EXPECT_FALSE(glIsEnabled(cap)) << cap;
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_CUBE_MAP_ARB, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), RENDER_CUBE_MAP_TEXTURE);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(EnvMapTest, TiltedNormalsReflectCubeMapFaceZero) {
    const double tilts[2][3] = {
        {1, 0, 1}, // halfway between +x and +z: the eye ray reflects along +x
        // The eye ray reflects 30 degrees off +z towards +x: +z would win,
        // but with z scaled by 0.256 the +x face does.
        {0.5, 0, 1 + std::sqrt(0.75)}};
    for (const double* normal : tilts) {
        const int oid = addSquare(SIMF_ENVMAP, 0, 0, 1, emissive(1, 1, 1), normal);
        const XRgb got = drawFrames(oid, kEnvFrames);
        EXPECT_TRUE(rgbNear(got, kFaceColour[0], 3)) << normal[0] << ": " << rgbText(got);
    }
}

TEST_F(EnvMapTest, ReflectionsTurnWithTheCubeAngles) {
    const double towardsCamera[3] = {0, 0, 1};
    const int oid = addSquare(SIMF_ENVMAP, 0, 0, 4, emissive(1, 1, 1), towardsCamera);
    // A quarter turn of the cube about y: +z of the view is -x of the cube.
    cubeAngleY = kPi / 2;
    XRgb got = drawFrames(oid, kEnvFrames);
    EXPECT_TRUE(rgbNear(got, kFaceColour[1], 3)) << rgbText(got);
    // A quarter turn about x instead: +z of the view is +y of the cube.
    cubeAngleY = 0;
    cubeAngleX = kPi / 2;
    got = drawFrames(oid, 1);
    EXPECT_TRUE(rgbNear(got, kFaceColour[2], 3)) << rgbText(got);
}

// ---------------------------------------------------------------------------
// Plain shading and materials
// ---------------------------------------------------------------------------

// A large triangle facing the camera, face normal towards the light, vertex
// normals towards it, sideways and upwards.
int litTriangle(int32_t flags) {
    const int oid = simAddObject("tri", flags);
    addMassAt(oid, -10, -8, 0);
    addMassAt(oid, 10, -8, 0);
    addMassAt(oid, 0, 10, 0);
    const double facing[3] = {0, 0, 1}, sideways[3] = {1, 0, 0}, upwards[3] = {0, 1, 0};
    SimPoly* p = nullptr;
    simAddPoly(oid, 0, 1, 2, facing, sideways, upwards, 0, &p, diffuseOnly(1, 1, 1));
    p->normal[0] = 0;
    p->normal[1] = 0;
    p->normal[2] = 1;
    return oid;
}

TEST_F(RendererTest, FlatIsOneColourFromTheFaceNormalGouraudFollowsVertexNormals) {
    const int oid = litTriangle(0);
    const double probes[3][2] = {{-6, -6}, {6, -6}, {0, 6}};

    drawLit(oid);
    for (const auto& p : probes) {
        const XRgb got = glPixelAtWorld(p[0], p[1], 0);
        EXPECT_TRUE(rgbNear(got, {255, 255, 255}, 1))
            << "flat at " << p[0] << "," << p[1] << ": " << rgbText(got);
    }
    GLint shade = 0;
    glGetIntegerv(GL_SHADE_MODEL, &shade);
    EXPECT_EQ(shade, GL_FLAT);

    simWorld.objects[oid].flags = SIMF_GOURAUD;
    drawLit(oid);
    // Bright near the corner whose normal faces the light, dark near the others.
    EXPECT_GT(glPixelAtWorld(-8, -7, 0).r, 180);
    EXPECT_LT(glPixelAtWorld(8, -7, 0).r, 80);
    EXPECT_LT(glPixelAtWorld(0, 8, 0).r, 80);
    glGetIntegerv(GL_SHADE_MODEL, &shade);
    EXPECT_EQ(shade, GL_SMOOTH);
}

TEST_F(RendererTest, NormalsAreRecomputedOnlyWhenTheFlagsAsk) {
    const int oid = litTriangle(SIMF_GOURAUD);
    // Gouraud without the normal flags keeps the given vertex normals...
    drawLit(oid);
    EXPECT_LT(glPixelAtWorld(8, -7, 0).r, 80);
    // ...with SIMF_VNORMALS they are derived from the geometry: all face the light.
    simWorld.objects[oid].flags = SIMF_GOURAUD | SIMF_VNORMALS;
    drawLit(oid);
    EXPECT_GT(glPixelAtWorld(8, -7, 0).r, 250);
    EXPECT_GT(glPixelAtWorld(0, 8, 0).r, 250);

    // Flat with a wrong face normal, corrected by SIMF_FNORMALS.
    SimPoly& p = simWorld.objects[oid].polys[0];
    p.normal[0] = 1;
    p.normal[2] = 0;
    simWorld.objects[oid].flags = 0;
    drawLit(oid);
    EXPECT_LT(glPixelAtWorld(0, 0, 0).r, 5);
    simWorld.objects[oid].flags = SIMF_FNORMALS;
    drawLit(oid);
    EXPECT_GT(glPixelAtWorld(0, 0, 0).r, 250);
}

TEST_F(RendererTest, MaterialFollowsEachTriangleAndIsSentAgainAtEveryCall) {
    const double n[3] = {0, 0, 1};
    const int red = emissive(1, 0, 0);
    const int green = emissive(0, 1, 0);
    const int oid = simAddObject("pair", SIMF_GOURAUD);
    addMassAt(oid, -10, -5, 0);
    addMassAt(oid, 0, -5, 0);
    addMassAt(oid, 10, -5, 0);
    addMassAt(oid, -5, 5, 0);
    addMassAt(oid, 5, 5, 0);
    simAddPoly(oid, 0, 1, 3, n, n, n, 0, nullptr, red);
    simAddPoly(oid, 1, 2, 4, n, n, n, 0, nullptr, green);
    for (int call = 0; call < 2; ++call) {
        glBeginTestFrame();
        // Whatever material was current before must not leak into the object.
        const float blue[4] = {0, 0, 1, 1};
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, blue);
        drawObject(oid);
        EXPECT_TRUE(rgbNear(glPixelAtWorld(-5, -3, 0), {255, 0, 0}, 1)) << "call " << call;
        EXPECT_TRUE(rgbNear(glPixelAtWorld(5, -3, 0), {0, 255, 0}, 1)) << "call " << call;
    }
    // The material of the last triangle stays current.
    float emission[4] = {};
    glGetMaterialfv(GL_FRONT, GL_EMISSION, emission);
    EXPECT_EQ(emission[1], 1.0f);

    // One material for the whole object: still sent again at the next call.
    simSetObjMat(oid, red);
    for (int call = 0; call < 2; ++call) {
        glBeginTestFrame();
        const float blue[4] = {0, 0, 1, 1};
        glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, blue);
        drawObject(oid);
        EXPECT_TRUE(rgbNear(glPixelAtWorld(5, -3, 0), {255, 0, 0}, 1)) << "call " << call;
    }
}

// ---------------------------------------------------------------------------
// Connection lines
// ---------------------------------------------------------------------------

TEST_F(RendererTest, ConnectionRunsAreStarsFromTheirHub) {
    const double n[3] = {0, 0, 1};
    const int oid = simAddObject("conns", 0);
    addMassAt(oid, 0.3, 0.3, 0);   // 0: hub
    addMassAt(oid, 12.3, 0.3, 0);  // 1: right
    addMassAt(oid, 0.3, 12.3, 0);  // 2: up
    addMassAt(oid, -12.3, 0.3, 0); // 3: left, alone in its run
    addMassAt(oid, 0.3, -12.3, 0); // 4: down
    // Room for the list, then written by hand: runs (0 1 2), (3), (0 4),
    // with a doubled end-of-run mark.
    const int32_t filler[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(simAddConn(oid, filler, 8), 0);
    const int32_t list[] = {0, 1, 2, -1, -1, 3, -1, 0, 4, -1, -2};
    std::memcpy(simWorld.objects[oid].conns, list, sizeof list);
    simWorld.objects[oid].connLen = 11;

    glBeginTestFrame();
    directionalLightFromCamera();
    const float black[4] = {0, 0, 0, 1};
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, black);
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, black);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, black);
    glNormal3dv(n);
    drawConns(oid);

    // Yellow somewhere in the 3 x 3 block around the world point.
    auto lineNear = [](double x, double y) {
        int px = 0, py = 0;
        glWindowPoint(x, y, 0, &px, &py);
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (rgbNear(glPixel(px + dx, py + dy), {255, 255, 0}, 2)) return true;
        return false;
    };
    EXPECT_TRUE(lineNear(6, 0.3));    // hub to right
    EXPECT_TRUE(lineNear(0.3, 6));    // hub to up
    EXPECT_TRUE(lineNear(0.3, -6));   // hub to down, after the lone run
    EXPECT_FALSE(lineNear(6.3, 6.3)); // right to up: a polyline would draw it
    EXPECT_FALSE(lineNear(-6, 0.3));  // the lone index draws nothing
    GLint shade = 0;
    glGetIntegerv(GL_SHADE_MODEL, &shade);
    EXPECT_EQ(shade, GL_FLAT);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// ---------------------------------------------------------------------------
// Objects with nothing to draw
// ---------------------------------------------------------------------------

TEST_F(RendererTest, NothingToDrawLeavesStateAndPixelsAlone) {
    const double n[3] = {0, 0, 1};
    const int noConns = addSquare(SIMF_GOURAUD, 0, 0, 4, emissive(1, 0, 0), n);
    glBeginTestFrame();
    glShadeModel(GL_FLAT);
    glFrontFace(GL_CW);
    glEnable(GL_CULL_FACE);
    glEnable(GL_TEXTURE_2D);
    const float marker[4] = {0.25f, 0.5f, 0.75f, 1.0f};
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, marker);
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, marker);
    const XRgb before = glPixel(GLW_WIDTH / 2, GLW_HEIGHT / 2);

    drawObject(0);      // the Forces object: no triangles
    drawConns(0);       // and no connections
    drawConns(noConns); // triangles but no connection runs

    GLint shade = 0, front = 0;
    glGetIntegerv(GL_SHADE_MODEL, &shade);
    glGetIntegerv(GL_FRONT_FACE, &front);
    EXPECT_EQ(shade, GL_FLAT);
    EXPECT_EQ(front, GL_CW);
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
    float diffuse[4] = {}, emission[4] = {};
    glGetMaterialfv(GL_FRONT, GL_DIFFUSE, diffuse);
    glGetMaterialfv(GL_FRONT, GL_EMISSION, emission);
    EXPECT_EQ(diffuse[0], marker[0]);
    EXPECT_EQ(emission[2], marker[2]);
    const XRgb after = glPixel(GLW_WIDTH / 2, GLW_HEIGHT / 2);
    EXPECT_TRUE(rgbNear(after, before, 0)) << rgbText(after);
    glDisable(GL_TEXTURE_2D);
}

} // namespace
