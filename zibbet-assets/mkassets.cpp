// zibbet-assets: writes the files the program reads at start-up, made by our
// own writers: the moon scene bmoon1m.3ds and the six cube faces 0.tga to
// 5.tga. It also writes larger scenes for benchmarks and the program's icon.
//
//   zibbet-assets DIR               default scene and textures into DIR
//   zibbet-assets --sphere N FILE   a sphere of about N vertices, one object
//                                   while it fits the 3DS counts (65,535)
//   zibbet-assets --icon SIZE FILE  the program's icon, SIZE x SIZE pixels, PNG
//
// Sections: moon; textures; icon; main.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "scenegen/meshgen.h"
#include "scenegen/moon_scene.h"
#include "scenegen/png_writer.h"
#include "scenegen/tga_writer.h"
#include "scenegen/writer3ds.h"

namespace {

// ---------------------------------------------------------------------------
// Moon
// ---------------------------------------------------------------------------

constexpr int kMaxSphereVerts = 655340; // --sphere: what the generator makes in seconds
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

bool writeSphere(int nVerts, const std::string& path) {
    const std::vector<FxMesh> parts = fxSphereParts(nVerts);
    size_t verts = 0, faces = 0;
    for (const FxMesh& part : parts) {
        verts += part.verts.size();
        faces += part.faces.size();
    }
    if (!fxWriteFile(path, fxSphereScene(parts))) {
        std::printf("zibbet-assets: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("zibbet-assets: %s: %zu objects, %zu vertices, %zu faces\n", path.c_str(),
                parts.size(), verts, faces);
    return true;
}

// ---------------------------------------------------------------------------
// Icon
// ---------------------------------------------------------------------------
// The view the program opens on, drawn in the unit square (y down): the
// inside of the cube seen through its open front, its four side walls and
// the back wall in their faces' tints, yellow edge lines, and the mirror-like
// body resting on the floor. Each pixel averages a grid of samples, which
// gives smooth edges and an alpha channel outside the rounded corners.
constexpr int ICON_MIN = 16, ICON_MAX = 1024;     // pixels
constexpr int ICON_SAMPLES = 4;                   // per pixel, both ways
constexpr double ICON_MARGIN = 0.03;              // unit square
constexpr double ICON_CORNER = 0.17;              // corner radius
constexpr double ICON_BACK = 0.2;                 // half side of the back wall
constexpr double ICON_LINE = 0.012;               // edge line width
constexpr double BODY_X = 0.5, BODY_Y = 0.665;    // the body's centre
constexpr double BODY_RX = 0.175, BODY_RY = 0.15; // flattened a little where it lands

struct IconColour {
    double r, g, b, a;
};

bool insideRoundedSquare(double x, double y) {
    const double lo = ICON_MARGIN + ICON_CORNER, hi = 1.0 - ICON_MARGIN - ICON_CORNER;
    const double dx = std::max({lo - x, x - hi, 0.0}), dy = std::max({lo - y, y - hi, 0.0});
    if (x < ICON_MARGIN || x > 1.0 - ICON_MARGIN || y < ICON_MARGIN || y > 1.0 - ICON_MARGIN)
        return false;
    return dx * dx + dy * dy <= ICON_CORNER * ICON_CORNER;
}

// A wall of the cube with its face's tint and nebula: back 0, then ceiling,
// floor, left, right.
IconColour iconWall(double x, double y) {
    const double ax = std::fabs(x - 0.5), ay = std::fabs(y - 0.5);
    int wall = 0;
    if (std::max(ax, ay) > ICON_BACK) {
        if (ay >= ax)
            wall = y < 0.5 ? 1 : 2;
        else
            wall = x < 0.5 ? 3 : 4;
    }
    const int face[5] = {5, 2, 3, 1, 0};
    const float* tint = TINTS[face[wall]];
    const double n = valueNoise(x * 256, y * 256, 40, 77u + wall);
    const double glow = 0.25 + 0.55 * n;
    // The side walls darken towards the back, as the lit walls do.
    const double depth =
        wall ? 0.55 + 0.45 * (std::max(ax, ay) - ICON_BACK) / (0.5 - ICON_BACK) : 0.7;
    return {0.03 + glow * depth * tint[0], 0.03 + glow * depth * tint[1],
            0.06 + glow * depth * tint[2], 1.0};
}

// Distance from (x, y) to the segment from (x0, y0) to (x1, y1).
double segmentDistance(double x, double y, double x0, double y0, double x1, double y1) {
    const double dx = x1 - x0, dy = y1 - y0;
    double t = ((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy);
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(x - x0 - t * dx, y - y0 - t * dy);
}

bool onEdgeLine(double x, double y) {
    const double b0 = 0.5 - ICON_BACK, b1 = 0.5 + ICON_BACK;
    const double o0 = ICON_MARGIN + 0.04, o1 = 1.0 - ICON_MARGIN - 0.04;
    const double segs[8][4] = {{b0, b0, b1, b0}, {b1, b0, b1, b1}, {b1, b1, b0, b1},
                               {b0, b1, b0, b0}, {o0, o0, b0, b0}, {o1, o0, b1, b0},
                               {o1, o1, b1, b1}, {o0, o1, b0, b1}};
    for (const auto& s : segs)
        if (segmentDistance(x, y, s[0], s[1], s[2], s[3]) < ICON_LINE / 2) return true;
    return false;
}

// The body: a shaded ball that mirrors the walls' tints, lit from the upper left.
bool iconBody(double x, double y, IconColour& c) {
    const double u = (x - BODY_X) / BODY_RX, v = (y - BODY_Y) / BODY_RY;
    const double d2 = u * u + v * v;
    if (d2 > 1.0) return false;
    const double nz = std::sqrt(1.0 - d2); // normal (u, -v, nz), towards the viewer
    const double lx = -0.45, ly = 0.55, lz = 0.70;
    const double diffuse = std::max(0.0, u * lx - v * ly + nz * lz);
    // The reflected direction's vertical part picks ceiling or floor tint.
    const float* up = TINTS[2];
    const float* down = TINTS[5];
    const double mixUp = 0.5 - 0.5 * v;
    const double highlight = std::pow(std::max(0.0, diffuse), 24.0);
    const double base = 0.12 + 0.35 * diffuse;
    c = {base + 0.3 * (mixUp * up[0] + (1 - mixUp) * down[0]) * nz + highlight,
         base + 0.3 * (mixUp * up[1] + (1 - mixUp) * down[1]) * nz + highlight,
         base + 0.3 * (mixUp * up[2] + (1 - mixUp) * down[2]) * nz + highlight, 1.0};
    return true;
}

IconColour iconSample(double x, double y) {
    if (!insideRoundedSquare(x, y)) return {0, 0, 0, 0};
    IconColour c{};
    if (iconBody(x, y, c)) return c;
    if (onEdgeLine(x, y)) return {0.85, 0.85, 0.35, 1.0};
    return iconWall(x, y);
}

bool writeIcon(int size, const std::string& path) {
    std::vector<uint8_t> rgba;
    rgba.reserve(static_cast<size_t>(size) * size * 4);
    const double step = 1.0 / (static_cast<double>(size) * ICON_SAMPLES);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            double sum[4] = {0, 0, 0, 0};
            for (int sy = 0; sy < ICON_SAMPLES; ++sy)
                for (int sx = 0; sx < ICON_SAMPLES; ++sx) {
                    const IconColour c = iconSample((px * ICON_SAMPLES + sx + 0.5) * step,
                                                    (py * ICON_SAMPLES + sy + 0.5) * step);
                    // Colours add weighted by their cover, so edges do not darken.
                    sum[0] += c.r * c.a;
                    sum[1] += c.g * c.a;
                    sum[2] += c.b * c.a;
                    sum[3] += c.a;
                }
            for (int k = 0; k < 3; ++k)
                rgba.push_back(sum[3] > 0 ? toByte(static_cast<float>(sum[k] / sum[3])) : 0);
            rgba.push_back(toByte(static_cast<float>(sum[3] / (ICON_SAMPLES * ICON_SAMPLES))));
        }
    }
    if (!writePngRgba(path, size, size, rgba)) {
        std::printf("zibbet-assets: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

int usage() {
    std::printf("usage: zibbet-assets DIR\n"
                "       zibbet-assets --sphere N FILE\n"
                "       zibbet-assets --icon SIZE FILE\n");
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
        if (*end != '\0' || n < 12 || n > kMaxSphereVerts) {
            std::printf("zibbet-assets: N must be a number from 12 to %d\n", kMaxSphereVerts);
            return 2;
        }
        return writeSphere(static_cast<int>(n), argv[3]) ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "--icon") == 0) {
        char* end = nullptr;
        long size = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || size < ICON_MIN || size > ICON_MAX) {
            std::printf("zibbet-assets: SIZE must be a number from %d to %d\n", ICON_MIN, ICON_MAX);
            return 2;
        }
        return writeIcon(static_cast<int>(size), argv[3]) ? 0 : 1;
    }
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
