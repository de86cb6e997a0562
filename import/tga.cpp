// The TGA reader. It trusts nothing in the header: the image must fit the
// buffer it goes to, and a file that ends early only leaves the rest of the
// buffer without new data.
#include "import/tga.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 18;
constexpr int kIdLengthAt = 0;
constexpr int kColourMapTypeAt = 1;
constexpr int kWidthAt = 12;
constexpr int kHeightAt = 14;
constexpr int kBitsPerPixelAt = 16;

// Blue and red are the first and third bytes of a stored pixel; pixels of
// fewer than three bytes hold no such pair and are left as stored.
constexpr size_t kSwapMinBytesPerPixel = 3;

int readLE16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

} // namespace

unsigned char* loadTGA(const char* fileName, int* width, int* height, unsigned char* buffer,
                       size_t capacity) {
    std::printf("TGA Reader loading file '%s'\n", fileName);
    std::FILE* file = std::fopen(fileName, "rb");
    if (!file) {
        const int err = errno; // before printf, which may change it
        std::printf("\nError opening file.\n");
        // The console line above names no file and no cause; say both where
        // they cannot mix with the program's own output.
        std::fprintf(stderr, "zibbet: cannot open %s: %s\n", fileName, std::strerror(err));
        return nullptr;
    }

    unsigned char header[kHeaderBytes];
    if (std::fread(header, 1, kHeaderBytes, file) != kHeaderBytes) {
        std::printf("\nTGA file too short for its header.\n");
        std::fclose(file);
        return nullptr;
    }
    const int w = readLE16(header + kWidthAt);
    const int h = readLE16(header + kHeightAt);
    const size_t bytesPerPixel = header[kBitsPerPixelAt] / 8;
    const size_t size = static_cast<size_t>(w) * static_cast<size_t>(h) * bytesPerPixel;

    // An empty image would leave the caller a buffer it cannot size, and a
    // pixel of no bytes would never advance through the data.
    if (size == 0) {
        std::printf("\nTGA image holds no pixels (%dx%d, %zu bytes per pixel).\n", w, h,
                    bytesPerPixel);
        std::fclose(file);
        return nullptr;
    }
    if (size > capacity) {
        std::printf("\nTGA image too large for its buffer (%dx%d, %zu bytes per pixel).\n", w, h,
                    bytesPerPixel);
        std::fclose(file);
        return nullptr;
    }

    unsigned char* image = buffer;
    if (!image) {
        // Zero-filled, so that pixels a short file never delivers are defined.
        image = static_cast<unsigned char*>(std::calloc(size, 1));
        if (!image) {
            std::printf("\n\nNot enough memory to load image data");
            std::fclose(file);
            return nullptr;
        }
    }

    if (header[kColourMapTypeAt] != 0) {
        std::printf("\nCouldn't load paletized TGAs");
        if (!buffer) std::free(image);
        std::fclose(file);
        return nullptr;
    }

    // A seek past the end is not an error: the read below then gets nothing.
    std::fseek(file, static_cast<long>(kHeaderBytes + header[kIdLengthAt]), SEEK_SET);
    const size_t delivered = std::fread(image, 1, size, file);
    std::fclose(file);

    // Every pixel is exchanged, read or not. A buffer of our own is zero past
    // what the file delivered, and exchanging zeros changes nothing, so there
    // the exchange ends with the last pixel the file reached: a short file
    // that claims a large image then costs no pass over memory it never used.
    size_t swapEnd = size;
    if (!buffer) {
        const size_t reached = (delivered + bytesPerPixel - 1) / bytesPerPixel * bytesPerPixel;
        if (reached < size) swapEnd = reached;
    }
    if (bytesPerPixel >= kSwapMinBytesPerPixel) {
        for (size_t at = 0; at < swapEnd; at += bytesPerPixel) {
            const unsigned char blue = image[at];
            image[at] = image[at + 2];
            image[at + 2] = blue;
        }
    }

    *width = w;
    *height = h;
    return image;
}
