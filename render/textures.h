// The six face images and the 2D face textures made from them, the texture
// coordinates of a per-face textured box, and the texture entry points.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstddef>

#include "render/face_images.h"

constexpr int TEX_BOX_TRIANGLES = 12; // two triangles per face texture

// Image k holds the file "k.tga", zero-filled until it is read.
extern unsigned char faceImages[TEX_FACES][TEX_FACE_BYTES];
// The image each face texture is made from (null while its file failed to load).
extern unsigned char* faceTexImages[TEX_FACES];
// 2D texture names; triangles 2s and 2s + 1 of a face-textured object use entry s.
extern GLuint faceTextures[TEX_FACES];
// (s, t) of each corner v0, v1, v2 of each triangle of a face-textured object.
extern float faceTexCoords[TEX_BOX_TRIANGLES][3][2];

extern PFNGLBINDTEXTUREEXTPROC bindTextureFn; // every texture bind goes through this
extern PFNGLGENTEXTURESEXTPROC genTexturesFn; // makes texture names

// Finds the entry points, reads 0.tga to 5.tga and makes the six mipmapped
// face textures. Needs a current rendering context.
void initTextures();
