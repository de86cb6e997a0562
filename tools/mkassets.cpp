// zibbet-assets: writes the files the program reads at start-up, made by our
// own writers: the moon scene bmoon1m.3ds and the six cube faces 0.tga to
// 5.tga. It also writes larger scenes for benchmarks and fuzz seed corpora.
//
//   zibbet-assets DIR               default scene and textures into DIR
//   zibbet-assets --sphere N FILE   a sphere of about N vertices
//   zibbet-assets --seeds NAME DIR  seed corpus of fuzz target fuzz_NAME
//
// Sections: moon; textures; seeds; main.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/fixtures/meshgen.h"
#include "tools/fixtures/moon_scene.h"
#include "tools/fixtures/seeds3ds.h"
#include "tools/fixtures/seedsscene.h"
#include "tools/fixtures/seedstga.h"
#include "tools/fixtures/tga_writer.h"
#include "tools/fixtures/writer3ds.h"

namespace {

// ---------------------------------------------------------------------------
// Moon
// ---------------------------------------------------------------------------

constexpr float BENCH_RADIUS = FX_MOON_RADIUS; // file units
const char* const SCENE_FILE = "bmoon1m.3ds";

bool writeMoon(const std::string& dir) {
    FxMesh moon = fxDefaultMoon();
    std::string path = dir + "/" + SCENE_FILE;
    if (!fxWriteFile(path, fxDefaultScene())) {
        std::printf("zibbet-assets: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("zibbet-assets: %s: %zu vertices, %zu faces, %ld springs at start-up\n",
                path.c_str(), moon.verts.size(), moon.faces.size(),
                fxCountBandSprings(moon, FX_LOAD_SCALE, FX_SPRING_BAND));
    return true;
}

// ---------------------------------------------------------------------------
// Textures
// ---------------------------------------------------------------------------
constexpr int TEX_SIZE = 256; // pixels, both ways
constexpr int GLYPH_W = 5;    // font cell, pixels
constexpr int GLYPH_H = 7;
constexpr int GLYPH_SCALE = 12; // screen pixels per font pixel
constexpr int DIGIT_X = 30;     // top-left corner of the digit: off-centre so a
constexpr int DIGIT_Y = 26;     // turned or mirrored face shows at once
constexpr int STARS = 420;
constexpr int FACES = 6;

// Digits 0 to 5, one row per byte, the high bit of five on the left.
const uint8_t DIGITS[FACES][GLYPH_H] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1E, 0x01, 0x01, 0x0E, 0x01, 0x01, 0x1E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}};

// Each face's nebula tint, red, green, blue from 0 to 1.
const float TINTS[FACES][3] = {{0.85f, 0.25f, 0.45f}, {0.95f, 0.55f, 0.20f}, {0.30f, 0.85f, 0.40f},
                               {0.20f, 0.75f, 0.85f}, {0.30f, 0.40f, 0.95f}, {0.65f, 0.30f, 0.90f}};

uint32_t hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

double latticeValue(int x, int y, uint32_t seed) {
    uint32_t h =
        hash(static_cast<uint32_t>(x) * 73856093U ^ static_cast<uint32_t>(y) * 19349663U ^ seed);
    return (h & 0xFFFFFF) / 16777215.0;
}

