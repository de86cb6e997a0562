// The shared fixture writers: tests, benchmarks, the fuzzer and the start-up
// assets all trust them, so their output is checked against the formats.
#include <cmath>
#include <map>
#include <utility>

#include "import/load3ds.h"
#include "tools/common/meshgen.h"
#include "tools/common/moon_scene.h"
#include "tests/support/seeds3ds.h"
#include "tools/common/tga_writer.h"
#include "tools/common/writer3ds.h"
#include "world_fixture.h"

namespace {

// Every edge of a closed, consistently wound mesh is used once in each
// direction: returns the number of edges that break this.
int openOrFlippedEdges(const FxMesh& m) {
    std::map<std::pair<int, int>, int> uses;
    for (const auto& f : m.faces)
        for (int k = 0; k < 3; ++k)
            ++uses[{f[k], f[(k + 1) % 3]}];
    int bad = 0;
    for (const auto& [edge, n] : uses)
        if (n != 1 || uses.count({edge.second, edge.first}) == 0) ++bad;
    return bad;
}

// Faces whose counter-clockwise normal points towards the centre.
int inwardFaces(const FxMesh& m) {
    int inward = 0;
    for (const auto& f : m.faces) {
        const auto& a = m.verts[f[0]];
        const auto& b = m.verts[f[1]];
        const auto& c = m.verts[f[2]];
        double u[3], v[3], mid[3];
        for (int k = 0; k < 3; ++k) {
            u[k] = b[k] - a[k];
            v[k] = c[k] - a[k];
            mid[k] = (a[k] + b[k] + c[k]) / 3.0;
        }
        double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                       u[0] * v[1] - u[1] * v[0]};
        if (n[0] * mid[0] + n[1] * mid[1] + n[2] * mid[2] <= 0.0) ++inward;
    }
    return inward;
}

} // namespace

