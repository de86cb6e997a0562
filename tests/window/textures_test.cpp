// initTextures in a real rendering context: which file each texture and each
// cube-map face shows, and what a slot gets when its file is missing or odd.
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "face_files.h"
#include "gl_window.h"
#include "render/renderer.h"
#include "render/textures.h"
#include "tools/common/tga_writer.h"

namespace {

constexpr int kSide = 256;
// File that face texture slot s is made from.
constexpr int kFileOfSlot[6] = {2, 5, 0, 3, 1, 4};
constexpr FaceRgba kSolid[6] = {{200, 10, 10, 255},  {10, 200, 10, 255},  {10, 10, 200, 255},
                                {200, 200, 10, 255}, {10, 200, 200, 255}, {200, 10, 200, 255}};

FaceRgba solidFace(int file, int, int) {
    return kSolid[file];
}

// Every texel of level 0 of the texture bound to target (or cube face target).
std::vector<unsigned char> texels(GLenum target, int* width, int* height) {
    glGetTexLevelParameteriv(target, 0, GL_TEXTURE_WIDTH, width);
    glGetTexLevelParameteriv(target, 0, GL_TEXTURE_HEIGHT, height);
    std::vector<unsigned char> data(static_cast<size_t>(*width) * *height * 4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(target, 0, GL_RGBA, GL_UNSIGNED_BYTE, data.data());
    return data;
}

// True when every texel is rgba.
bool allTexels(const std::vector<unsigned char>& data, FaceRgba rgba) {
    for (size_t at = 0; at < data.size(); at += 4)
        if (std::memcmp(&data[at], rgba.data(), 4) != 0) return false;
    return !data.empty();
}

std::string loadingLines(int missing) {
    std::string out;
    for (int k = 0; k < 6; ++k) {
        out += "TGA Reader loading file '" + std::to_string(k) + ".tga'\n";
        if (k == missing) out += "\nError opening file.\n";
    }
    return out + "Textures load completed.\n";
}

class TexturesTest : public GlWindowTest {
  protected:
    void SetUp() override {
        GlWindowTest::SetUp();
        std::memset(faceImages, 0, sizeof faceImages);
    }
    void TearDown() override {
        std::memset(faceImages, 0, sizeof faceImages);
        GlWindowTest::TearDown();
    }
    std::string initIn(const std::string& dir) {
        ScopedWorkDir cwd(dir);
        return captureStdout([] { initTextures(); });
    }
};

TEST_F(TexturesTest, SlotsTakeTheirFilesWhileCubeMapFacesKeepFileOrder) {
    const std::string out = initIn(writeFaceFiles("slots", solidFace));
    EXPECT_EQ(out, loadingLines(-1));
    ASSERT_NE(bindTextureFn, nullptr);
    ASSERT_NE(genTexturesFn, nullptr);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));

    for (int s = 0; s < 6; ++s) {
        const int file = kFileOfSlot[s];
        EXPECT_EQ(faceTexImages[s], faceImages[file]) << "slot " << s;
        EXPECT_NE(faceTextures[s], 0u);
        for (int other = 0; other < s; ++other)
            EXPECT_NE(faceTextures[s], faceTextures[other]);
        glBindTexture(GL_TEXTURE_2D, faceTextures[s]);
        int w = 0, h = 0;
        const std::vector<unsigned char> data = texels(GL_TEXTURE_2D, &w, &h);
        EXPECT_EQ(w, kSide);
        EXPECT_EQ(h, kSide);
        EXPECT_TRUE(allTexels(data, kSolid[file])) << "slot " << s << " should show " << file;
        // Mipmapped down to one texel of the same colour.
        unsigned char last[4] = {};
        glGetTexImage(GL_TEXTURE_2D, 8, GL_RGBA, GL_UNSIGNED_BYTE, last);
        EXPECT_EQ(std::memcmp(last, kSolid[file].data(), 4), 0) << "slot " << s;
    }

