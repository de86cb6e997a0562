// The file readers: 3DS scenes as written and refused with their reasons;
// TGA images by the format's plain rules (the fuzzer's entry) on every seed,
// a missing file and an image without room said exactly.
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "import/load3ds.h"
#include "import/tga.h"
#include "scenegen/writer3ds.h"
#include "tests/support/scratch.h"
#include "tests/support/seeds3ds.h"
#include "tests/support/seedstga.h"
#include "world_fixture.h"

namespace {

class Load3DSTest : public WorldTest {
  protected:
    void SetUp() override {
        WorldTest::SetUp();
        path = fxWriteScratch("load3ds_test", nullptr, 0);
        ASSERT_FALSE(path.empty());
        failed = "Failed to parse " + path + "\n";
    }
    void TearDown() override {
        simFree3DS(kept);
        WorldTest::TearDown();
    }

    // Reads the bytes into kept, the scene before released; what the reader
    // printed.
    std::string load(const FxBytes& bytes) {
        simFree3DS(kept);
        EXPECT_EQ(fxWriteScratch("load3ds_test", bytes.data(), bytes.size()), path);
        return captureStdout([&] { kept = simLoad3DS(path.c_str()); });
    }

    Scene3DS* accepted(const FxBytes& bytes, std::string* out = nullptr) {
        const std::string printed = load(bytes);
        EXPECT_NE(kept, nullptr) << printed;
        if (out) *out = printed;
        return kept;
    }

    // What the reader printed for a file it must refuse.
    std::string refused(const FxBytes& bytes) {
        const std::string out = load(bytes);
        EXPECT_EQ(kept, nullptr);
        return out;
    }

    std::string path;
    std::string failed; // the closing line of every refusal of path
    Scene3DS* kept = nullptr;
};

FxBytes meshFile(const FxBytes& meshChildren) {
    return fx3dsFile(fx3dsObject("N", fxChunk(0x4100, meshChildren)));
}

FxBytes materialFile(const FxBytes& materialChildren) {
    return fx3dsFile(fxChunk(0xAFFF, materialChildren));
}

FxBytes nameBytes(const std::string& name) {
    FxBytes b;
    fxPutName(b, name);
    return b;
}

FxBytes seedBytes(const std::string& name) {
    for (const FxSeed& seed : fxSeeds3DS())
        if (seed.name == name) return seed.bytes;
    return {};
}

// An allocator that fails from its n-th call on.
int allocsLeft = 0;
void* failingMalloc(size_t size) {
    if (allocsLeft <= 0) return nullptr;
    --allocsLeft;
    return std::malloc(size);
}

// The scene read holds the mesh and materials as written: byte colours v
// were written as the byte v * 256 (at most 255) and are read as byte / 256.
void expectWritten(const Scene3DS* s, const FxMesh& m, const std::vector<FxMaterial>& materials) {
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->nObjects, 1);
    const Obj3DS& o = s->objects[0];
    EXPECT_EQ(o.name, m.name);
    ASSERT_EQ(std::tie(o.nVerts, o.nFaces, o.nMapCoords, o.nMatGroups),
              std::tuple(m.verts.size(), m.faces.size(), m.mapCoords.size(), m.groups.size()));
    EXPECT_EQ(std::memcmp(o.verts, m.verts.data(), 12 * m.verts.size()), 0);
    EXPECT_EQ(std::memcmp(o.faces, m.faces.data(), 8 * m.faces.size()), 0);
    EXPECT_EQ(std::memcmp(o.mapCoords, m.mapCoords.data(), 8 * m.mapCoords.size()), 0);
    ASSERT_EQ(o.hasLocalAxes, 1);
    EXPECT_EQ(std::memcmp(o.localAxes, m.localAxes.data(), 48), 0);
    for (int g = 0; g < o.nMatGroups; ++g) {
        EXPECT_EQ(o.matGroups[g].name, m.groups[g].material);
        EXPECT_EQ(std::vector<uint16_t>(o.matGroups[g].faces,
                                        o.matGroups[g].faces + o.matGroups[g].nFaces),
                  m.groups[g].faces);
    }
    ASSERT_EQ(s->nMaterials, static_cast<int>(materials.size()));
    for (int i = 0; i < s->nMaterials; ++i) {
        const Mat3DS& got = s->materials[i];
        const FxMaterial& w = materials[static_cast<size_t>(i)];
        EXPECT_EQ(got.name, w.name);
        const float* read[3] = {got.ambient, got.diffuse, got.specular};
        const float* written[3] = {w.ambient.data(), w.diffuse.data(), w.specular.data()};
        for (int c = 0; c < 9; ++c) {
            const float v = written[c / 3][c % 3];
            EXPECT_EQ(read[c / 3][c % 3],
                      w.byteColors ? std::fmin(std::floor(v * 256.0f), 255.0f) / 256.0f : v)
                << w.name << " colour " << c;
        }
    }
}

} // namespace

