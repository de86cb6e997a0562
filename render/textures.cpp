// Texture set-up: the six face images serve both as 2D face textures (made
// here) and as the faces of the cube environment map (uploaded by the
// renderer from faceImages).
#include "render/textures.h"

#include <GL/glu.h>

#include <cstdio>

#include "import/tga.h"
#include "platform/platform_gl.h"

unsigned char faceImages[TEX_FACES][TEX_FACE_BYTES];
unsigned char* faceTexImages[TEX_FACES];
GLuint faceTextures[TEX_FACES];
float faceTexCoords[TEX_BOX_TRIANGLES][3][2];
PFNGLBINDTEXTUREEXTPROC bindTextureFn;
PFNGLGENTEXTURESEXTPROC genTexturesFn;

namespace {

// Face texture slot s is made from the file "kFileOfSlot[s].tga".
constexpr int kFileOfSlot[TEX_FACES] = {2, 5, 0, 3, 1, 4};

constexpr int kTgaNameLen = 8;

// (s, t) per corner for the four kinds of triangle: the first and second of
// the four side faces, then the first and second of the two end faces.
constexpr float kSideFirst[3][2] = {{1, 1}, {1, 0}, {0, 0}};
constexpr float kSideSecond[3][2] = {{0, 0}, {0, 1}, {1, 1}};
constexpr float kEndFirst[3][2] = {{1, 0}, {0, 0}, {0, 1}};
constexpr float kEndSecond[3][2] = {{0, 1}, {1, 1}, {1, 0}};
constexpr int kSideTriangles = 8;

int slotOfFile(int k) {
    int s = 0;
    while (kFileOfSlot[s] != k)
        ++s;
    return s;
}

void setRow(int triangle, const float (&row)[3][2]) {
    for (int c = 0; c < 3; ++c) {
        faceTexCoords[triangle][c][0] = row[c][0];
        faceTexCoords[triangle][c][1] = row[c][1];
    }
}

void fillTexCoords() {
    for (int i = 0; i < TEX_BOX_TRIANGLES; ++i) {
        const bool first = i % 2 == 0;
        if (i < kSideTriangles)
            setRow(i, first ? kSideFirst : kSideSecond);
        else
            setRow(i, first ? kEndFirst : kEndSecond);
    }
}

} // namespace

void initTextures() {
    void* bind = platGLProcAddress("glBindTextureEXT");
    void* gen = platGLProcAddress("glGenTexturesEXT");
    bindTextureFn = bind ? reinterpret_cast<PFNGLBINDTEXTUREEXTPROC>(bind) : glBindTexture;
    genTexturesFn = gen ? reinterpret_cast<PFNGLGENTEXTURESEXTPROC>(gen) : glGenTextures;

    int widths[TEX_FACES] = {};
    int heights[TEX_FACES] = {};
    for (int k = 0; k < TEX_FACES; ++k) {
        char name[kTgaNameLen];
        std::snprintf(name, sizeof name, "%d.tga", k);
        const int slot = slotOfFile(k);
        faceTexImages[slot] =
            loadTGA(name, &widths[slot], &heights[slot], faceImages[k], TEX_FACE_BYTES);
    }
    std::printf("Textures load completed.\n");

    for (int s = 0; s < TEX_FACES; ++s) {
        // The texture reads width x height x 4 bytes. A slot whose file failed,
        // or whose image has fewer bytes per pixel than that, is made from its
        // whole face buffer instead: defined data, never read past its end.
        const unsigned char* image = faceTexImages[s];
        int w = widths[s];
        int h = heights[s];
        const size_t need =
            static_cast<size_t>(w) * static_cast<size_t>(h) * TEX_FACE_BYTES_PER_PIXEL;
        if (!image || need > TEX_FACE_BYTES) {
            const int k = kFileOfSlot[s];
            if (image)
                std::printf("  ***WARNING*** initTextures(): %d.tga is not a %dx%d 32-bit image; "
                            "its texture takes the face buffer as it is.\n",
                            k, TEX_FACE_SIZE, TEX_FACE_SIZE);
            image = faceImages[k];
            w = TEX_FACE_SIZE;
            h = TEX_FACE_SIZE;
        }
        genTexturesFn(1, &faceTextures[s]);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        bindTextureFn(GL_TEXTURE_2D, faceTextures[s]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexImage2D(GL_TEXTURE_2D, 0, TEX_FACE_BYTES_PER_PIXEL, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     image);
        gluBuild2DMipmaps(GL_TEXTURE_2D, TEX_FACE_BYTES_PER_PIXEL, w, h, GL_RGBA, GL_UNSIGNED_BYTE,
                          image);
    }
    glDisable(GL_TEXTURE_2D);
    fillTexCoords();
}