TEST(FixtureWriters, ChunkHeadersAreLittleEndianWithTheirLength) {
    FxBytes c = fxChunk(0x4D4D, {1, 2, 3});
    EXPECT_EQ(c, (FxBytes{0x4D, 0x4D, 9, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(fxChunkLen(0xA300, 0x01020304, {}), (FxBytes{0x00, 0xA3, 4, 3, 2, 1}));
    FxBytes f;
    fxPutF32(f, 1.0f);
    EXPECT_EQ(f, (FxBytes{0, 0, 0x80, 0x3F}));
}

TEST(FixtureWriters, TgaHeaderFieldsSitAtTheirOffsets) {
    FxTgaHeader h;
    h.idLength = 3;
    h.id = {'a', 'b', 'c'};
    h.colorMapType = 1;
    h.imageType = 9;
    h.width = 0x0102;
    h.height = 0x0304;
    h.bitsPerPixel = 24;
    h.descriptor = 0x20;
    // Type fields, colour-map fields and origins, width and height low byte
    // first, depth, descriptor, then the id and the pixels.
    EXPECT_EQ(fxTga(h, {7, 8}), (FxBytes{3,    1,    9,    0,    0,  0,    0,   0,   0,   0, 0, 0,
                                         0x02, 0x01, 0x04, 0x03, 24, 0x20, 'a', 'b', 'c', 7, 8}));

    FxBytes rgba = fxTgaRgba(1, 1, {10, 20, 30, 40});
    EXPECT_EQ(rgba[16], 32);
    EXPECT_EQ(rgba[2], 2);
    EXPECT_EQ(FxBytes(rgba.begin() + 18, rgba.end()), (FxBytes{30, 20, 10, 40}));
}

TEST(FixtureMeshes, GeodesicAndMoonAreClosedAndFaceOutwards) {
    for (int f : {1, 2, 5, 8}) {
        FxMesh s = fxGeodesicSphere("S", 1.0f, f);
        EXPECT_EQ(s.verts.size(), static_cast<size_t>(10 * f * f + 2)) << f;
        EXPECT_EQ(s.faces.size(), static_cast<size_t>(20 * f * f)) << f;
        EXPECT_EQ(openOrFlippedEdges(s), 0) << f;
        EXPECT_EQ(inwardFaces(s), 0) << f;
        for (const auto& v : s.verts)
            ASSERT_NEAR(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]), 1.0, 1e-6);
    }
    FxMesh moon = fxMoonMesh("M", 2.0f, 8, 0.06f, 5u);
    EXPECT_EQ(openOrFlippedEdges(moon), 0);
    EXPECT_EQ(inwardFaces(moon), 0);
    double lo = 1e9, hi = 0.0;
    for (const auto& v : moon.verts) {
        double r = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    // Relief there is, and within its bound.
    EXPECT_GE(lo, 2.0 * (1.0 - 0.06) - 1e-5);
    EXPECT_LE(hi, 2.0 * (1.0 + 0.06) + 1e-5);
    EXPECT_GT(hi - lo, 0.05);
    FxMesh again = fxMoonMesh("M", 2.0f, 8, 0.06f, 5u);
    EXPECT_EQ(again.verts, moon.verts);
}

TEST(FixtureMeshes, LargeSphereIsSplitWithinTheCounts) {
    std::vector<FxMesh> parts = fxBenchSphere("Big", 3.0f, 40000);
    ASSERT_GT(parts.size(), 1u);
    size_t faces = 0;
    for (const FxMesh& p : parts) {
        EXPECT_LE(p.verts.size(), static_cast<size_t>(FX_MAX_3DS_COUNT));
        EXPECT_LE(p.faces.size(), static_cast<size_t>(FX_MAX_3DS_COUNT));
        for (const auto& f : p.faces)
            for (int k = 0; k < 3; ++k)
                ASSERT_LT(f[k], p.verts.size());
        faces += p.faces.size();
    }
    // f = 63: 39692 vertices, 79380 faces in all.
    EXPECT_EQ(faces, 79380u);
    EXPECT_EQ(parts[0].name, "Big0");
    EXPECT_EQ(fxBenchSphere("Small", 1.0f, 642).size(), 1u);
}

using FixtureSceneTest = WorldTest;

TEST_F(FixtureSceneTest, SplitSphereSceneReadsBack) {
    std::vector<FxMesh> parts = fxBenchSphere("Big", 3.0f, 40000);
    FxBytes file = fx3dsScene(parts, {});
    std::string path = ::testing::TempDir() + "fixtures_big.3ds";
    ASSERT_TRUE(fxWriteFile(path, file));
    Scene3DS* s = nullptr;
    captureStdout([&] { s = simLoad3DS(path.c_str()); });
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->nObjects, static_cast<int>(parts.size()));
    for (int i = 0; i < s->nObjects; ++i) {
        EXPECT_EQ(s->objects[i].nVerts, static_cast<int>(parts[i].verts.size()));
        EXPECT_EQ(s->objects[i].nFaces, static_cast<int>(parts[i].faces.size()));
    }
    const auto& last = parts.back().verts.back();
    const Obj3DS& o = s->objects[s->nObjects - 1];
    EXPECT_EQ(o.verts[o.nVerts - 1][0], last[0]);
    simFree3DS(s);
    std::remove(path.c_str());
}

TEST_F(FixtureSceneTest, DefaultSceneFitsTheCubeAndTheSpringBudget) {
    std::string path = ::testing::TempDir() + "fixtures_moon.3ds";
    ASSERT_TRUE(fxWriteFile(path, fxDefaultScene()));
    Scene3DS* s = nullptr;
    captureStdout([&] { s = simLoad3DS(path.c_str()); });
    std::remove(path.c_str());
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->nObjects, 1);
    const Obj3DS& o = s->objects[0];
    // Every face and group entry names something that exists.
    for (int f = 0; f < o.nFaces; ++f)
        for (int k = 0; k < 3; ++k)
            ASSERT_LT(o.faces[f][k], o.nVerts);
    ASSERT_EQ(o.nMatGroups, 1);
    EXPECT_EQ(o.matGroups[0].nFaces, o.nFaces);
    ASSERT_EQ(s->nMaterials, 1);
    EXPECT_STREQ(s->materials[0].name, o.matGroups[0].name);
    // After the 2.4 scale: a radius of 4 to 6 world units, inside the cube of
    // edge 32 centred at the origin.
    double lo = 1e9, hi = 0.0;
    for (int v = 0; v < o.nVerts; ++v) {
        double r2 = 0.0;
        for (int k = 0; k < 3; ++k)
            r2 += FX_LOAD_SCALE * o.verts[v][k] * FX_LOAD_SCALE * o.verts[v][k];
        lo = std::min(lo, std::sqrt(r2));
        hi = std::max(hi, std::sqrt(r2));
    }
    EXPECT_GE(lo, 4.0);
    EXPECT_LE(hi, 6.0);
    simFree3DS(s);

    long springs = fxCountBandSprings(fxDefaultMoon(), FX_LOAD_SCALE, FX_SPRING_BAND);
    EXPECT_LE(springs, 200000);
    EXPECT_GT(springs, 100000); // a soft body, not a loose cloud
}