TEST_F(Load3DSTest, ScenesAreReadAsWrittenAndCountTheirObjects) {
    std::string out;
    const FxMesh cube = fxCubeMesh("Cube", 1.5f);
    expectWritten(accepted(fx3dsScene({cube}, fxCubeMaterials()), &out), cube, fxCubeMaterials());
    EXPECT_EQ(out, "\n");

    verbosity = 2;
    accepted(fx3dsFile(fx3dsMaterial(fxCubeMaterials()[0])), &out);
    EXPECT_EQ(out, "\n  simLoad3DS(): Loaded scene contains 0 objects.\n");
    EXPECT_EQ(kept->objects, nullptr);
    verbosity = 1;
    accepted(fx3dsScene({fxCubeMesh("A", 1), fxCubeMesh("B", 1)}, {}), &out);
    EXPECT_EQ(out, "\n  simLoad3DS(): Loaded scene contains 2 objects.\n");
}

// The layouts seed (its comments say what it holds) is walked in step.
TEST_F(Load3DSTest, UnusualLayoutsAreWalkedInStep) {
    const std::string n15 = "ABCDEFGHIJKLMNO";
    Scene3DS* s = accepted(seedBytes("layouts"));
    ASSERT_NE(s, nullptr);
    // The lamp has no mesh and adds no object; Twice adds two.
    ASSERT_EQ(s->nObjects, 4);
    const Obj3DS& o = s->objects[0];
    ASSERT_EQ(std::tie(o.nFaces, o.nVerts), std::tuple(2, 3));
    EXPECT_EQ(std::tie(o.faces[0][0], o.faces[1][3], o.verts[2][2]), std::tuple(3, 1, 9.0f));
    EXPECT_EQ(std::tie(o.nMapCoords, o.mapCoords, o.hasLocalAxes), std::tuple(0, nullptr, 0));
    // Long group names are cut inside their field: the counts and face
    // numbers after them are right.
    ASSERT_EQ(o.nMatGroups, 3);
    const std::vector<uint16_t> groupFaces[3] = {{1, 0}, {2}, {2, 3}};
    for (int g = 0; g < 3; ++g) {
        EXPECT_STREQ(o.matGroups[g].name, n15.c_str()) << g;
        EXPECT_EQ(std::vector<uint16_t>(o.matGroups[g].faces,
                                        o.matGroups[g].faces + o.matGroups[g].nFaces),
                  groupFaces[g]);
    }
    EXPECT_STREQ(s->objects[1].name, n15.c_str());
    EXPECT_EQ(std::tie(s->objects[1].nVerts, s->objects[1].verts, s->objects[3].nFaces),
              std::tuple(0, nullptr, 0));
    EXPECT_STREQ(s->objects[3].name, "Twice");
    ASSERT_EQ(s->nMaterials, 1);
    const Mat3DS& m = s->materials[0];
    const float want[9] = {0.99609375f, 0.5f, 0.0f,        0.25f,        0.125f,
                           0.0625f,     0.0f, 0.99609375f, 1.0f / 256.0f};
    const float got[9] = {m.ambient[0], m.ambient[1],  m.ambient[2],  m.diffuse[0], m.diffuse[1],
                          m.diffuse[2], m.specular[0], m.specular[1], m.specular[2]};
    EXPECT_EQ(std::memcmp(got, want, sizeof want), 0);
    EXPECT_STREQ(m.name, "");
}

