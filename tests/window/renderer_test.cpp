// The renderer, the textures and the window callbacks in a real GL context;
// outcomes read back as pixels, texels and GL state.
#include <GL/gl.h>
#include <GL/glext.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "demo/callbacks.h"
#include "render/renderer.h"
#include "render/textures.h"
#include "scenegen/tga_writer.h"
#include "sim/bcube.h"
#include "startup/frame.h"
#include "window_test.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfEdge = 16.0; // the cube's edge is 32, as in the program
// File that face texture slot s shows.
constexpr int kFileOfSlot[6] = {2, 5, 0, 3, 1, 4};

// Face images that name themselves: red and green follow the column and the
// row, blue says which file it is.
int fileBlue(int file) {
    return 40 * file + 20;
}
FaceRgba gradientFace(int file, int column, int row) {
    return {static_cast<unsigned char>(column), static_cast<unsigned char>(row),
            static_cast<unsigned char>(fileBlue(file)), 255};
}

// A material whose lit colour is its emission.
int emissive(float r, float g, float b) {
    const float black[3] = {0, 0, 0}, emission[3] = {r, g, b};
    return simAddMat(black, black, black, emission, 0.0f, 0);
}

// A new frame lit from the camera, the object drawn in it.
void drawLit(int oid) {
    glBeginTestFrame();
    glPushMatrix();
    glLoadIdentity();
    const float towardsCamera[4] = {0.0f, 0.0f, 1.0f, 0.0f};
    glLightfv(GL_LIGHT0, GL_POSITION, towardsCamera);
    glPopMatrix();
    drawObject(oid);
}

// Adds to oid a square around (cx, cy): triangles (0, 1, 2) and (0, 2, 3),
// counter-clockwise seen from the camera, every normal given.
int addSquare(int oid, double cx, double cy, double half, int material, const double normal[3]) {
    const int m = fxMassAt(oid, cx - half, cy - half);
    for (const auto& c : {std::array{1, -1}, {1, 1}, {-1, 1}})
        fxMassAt(oid, cx + c[0] * half, cy + c[1] * half);
    simAddPoly(oid, m, m + 1, m + 2, normal, normal, normal, 0, nullptr, material);
    simAddPoly(oid, m, m + 2, m + 3, normal, normal, normal, 0, nullptr, material);
    return oid;
}

GLint glInt(GLenum what) {
    GLint v = 0;
    glGetIntegerv(what, &v);
    return v;
}

