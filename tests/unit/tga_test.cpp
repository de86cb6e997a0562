// The TGA reader against files made by the TGA writer: one table of files,
// each read into a given buffer or a new one, with what must come out; and
// the fuzzer's seeds and reproducers through the fuzzer's entry.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "render/tga.h"
#include "tests/support/seedstga.h"
#include "tools/common/tga_writer.h"
#include "world_fixture.h"

namespace {

using Bytes = FxBytes;
constexpr int kUnset = -7;

FxTgaHeader withId(FxTgaHeader h, const std::string& id) {
    h.id.assign(id.begin(), id.end());
    h.idLength = static_cast<uint8_t>(id.size());
    return h;
}

FxTgaHeader colourMapped(FxTgaHeader h) {
    h.colorMapType = 1;
    return h;
}

Bytes idPastTheEnd() {
    Bytes file = fxTga(fxTgaShape(1, 1, 32), {1, 2, 3});
    file[0] = 200; // the id length says 200 bytes; the file ends after 3
    return file;
}

} // namespace

TEST(Tga, ReadsPixelsRedFirstIntoTheBufferItFitsAndRefusesTheRest) {
    // 257 x 256 at 32 bits is 1024 bytes more than a face buffer holds.
    const Bytes big = fxTga(fxTgaShape(257, 256, 32), Bytes(257 * 256 * 4, 7));
    const Bytes cmap = fxTga(colourMapped(fxTgaShape(1, 1, 32)), {1, 2, 3, 4});
    const Bytes ee(16, 0xEE);
    const struct {
        const char* name;
        Bytes file;
        Bytes buffer;    // read into this buffer; when empty, into a new one of capacity
        size_t capacity; // bytes
        const char* message;
        int width, height;
        Bytes want; // the image after the load; the buffer untouched when refused
    } cases[] = {
        {"32 bits: BGRA to RGBA",
         fxTga(fxTgaShape(2, 2, 32), {10, 20, 30, 40, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 11, 12}), ee,
         16, "", 2, 2, {30, 20, 10, 40, 3, 2, 1, 4, 7, 6, 5, 8, 11, 0, 9, 12}},
        {"24 bits after an image id, new buffer",
         fxTga(withId(fxTgaShape(2, 1, 24), "idtext"), {1, 2, 3, 4, 5, 6, 99, 99}), {}, 6, "", 2, 1,
         {3, 2, 1, 6, 5, 4}},
        {"8 bits as stored", fxTga(fxTgaShape(3, 1, 8), {1, 2, 3}), Bytes(3, 0), 3, "", 3, 1,
         {1, 2, 3}},
        {"16 bits as stored", fxTga(fxTgaShape(2, 1, 16), {1, 2, 3, 4}), Bytes(4, 0), 4, "", 2, 1,
         {1, 2, 3, 4}},
        {"42 bits: five whole bytes, first and third exchanged",
         fxTga(fxTgaShape(2, 1, 42), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), Bytes(10, 0), 10, "", 2, 1,
         {3, 2, 1, 4, 5, 8, 7, 6, 9, 10}},
        {"cut in the third pixel: the rest keeps its bytes, exchanged",
         fxTga(fxTgaShape(2, 2, 32), {10, 20, 30, 40, 1, 2, 3, 4, 50, 60}),
         {0, 0, 0, 0, 0, 0, 0, 0, 91, 92, 93, 94, 95, 96, 97, 98}, 16, "", 2, 2,
         {30, 20, 10, 40, 3, 2, 1, 4, 93, 60, 50, 94, 97, 96, 95, 98}},
        {"cut, new buffer: zero where the file ended", fxTga(fxTgaShape(4, 1, 24), {1, 2, 3, 4}),
         {}, 12, "", 4, 1, {3, 2, 1, 0, 0, 4, 0, 0, 0, 0, 0, 0}},
        {"an id past the end: no pixels", idPastTheEnd(), {5, 6, 7, 8}, 4, "", 1, 1, {7, 6, 5, 8}},
        // Refused: nothing written, the buffer still ours.
        {"colour-mapped", cmap, ee, 4, "\nCouldn't load paletized TGAs", kUnset, kUnset, ee},
        {"colour-mapped, new buffer", cmap, {}, 4, "\nCouldn't load paletized TGAs", kUnset,
         kUnset, {}},
        {"empty", {}, ee, 4, "\nTGA file too short for its header.\n", kUnset, kUnset, ee},
        {"1 byte", Bytes(1, 0), ee, 4, "\nTGA file too short for its header.\n", kUnset, kUnset,
         ee},
        {"17 bytes", Bytes(17, 0), ee, 4, "\nTGA file too short for its header.\n", kUnset, kUnset,
         ee},
        {"too large for a face buffer", big, Bytes(256 * 256 * 4, 0xEE), 256 * 256 * 4,
         "\nTGA image too large for its buffer (257x256, 4 bytes per pixel).\n", kUnset, kUnset,
         Bytes(256 * 256 * 4, 0xEE)},
        {"a byte over the new buffer's limit", big, {}, 257 * 256 * 4 - 1,
         "\nTGA image too large for its buffer (257x256, 4 bytes per pixel).\n", kUnset, kUnset,
         {}},
        {"0 x 5", fxTga(fxTgaShape(0, 5, 32), Bytes(100, 1)), ee, 16,
         "\nTGA image holds no pixels (0x5, 4 bytes per pixel).\n", kUnset, kUnset, ee},
        {"5 x 0", fxTga(fxTgaShape(5, 0, 32), Bytes(100, 1)), ee, 16,
         "\nTGA image holds no pixels (5x0, 4 bytes per pixel).\n", kUnset, kUnset, ee},
        {"7 bits", fxTga(fxTgaShape(5, 5, 7), Bytes(100, 1)), ee, 16,
         "\nTGA image holds no pixels (5x5, 0 bytes per pixel).\n", kUnset, kUnset, ee},
    };
    const std::string path = ::testing::TempDir() + "zibbet_tga_test.tga";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(fxWriteFile(path, c.file));
        Bytes buffer = c.buffer;
        int width = kUnset, height = kUnset;
        unsigned char* got = nullptr;
        const std::string out = captureStdout([&] {
            got = loadTGA(path.c_str(), &width, &height, buffer.empty() ? nullptr : buffer.data(),
                          c.capacity);
        });
        EXPECT_EQ(out, "TGA Reader loading file '" + path + "'\n" + c.message);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        if (!buffer.empty()) {
            EXPECT_EQ(got, c.width == kUnset ? nullptr : buffer.data());
            EXPECT_EQ(buffer, c.want);
        } else if (c.width == kUnset) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(Bytes(got, got + c.want.size()), c.want);
            std::free(got);
        }
    }
    std::remove(path.c_str());
    const std::string missing = "/nonexistent/zibbet.tga";
    int width = kUnset;
    EXPECT_EQ(captureStdout([&] {
                  EXPECT_EQ(loadTGA(missing.c_str(), &width, &width, nullptr, 1 << 20), nullptr);
              }),
              "TGA Reader loading file '" + missing + "'\n\nError opening file.\n");
    EXPECT_EQ(width, kUnset);
}

// The fuzzer's seeds load where they must and keep the reader's promises;
// whether each reproducer kept beside the fuzzers loads is free, but the
// promises hold on every one.
TEST(Tga, FuzzSeedsAndReproducersKeepTheReadersPromises) {
    for (const FxTgaSeed& seed : fxSeedsTGA()) {
        FxTgaOutcome o;
        const std::string out =
            captureStdout([&] { o = fxLoadTGABytes(seed.bytes.data(), seed.bytes.size()); });
        EXPECT_EQ(o.intoFace, seed.intoFace) << seed.name << ": " << out;
        EXPECT_EQ(o.intoNew, seed.intoNew) << seed.name << ": " << out;
        EXPECT_EQ(o.fault, "") << seed.name;
    }
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FxTgaOutcome o;
        captureStdout([&] { o = fxLoadTGABytes(bytes.data(), bytes.size()); });
        EXPECT_EQ(o.fault, "") << entry.path();
    }
}