TEST_F(Load3DSTest, TextureNamesGetTgaExtension) {
    const std::pair<const char*, const char*> cases[] = {{"PANEL.JPG", "PANEL.TGA"},
                                                         {"wood.gif", "wood.TGA"},
                                                         {"ABC", "TGA"},
                                                         {"AB", "AB"},
                                                         {"", ""},
                                                         {"ABCDEFGHIJK.BMP", "ABCDEFGHIJK.TGA"}};
    for (const auto& [name, stored] : cases) {
        FxBytes mat = fxCat(
            {fxChunk(0xA000, nameBytes("M")),
             fxChunk(0xA200, fxCat({fxChunk(0xA351, {0, 0}), fxChunk(0xA300, nameBytes(name))}))});
        Scene3DS* s = accepted(materialFile(mat));
        ASSERT_NE(s, nullptr) << name;
        EXPECT_STREQ(s->materials[0].texFile, stored) << name;
    }
}

// Each refused file prints why, then "Failed to parse". Offsets: main 0,
// editor 6, its first child 12; in an object, its name "N" 18, the mesh 20,
// the mesh's first child 26; in a material, the colour 18, its form 24.
TEST_F(Load3DSTest, RefusedFilesSayWhy) {
    // A directory opens but cannot be read.
    const std::string dir = ::testing::TempDir();
    EXPECT_EQ(captureStdout([&] { EXPECT_EQ(simLoad3DS(dir.c_str()), nullptr); }),
              "Error reading file\nFailed to parse " + dir + "\n");
    const FxBytes five = {5, 0, 1, 2, 3, 4}; // a count of 5, four bytes of data
    const std::string tooShort = " at 26 is too short for its data\n";
    const struct {
        FxBytes file;
        std::string says;
    } cases[] = {
        // The id is tested before the length: a foreign first chunk is not 3DS
        // data whatever length follows, and neither is a file of zeros.
        {fxChunk(0x4D4E, fxChunk(0x3D3D, {})), "Not 3ds data\n"},
        {fxChunkLen(0x1234, 0, {}), "Not 3ds data\n"},
        {fxChunkLen(0x3D3D, 0xFFFFFFFFu, {1, 2, 3}), "Not 3ds data\n"},
        {FxBytes(6, 0), "Not 3ds data\n"},
        // Lengths shorter than a header, or past the parent.
        {fx3dsFile(fxChunkLen(0x1234, 0, {})), "Chunk 1234 at 12 has a bad length (0)\n"},
        {fx3dsFile(fxChunkLen(0x4000, 5, {})), "Chunk 4000 at 12 has a bad length (5)\n"},
        {fxChunkLen(0x4D4D, 3, {}), "Chunk 4D4D at 0 has a bad length (3)\n"},
        {fx3dsFile(fxCat({fxChunkLen(0x1234, 100, {}), fxChunk(0x1, {})})),
         "Chunk 1234 at 12 runs past its parent 3D3D\n"},
        {materialFile(fxChunkLen(0xA010, 100, fx3dsColorF(1, 1, 1))),
         "Chunk A010 at 18 runs past its parent AFFF\n"},
        {materialFile(fxChunk(0xA010, fxChunkLen(0x0010, 20, {0, 0, 0, 0}))),
         "Chunk 0010 at 24 runs past its parent A010\n"},
        // Three bytes left in the editor cannot hold a header.
        {fx3dsFile(fxCat({fxChunk(0x0100, {}), {1, 2, 3}})),
         "Chunk header at 18 runs past its parent 3D3D\n"},
        // Counts are unsigned, and a list must fit its chunk.
        {meshFile(fxChunk(0x4110, {0, 0x80})), "Chunk 4110" + tooShort},
        {meshFile(fxChunk(0x4120, {0xFF, 0xFF})), "Chunk 4120" + tooShort},
        {meshFile(fxChunk(0x4130, {'G', 0, 0, 0x80})), "Chunk 4130" + tooShort},
        {meshFile(fxChunk(0x4110, five)), "Chunk 4110" + tooShort},
        {meshFile(fxChunk(0x4140, five)), "Chunk 4140" + tooShort},
        {meshFile(fxChunk(0x4160, {0, 0, 0, 0})), "Chunk 4160" + tooShort},
        // A group name that runs to the end of its chunk.
        {meshFile(fxChunk(0x4130, {'R', 'E', 'D'})), "Chunk 4130" + tooShort},
    };
    for (const auto& c : cases)
        EXPECT_EQ(refused(c.file), c.says + failed);
    // The count fits its chunk but not the file: the list is not allocated.
    const FxBytes claim = fxChunkLen(0x4110, 6 + 2 + 30000 * 12, {0x30, 0x75}); // 30000
    const FxBytes mesh = fxChunkLen(0x4100, static_cast<uint32_t>(6 + 2 + 30000 * 12 + 6), claim);
    const FxBytes object = fxChunkLen(0x4000, static_cast<uint32_t>(mesh.size() + 30000 * 12 + 8),
                                      fxCat({nameBytes("N"), mesh}));
    allocsLeft = 3; // the scene, the object, no list
    simMalloc = failingMalloc;
    EXPECT_EQ(refused(fxChunkLen(0x4D4D, 0xFFFFFFF0u, fxChunkLen(0x3D3D, 0xFFFFFF00u, object))),
              "Error reading file\n" + failed);
}