// Smooth value noise, 0 to 1, with cell size `cell` pixels.
double valueNoise(double x, double y, double cell, uint32_t seed) {
    double fx = x / cell, fy = y / cell;
    int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
    double tx = fx - ix, ty = fy - iy;
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    double a = latticeValue(ix, iy, seed), b = latticeValue(ix + 1, iy, seed);
    double c = latticeValue(ix, iy + 1, seed), d = latticeValue(ix + 1, iy + 1, seed);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

struct Canvas {
    float px[TEX_SIZE][TEX_SIZE][3]; // [row from the top][column][rgb], 0 to 1

    void add(int x, int y, float r, float g, float b) {
        if (x < 0 || y < 0 || x >= TEX_SIZE || y >= TEX_SIZE) return;
        px[y][x][0] += r;
        px[y][x][1] += g;
        px[y][x][2] += b;
    }
    void set(int x, int y, float r, float g, float b) {
        if (x < 0 || y < 0 || x >= TEX_SIZE || y >= TEX_SIZE) return;
        px[y][x][0] = r;
        px[y][x][1] = g;
        px[y][x][2] = b;
    }
};

void paintNebula(Canvas& c, int face) {
    const float* tint = TINTS[face];
    uint32_t seed = 0x9E3779B9U * static_cast<uint32_t>(face + 1);
    for (int y = 0; y < TEX_SIZE; ++y) {
        for (int x = 0; x < TEX_SIZE; ++x) {
            double n = 0.55 * valueNoise(x, y, 64, seed) + 0.30 * valueNoise(x, y, 24, seed + 1) +
                       0.15 * valueNoise(x, y, 9, seed + 2);
            double glow = std::pow(std::max(0.0, n - 0.3) / 0.7, 1.6) * 0.8;
            // The second colour of the cloud is the tint turned a little.
            double swirl = valueNoise(x, y, 40, seed + 3);
            c.set(x, y,
                  static_cast<float>(0.015 + glow * (tint[0] * (1 - swirl) + tint[2] * swirl)),
                  static_cast<float>(0.018 + glow * tint[1]),
                  static_cast<float>(0.035 + glow * (tint[2] * (1 - swirl) + tint[0] * swirl)));
        }
    }
}

void paintStars(Canvas& c, int face) {
    uint32_t state = 12345u + 977u * static_cast<uint32_t>(face);
    for (int i = 0; i < STARS; ++i) {
        state = hash(state + static_cast<uint32_t>(i));
        int x = static_cast<int>(state % TEX_SIZE);
        int y = static_cast<int>((state >> 8) % TEX_SIZE);
        float bright = 0.25f + ((state >> 16) & 0xFF) / 255.0f * 0.75f;
        float blue = ((state >> 24) & 1) ? 1.0f : 0.85f;
        c.add(x, y, bright * 0.9f, bright * 0.92f, bright * blue);
        if (bright > 0.9f) { // the brightest get a small cross
            for (int d = 1; d <= 2; ++d) {
                float fade = bright * (d == 1 ? 0.45f : 0.18f);
                c.add(x + d, y, fade, fade, fade);
                c.add(x - d, y, fade, fade, fade);
                c.add(x, y + d, fade, fade, fade);
                c.add(x, y - d, fade, fade, fade);
            }
        }
    }
}

// The face's digit with a dark outline, and a bar under it: both sit in the
// upper left quarter.
void paintMarker(Canvas& c, int face) {
    const float* tint = TINTS[face];
    auto lit = [&](int gx, int gy) {
        return gx >= 0 && gy >= 0 && gx < GLYPH_W && gy < GLYPH_H &&
               (DIGITS[face][gy] >> (GLYPH_W - 1 - gx) & 1);
    };
    const int w = GLYPH_W * GLYPH_SCALE, h = GLYPH_H * GLYPH_SCALE;
    const int edge = 3; // outline, pixels
    for (int y = -edge; y < h + edge; ++y) {
        for (int x = -edge; x < w + edge; ++x) {
            bool inside = x >= 0 && y >= 0 && lit(x / GLYPH_SCALE, y / GLYPH_SCALE);
            if (inside) {
                c.set(DIGIT_X + x, DIGIT_Y + y, 0.55f + 0.45f * tint[0], 0.55f + 0.45f * tint[1],
                      0.55f + 0.45f * tint[2]);
                continue;
            }
            bool near = false;
            for (int dy = -edge; dy <= edge && !near; ++dy)
                for (int dx = -edge; dx <= edge && !near; ++dx) {
                    int sx = x + dx, sy = y + dy;
                    near = sx >= 0 && sy >= 0 && lit(sx / GLYPH_SCALE, sy / GLYPH_SCALE);
                }
            if (near) c.set(DIGIT_X + x, DIGIT_Y + y, 0.02f, 0.02f, 0.04f);
        }
    }
    for (int y = DIGIT_Y + h + 10; y < DIGIT_Y + h + 18; ++y)
        for (int x = DIGIT_X; x < DIGIT_X + w + 40; ++x)
            c.set(x, y, 0.4f + 0.6f * tint[0], 0.4f + 0.6f * tint[1], 0.4f + 0.6f * tint[2]);
}

uint8_t toByte(float v) {
    float s = std::round(std::clamp(v, 0.0f, 1.0f) * 255.0f);
    return static_cast<uint8_t>(s);
}

bool writeTexture(const std::string& dir, int face) {
    static Canvas canvas; // 768 KB: kept off the stack
    paintNebula(canvas, face);
    paintStars(canvas, face);
    paintMarker(canvas, face);
    // File rows run from the bottom of the picture up (descriptor 0).
    FxBytes rgba;
    rgba.reserve(TEX_SIZE * TEX_SIZE * 4);
    for (int row = TEX_SIZE - 1; row >= 0; --row) {
        for (int x = 0; x < TEX_SIZE; ++x) {
            for (int k = 0; k < 3; ++k)
                rgba.push_back(toByte(canvas.px[row][x][k]));
            rgba.push_back(255);
        }
    }
    std::string path = dir + "/" + std::to_string(face) + ".tga";
    if (!fxWriteFile(path, fxTgaRgba(TEX_SIZE, TEX_SIZE, rgba))) {
        std::printf("zibbet-assets: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Seeds
// ---------------------------------------------------------------------------
bool writeSeed(const std::string& dir, const std::string& name, const FxBytes& bytes) {
    std::string path = dir + "/seed_" + name;
    if (fxWriteFile(path, bytes)) return true;
    std::printf("zibbet-assets: cannot write %s\n", path.c_str());
    return false;
}

bool writeSeeds(const std::string& target, const std::string& dir) {
    if (target != "load3ds" && target != "loadtga" && target != "scene") {
        std::printf("zibbet-assets: no seeds for fuzz target %s\n", target.c_str());
        return false;
    }
    std::error_code err;
    std::filesystem::create_directories(dir, err);
    if (err) {
        std::printf("zibbet-assets: cannot make %s\n", dir.c_str());
        return false;
    }
    if (target == "load3ds") {
        for (const FxSeed& seed : fxSeeds3DS())
            if (!writeSeed(dir, seed.name, seed.bytes)) return false;
    } else if (target == "loadtga") {
        for (const FxTgaSeed& seed : fxSeedsTGA())
            if (!writeSeed(dir, seed.name, seed.bytes)) return false;
    } else {
        for (const FxSceneSeed& seed : fxSeedsScene())
            if (!writeSeed(dir, seed.name, seed.bytes)) return false;
    }
    return true;
}

bool writeSphere(int nVerts, const std::string& path) {
    std::vector<FxMesh> parts = fxBenchSphere("Sphere", BENCH_RADIUS, nVerts);
    size_t verts = 0, faces = 0;
    for (FxMesh& part : parts) {
        fxAddWholeGroup(part);
        verts += part.verts.size();
        faces += part.faces.size();
    }
    if (!fxWriteFile(path, fx3dsScene(parts, {fxMoonMaterial()}))) {
        std::printf("zibbet-assets: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("zibbet-assets: %s: %zu objects, %zu vertices, %zu faces\n", path.c_str(),
                parts.size(), verts, faces);
    return true;
}

int usage() {
    std::printf("usage: zibbet-assets DIR\n"
                "       zibbet-assets --sphere N FILE\n"
                "       zibbet-assets --seeds NAME DIR\n");
    return 2;
}

} // namespace

// ---------------------------------------------------------------------------
// Main
// ---------------------------------------------------------------------------
int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--sphere") == 0) {
        char* end = nullptr;
        long n = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || n < 12 || n > 20 * FX_MAX_3DS_COUNT) {
            std::printf("zibbet-assets: N must be a number from 12 to %d\n", 20 * FX_MAX_3DS_COUNT);
            return 2;
        }
        return writeSphere(static_cast<int>(n), argv[3]) ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "--seeds") == 0)
        return writeSeeds(argv[2], argv[3]) ? 0 : 1;
    if (argc != 2 || argv[1][0] == '-') return usage();

    std::string dir = argv[1];
    std::error_code err;
    std::filesystem::create_directories(dir, err);
    if (err) {
        std::printf("zibbet-assets: cannot make %s\n", dir.c_str());
        return 1;
    }
    bool ok = writeMoon(dir);
    for (int face = 0; face < FACES && ok; ++face)
        ok = writeTexture(dir, face);
    return ok ? 0 : 1;
}