    // Cube-map face k shows file k.
    GLuint cube = 0;
    glGenTextures(1, &cube);
    glBindTexture(GL_TEXTURE_CUBE_MAP_ARB, cube);
    uploadCubeMap();
    for (int k = 0; k < 6; ++k) {
        int w = 0, h = 0;
        const std::vector<unsigned char> data =
            texels(GL_TEXTURE_CUBE_MAP_POSITIVE_X_ARB + k, &w, &h);
        EXPECT_EQ(w, kSide);
        EXPECT_TRUE(allTexels(data, kSolid[k])) << "cube face " << k;
    }
    glBindTexture(GL_TEXTURE_CUBE_MAP_ARB, 0);
    glDeleteTextures(1, &cube);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(TexturesTest, MissingFileLeavesItsSlotABlankFaceAndLoadingGoesOn) {
    const std::string dir = writeFaceFiles("missing", solidFace);
    std::remove((dir + "/3.tga").c_str());
    EXPECT_EQ(initIn(dir), loadingLines(3));
    // File 3 feeds slot 3: a 256 x 256 texture of the zero-filled face image.
    EXPECT_EQ(faceTexImages[3], nullptr);
    glBindTexture(GL_TEXTURE_2D, faceTextures[3]);
    int w = 0, h = 0;
    const std::vector<unsigned char> data = texels(GL_TEXTURE_2D, &w, &h);
    EXPECT_EQ(w, kSide);
    EXPECT_EQ(h, kSide);
    EXPECT_TRUE(allTexels(data, {0, 0, 0, 0}));
    // The slots after it are made as usual.
    glBindTexture(GL_TEXTURE_2D, faceTextures[4]);
    EXPECT_TRUE(allTexels(texels(GL_TEXTURE_2D, &w, &h), kSolid[1]));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(TexturesTest, ImageOfThreeBytesPerPixelNeverReadsPastItsFaceBuffer) {
    const std::string dir = writeFaceFiles("rgb", solidFace);
    // 295 x 295 at 24 bits fits the face buffer, but 295 x 295 x 4 would not.
    constexpr int kOdd = 295;
    FxTgaHeader odd;
    odd.width = odd.height = kOdd;
    odd.bitsPerPixel = 24;
    ASSERT_TRUE(fxWriteFile(dir + "/0.tga", fxTga(odd, FxBytes(kOdd * kOdd * 3, 9))));

    const std::string out = initIn(dir);
    EXPECT_NE(out.find("  ***WARNING*** initTextures(): 0.tga is not a 256x256 32-bit image; its "
                       "texture takes the face buffer as it is.\n"),
              std::string::npos)
        << out;
    glBindTexture(GL_TEXTURE_2D, faceTextures[2]); // the slot of 0.tga
    int w = 0, h = 0;
    const std::vector<unsigned char> data = texels(GL_TEXTURE_2D, &w, &h);
    EXPECT_EQ(w, kSide);
    EXPECT_EQ(h, kSide);
    EXPECT_EQ(data[0], 9); // the file's bytes, as read
}

TEST_F(TexturesTest, TextureCoordinatesFollowTheBoxTable) {
    initIn(writeFaceFiles("coords", solidFace));
    // (s, t) of corners v0, v1, v2: four kinds of row, for the side faces
    // (triangles 0 to 7) and the end faces (8 to 11).
    const float side[2][3][2] = {{{1, 1}, {1, 0}, {0, 0}}, {{0, 0}, {0, 1}, {1, 1}}};
    const float end[2][3][2] = {{{1, 0}, {0, 0}, {0, 1}}, {{0, 1}, {1, 1}, {1, 0}}};
    for (int i = 0; i < 12; ++i) {
        const float(*want)[2] = i < 8 ? side[i % 2] : end[i % 2];
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(faceTexCoords[i][c][0], want[c][0]) << "triangle " << i << " corner " << c;
            EXPECT_EQ(faceTexCoords[i][c][1], want[c][1]) << "triangle " << i << " corner " << c;
        }
    }
}

} // namespace
