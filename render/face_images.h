// The shape of the six face images, apart from the GL texture code so that
// the TGA fixtures build without GL headers.
#pragma once

#include <cstddef>

constexpr int TEX_FACES = 6;       // face images, face textures and cube-map faces
constexpr int TEX_FACE_SIZE = 256; // pixels along each side of a face image
constexpr int TEX_FACE_BYTES_PER_PIXEL = 4;
constexpr size_t TEX_FACE_BYTES =
    static_cast<size_t>(TEX_FACE_SIZE) * TEX_FACE_SIZE * TEX_FACE_BYTES_PER_PIXEL;