TEST(Tga, EverySeedReadsByThePlainRulesIntoAFaceBufferAndIntoANewOne) {
    for (const FxTgaSeed& seed : fxSeedsTGA()) {
        SCOPED_TRACE(seed.name);
        FxTgaOutcome o;
        const std::string printed =
            captureStdout([&] { o = fxLoadTGABytes(seed.bytes.data(), seed.bytes.size()); });
        EXPECT_EQ(o.fault, "");
        EXPECT_EQ(printed, o.printed);
        EXPECT_EQ(std::tie(o.intoFace, o.intoNew), std::tie(seed.intoFace, seed.intoNew));
    }
    const std::string missing = "/nonexistent/zibbet.tga";
    int width = -7;
    EXPECT_EQ(captureStdout([&] {
                  EXPECT_EQ(loadTGA(missing.c_str(), &width, &width, nullptr, 1 << 20), nullptr);
              }),
              "TGA Reader loading file '" + missing + "'\n\nError opening file.\n");
    EXPECT_EQ(width, -7);
}

// An image of 65535 x 65535 at 32 bits (17 GB) in an address space of 1 GB:
// the reader's own buffer cannot be had, and it says so.
TEST(TgaDeathTest, AnImageWithoutRoomIsRefused) {
    if (kSanitizedBuild) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    const uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 32, 0};
    const std::string path = fxWriteScratch("tga_test", header, sizeof header);
    const auto child = [&path] {
        dup2(2, 1); // death tests read stderr
        const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
        int width = 0;
        if (setrlimit(RLIMIT_AS, &limit) == 0 &&
            !loadTGA(path.c_str(), &width, &width, nullptr, SIZE_MAX))
            std::printf("|refused\n");
        std::fflush(stdout);
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0),
                "TGA Reader loading file '" + path +
                    "'\n\n\nNot enough memory to load image data\\|refused\n$");
}