class RendererTest : public GlWindowTest {
  protected:
    void SetUp() override {
        GlWindowTest::SetUp();
        if (IsSkipped()) return;
        initGL();
        std::memset(faceImages, 0, sizeof faceImages);
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    // GL keeps its first error until it is read: one check covers the whole test.
    void TearDown() override {
        EXPECT_EQ(IsSkipped() ? GL_NO_ERROR : glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        GlWindowTest::TearDown();
    }
    // initTextures in dir; what it printed.
    static std::string initTexturesIn(const std::string& dir) {
        const std::filesystem::path previous = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        const std::string printed = captureStdout([] { initTextures(); });
        std::filesystem::current_path(previous);
        return printed;
    }
};

// Every texel of level `level` of the texture bound to target.
std::vector<unsigned char> texels(GLenum target, int level = 0) {
    int w = 0, h = 0;
    glGetTexLevelParameteriv(target, level, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(target, level, GL_TEXTURE_HEIGHT, &h);
    std::vector<unsigned char> data(static_cast<size_t>(w) * h * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(target, level, GL_RGBA, GL_UNSIGNED_BYTE, data.data());
    return data;
}

// True when there are side x side texels, all rgba.
bool allTexels(const std::vector<unsigned char>& data, size_t side, FaceRgba rgba) {
    for (size_t at = 0; at < data.size(); at += 4)
        if (std::memcmp(&data[at], rgba.data(), 4) != 0) return false;
    return data.size() == side * side * 4;
}

} // namespace

TEST_F(RendererTest, FaceTexturesTakeTheirFilesOrTheirFaceBufferAsItIs) {
    // File 3 missing, file 0 24-bit 295 x 295 (fits the face buffer, but not
    // as 4 bytes a pixel): both take their face buffer as it is; the others
    // their files, mipmapped.
    const FxScopedDir dir("zibbet_face_textures");
    writeFaceFiles(dir.path, solidFace, 1u << 3);
    ASSERT_TRUE(fxWriteFile(dir.path + "/0.tga", fxTga(fxTgaShape(295, 295, 24), FxBytes(295 * 295 * 3, 9))));
    std::string want;
    for (int k = 0; k < 6; ++k)
        want += "TGA Reader loading file '" + std::to_string(k) + ".tga'\n" +
                (k == 3 ? "\nError opening file.\n" : "");
    want += "Textures load completed.\n  ***WARNING*** initTextures(): 0.tga is not a 256x256 "
            "32-bit image; its texture takes the face buffer as it is.\n";
    EXPECT_EQ(initTexturesIn(dir.path), want);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    for (int s = 0; s < 6; ++s) {
        const int file = kFileOfSlot[s];
        SCOPED_TRACE("slot " + std::to_string(s) + ", file " + std::to_string(file));
        EXPECT_EQ(faceTexImages[s], file == 3 ? nullptr : faceImages[file]);
        glBindTexture(GL_TEXTURE_2D, faceTextures[s]);
        const std::vector<unsigned char> level0 = texels(GL_TEXTURE_2D);
        if (file == 3) {
            EXPECT_TRUE(allTexels(level0, 256, {0, 0, 0, 0}));
        } else if (file == 0) {
            ASSERT_EQ(level0.size(), 256u * 256 * 4);
            EXPECT_EQ(level0[0], 9);
        } else {
            EXPECT_TRUE(allTexels(level0, 256, solidFace(file, 0, 0)));
            EXPECT_TRUE(allTexels(texels(GL_TEXTURE_2D, 8), 1, solidFace(file, 0, 0)));
        }
    }
}

// Sixteen poses bring each wall to the back: it shows its slot's file at its
// texture coordinates, the near wall culled (it would hide it).
TEST_F(RendererTest, EveryWallShowsItsSlotImageAtItsTextureCoordinates) {
    const FxScopedDir dir("zibbet_wall_images");
    writeFaceFiles(dir.path, gradientFace);
    initTexturesIn(dir.path);
    const int cube = simSetBCube(0.0f, 0.0f, 0.0f, 32.0f, 0x6000408);
    simSetObjMat(cube, emissive(1, 1, 1));
    const SimObject& obj = simWorld.objects[cube];
    for (int pose = 0; pose < 16; ++pose) {
        simRotBCube(pose / 4 * kPi / 2, pose % 4 * kPi / 2, 0);
        glBeginTestFrame();
        drawObject(cube);
        int slot = -1; // the wall facing away from the camera
        for (int t = 0; t < 12; t += 2)
            if (obj.polys[t].normal[2] < -0.99) slot = t / 2;
        ASSERT_GE(slot, 0);
        // Points inside both triangles of the wall, by their weights on the
        // corners: the pixel there shows the texel the same weights give.
        for (int tri = 2 * slot; tri < 2 * slot + 2; ++tri) {
            const SimPoly& poly = obj.polys[tri];
            const int corners[3] = {poly.v0, poly.v1, poly.v2};
            for (const auto& w : {std::array{0.6, 0.2, 0.2}, std::array{0.2, 0.6, 0.2},
                                  std::array{0.2, 0.2, 0.6}, std::array{0.4, 0.4, 0.2}}) {
                double p[3] = {}, st[2] = {};
                for (int i = 0; i < 3; ++i) {
                    for (int k = 0; k < 3; ++k)
                        p[k] += w[i] * obj.masses[corners[i]].pos[k];
                    for (int k = 0; k < 2; ++k)
                        st[k] += w[i] * faceTexCoords[tri][i][k];
                }
                const XRgb want{static_cast<int>(std::lround(st[0] * 256 - 0.5)),
                                static_cast<int>(std::lround(st[1] * 256 - 0.5)),
                                fileBlue(kFileOfSlot[slot])};
                EXPECT_PRED3(rgbNear, glPixelAtWorld(p[0], p[1], p[2]), want, 6)
                    << "pose " << pose << " tri " << tri;
            }
        }
    }
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
}

TEST_F(RendererTest, FaceTexturedObjectBeyondTwelveOrOddCountStaysWellFormed) {
    captureStdout([] { initTextures(); }); // no files here: blank face textures
    const int white = emissive(1, 1, 1);
    const double n[3] = {0, 0, 1};
    // Seven squares in a row: fourteen triangles; only the first twelve drawn.
    const int oid = simAddObject("strip", SIMF_FACETEX);
    for (int q = 0; q < 7; ++q)
        addSquare(oid, -14 + 4.0 * q, 0, 1.5, white, n);
    glBeginTestFrame();
    EXPECT_EQ(captureStdout([&] { drawObject(oid); }),
              "  ***WARNING*** drawObject(): Face textures cover 12 triangles; drawing 12 of 14 "
              "(oid=" + std::to_string(oid) + ").\n");
    EXPECT_EQ(captureStdout([&] { drawObject(oid); }), ""); // once, not at every frame
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

    // Three triangles: the second batch holds one and must be closed too, or
    // the third never reaches the frame and every later GL call is refused.
    const int odd = simAddObject("odd", SIMF_FACETEX);
    for (const auto& p : {std::array{-10, -2}, {-6, -2}, {-8, 2}, {6, -2}, {10, -2}, {8, 2}})
        fxMassAt(odd, p[0], p[1]);
    for (int first : {0, 0, 3})
        simAddPoly(odd, first, first + 1, first + 2, n, n, n, 0, nullptr, white);
    glBeginTestFrame();
    drawObject(odd);
    EXPECT_LT(depthAt(8, -1), 1.0f); // read back only when the batch was closed
}

// A square with the given normal, drawn three frames (the map gets its
// images in the second, mipmaps in the third), reflects the face wanted:
// cube-map face k shows face image k.
TEST_F(RendererTest, ReflectionsLookUpTheCubeMapTurnedWithTheCube) {
    for (int k = 0; k < 6; ++k)
        for (size_t at = 0; at < TEX_FACE_BYTES; at += 4)
            std::memcpy(&faceImages[k][at], solidFace(k, 0, 0).data(), 4);
    const struct {
        double normal[3], angleX, angleY;
        int face;
    } cases[] = {
        {{0, 0, 1}, 0, 0, 4},                      // facing the camera: +z
        {{1, 0, 1}, 0, 0, 0},                      // halfway to +x: the eye ray reflects along +x
        {{0.5, 0, 1 + std::sqrt(0.75)}, 0, 0, 0},  // 30 degrees: +x, as z is scaled by 0.256
        {{0, 0, 1}, 0, kPi / 2, 1},                // a quarter turn about y: +z is the cube's -x
        {{0, 0, 1}, kPi / 2, 0, 2},                // about x: +z is the cube's +y
        {{0, 0, 1}, -kPi / 2, 0, 3},               // the other way: its -y
        {{0, 0, 1}, 0, kPi, 5},                    // half a turn: its -z
    };
    for (const auto& c : cases) {
        const int oid = addSquare(simAddObject("square", SIMF_ENVMAP | SIMF_GOURAUD), 0, 0, 4,
                                  emissive(1, 1, 1), c.normal);
        cubeAngleX = c.angleX;
        cubeAngleY = c.angleY;
        for (int f = 0; f < 3; ++f) {
            glBeginTestFrame();
            drawObject(oid);
        }
        EXPECT_PRED3(rgbNear, glPixelAtWorld(0, 0, 0), kFaceColour[c.face], 3)
            << c.normal[0] << " " << c.angleX << " " << c.angleY;
        simWorld.objects[oid].nPolys = 0; // out of the next frames
    }
    // Nothing of the mode is left behind.
    EXPECT_EQ(glInt(GL_MATRIX_MODE), GL_MODELVIEW);
    EXPECT_EQ(glInt(GL_TEXTURE_STACK_DEPTH), 1);
    for (GLenum cap : {GL_TEXTURE_CUBE_MAP_ARB, GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T,
                       GL_TEXTURE_GEN_R, GL_TEXTURE_GEN_Q, GL_TEXTURE_2D})
        EXPECT_FALSE(glIsEnabled(cap)) << cap;
    EXPECT_EQ(static_cast<GLuint>(glInt(GL_TEXTURE_BINDING_CUBE_MAP_ARB)), RENDER_CUBE_MAP_TEXTURE);
}

// A triangle facing the light, vertex normals towards it, sideways and
// upwards: probes near each corner see its light.
TEST_F(RendererTest, ShadingAndNormalsFollowTheObjectsFlags) {
    const int oid = simAddObject("tri", 0);
    for (const auto& p : {std::array{-10, -8}, {10, -8}, {0, 10}})
        fxMassAt(oid, p[0], p[1]);
    // The vertex normals are the plain mean of their triangles' and not of
    // unit length: the frame normalises them.
    const double normals[3][3] = {{0, 0, 0.5}, {1, 0, 0}, {0, 1, 0}}; // facing, sideways, upwards
    const float black[3] = {0, 0, 0}, white[3] = {1, 1, 1}; // lit by the diffuse term only
    simAddPoly(oid, 0, 1, 2, normals[0], normals[1], normals[2], 0, nullptr,
               simAddMat(black, white, black, black, 0.0f, 0));
    const double probes[3][2] = {{-8, -7}, {8, -7}, {0, 8}};
    const struct {
        int32_t flags;
        double faceNormal[3];
        bool lit[3]; // at each probe: lit (red over 180) or dark (under 80)
        GLint shading;
    } cases[] = {
        {0, {0, 0, 1}, {true, true, true}, GL_FLAT},                // the face normal, once
        {SIMF_GOURAUD, {0, 0, 1}, {true, false, false}, GL_SMOOTH}, // the vertex normals as given
        {SIMF_GOURAUD | SIMF_VNORMALS, {0, 0, 1}, {true, true, true}, GL_SMOOTH}, // derived
        {0, {1, 0, 0}, {false, false, false}, GL_FLAT},            // a wrong face normal...
        {SIMF_FNORMALS, {1, 0, 0}, {true, true, true}, GL_FLAT},    // ...derived again
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        SimObject& obj = simWorld.objects[oid];
        obj.flags = c.flags;
        std::copy(c.faceNormal, c.faceNormal + 3, obj.polys[0].normal);
        for (int i = 0; i < 3; ++i)
            std::copy(normals[i], normals[i] + 3, obj.masses[i].normal);
        drawLit(oid);
        for (int i = 0; i < 3; ++i) {
            const int red = glPixelAtWorld(probes[i][0], probes[i][1], 0).r;
            EXPECT_TRUE(c.lit[i] ? red > 180 : red < 80) << "probe " << i << ": " << red;
        }
        EXPECT_EQ(glInt(GL_SHADE_MODEL), c.shading);
    }
}

// The frustum by aspect and the drag from the centre are seen in every frame
// of ZibbetE2e; a minimised window, never: it keeps the last projection.
TEST_F(GlWindowTest, AMinimisedWindowKeepsTheLastProjection) {
    reshape(600, 500);
    GLdouble shown[16], minimised[16];
    glGetDoublev(GL_PROJECTION_MATRIX, shown);
    for (const auto& [width, height] : {std::pair{0, 500}, {600, 0}}) {
        reshape(width, height);
        EXPECT_EQ(std::tie(winWidth, winHeight), std::tie(width, height));
        glGetDoublev(GL_PROJECTION_MATRIX, minimised);
        EXPECT_EQ(std::memcmp(shown, minimised, sizeof shown), 0) << width << "x" << height;
    }
}
