// The TGA reader against files made by the shared TGA writer.
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

FxTgaHeader withId(FxTgaHeader h, const std::string& id) {
    h.id.assign(id.begin(), id.end());
    h.idLength = static_cast<uint8_t>(id.size());
    return h;
}

FxTgaHeader colourMapped(FxTgaHeader h) {
    h.colorMapType = 1;
    return h;
}

std::string writeTemp(const std::string& name, const Bytes& bytes) {
    std::string path = ::testing::TempDir() + "zibbet_tga_" + name;
    EXPECT_TRUE(fxWriteFile(path, bytes)) << path;
    return path;
}

std::string loadingLine(const std::string& path) {
    return "TGA Reader loading file '" + path + "'\n";
}

constexpr int kUnset = -7;

struct Load {
    unsigned char* result = nullptr;
    int width = kUnset;
    int height = kUnset;
    std::string out;
};

Load load(const std::string& path, unsigned char* buffer, size_t capacity) {
    Load l;
    l.out = captureStdout(
        [&] { l.result = loadTGA(path.c_str(), &l.width, &l.height, buffer, capacity); });
    return l;
}

} // namespace

TEST(TgaRead, ThirtyTwoBitPixelsComeOutRedGreenBlueAlpha) {
    std::string path = writeTemp("32.tga", fxTga(fxTgaShape(2, 2, 32), {10, 20, 30, 40, 1, 2, 3, 4,
                                                                        5, 6, 7, 8, 9, 0, 11, 12}));
    Bytes buf(16, 0xEE);
    Load l = load(path, buf.data(), buf.size());
    ASSERT_EQ(l.result, buf.data());
    EXPECT_EQ(l.width, 2);
    EXPECT_EQ(l.height, 2);
    EXPECT_EQ(buf, (Bytes{30, 20, 10, 40, 3, 2, 1, 4, 7, 6, 5, 8, 11, 0, 9, 12}));
    EXPECT_EQ(l.out, loadingLine(path));
}

TEST(TgaRead, TwentyFourBitIntoNewBufferSkippingImageId) {
    std::string path = writeTemp(
        "24.tga", fxTga(withId(fxTgaShape(2, 1, 24), "idtext"), {1, 2, 3, 4, 5, 6, 99, 99}));
    Load l = load(path, nullptr, 6);
    ASSERT_NE(l.result, nullptr);
    EXPECT_EQ(l.width, 2);
    EXPECT_EQ(l.height, 1);
    EXPECT_EQ(Bytes(l.result, l.result + 6), (Bytes{3, 2, 1, 6, 5, 4}));
    std::free(l.result);
}

TEST(TgaRefuse, ColourMappedShortLargeAndEmptyImagesLeaveTheGivenBuffer) {
    // 257 x 256 at 32 bits is 1024 bytes more than a face buffer holds.
    const std::string big =
        writeTemp("big.tga", fxTga(fxTgaShape(257, 256, 32), Bytes(257 * 256 * 4, 7)));
    const std::string cmap =
        writeTemp("cmap.tga", fxTga(colourMapped(fxTgaShape(1, 1, 32)), {1, 2, 3, 4}));
    const struct {
        std::string path;
        size_t capacity;
        std::string message;
    } cases[] = {
        {cmap, 4, "\nCouldn't load paletized TGAs"},
        {writeTemp("short0.tga", {}), 4, "\nTGA file too short for its header.\n"},
        {writeTemp("short1.tga", Bytes(1, 0)), 4, "\nTGA file too short for its header.\n"},
        {writeTemp("short17.tga", Bytes(17, 0)), 4, "\nTGA file too short for its header.\n"},
        {big, 256 * 256 * 4,
         "\nTGA image too large for its buffer (257x256, 4 bytes per pixel).\n"},
        {writeTemp("empty0x5.tga", fxTga(fxTgaShape(0, 5, 32), Bytes(100, 1))), 100,
         "\nTGA image holds no pixels (0x5, 4 bytes per pixel).\n"},
        {writeTemp("empty5x0.tga", fxTga(fxTgaShape(5, 0, 32), Bytes(100, 1))), 100,
         "\nTGA image holds no pixels (5x0, 4 bytes per pixel).\n"},
        {writeTemp("empty7bit.tga", fxTga(fxTgaShape(5, 5, 7), Bytes(100, 1))), 100,
         "\nTGA image holds no pixels (5x5, 0 bytes per pixel).\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Bytes buf(c.capacity, 0xEE);
        Load l = load(c.path, buf.data(), buf.size());
        EXPECT_EQ(l.result, nullptr);
        EXPECT_EQ(l.out, loadingLine(c.path) + c.message);
        EXPECT_EQ(l.width, kUnset);
        EXPECT_EQ(l.height, kUnset);
        EXPECT_EQ(buf, Bytes(c.capacity, 0xEE)); // still ours (ASan would catch a free)
    }
    // Into a new buffer: refused the same way, the block released; the size
    // limit bounds it too, one byte less than needed is refused.
    EXPECT_EQ(load(cmap, nullptr, 4).result, nullptr);
    EXPECT_EQ(load(big, nullptr, 257 * 256 * 4 - 1).result, nullptr);
}

TEST(TgaRefuse, MissingFile) {
    Load l = load("/nonexistent/zibbet.tga", nullptr, 1 << 20);
    EXPECT_EQ(l.result, nullptr);
    EXPECT_EQ(l.out, loadingLine("/nonexistent/zibbet.tga") + "\nError opening file.\n");
    EXPECT_EQ(l.width, kUnset);
}

TEST(TgaOddPixels, FewerThanThreeBytesArriveAsStored) {
    // Exact-size buffers: an exchange reaching past the image would be caught
    // by the sanitizer build.
    std::string path8 = writeTemp("8.tga", fxTga(fxTgaShape(3, 1, 8), {1, 2, 3}));
    Bytes buf8(3, 0);
    ASSERT_EQ(load(path8, buf8.data(), buf8.size()).result, buf8.data());
    EXPECT_EQ(buf8, (Bytes{1, 2, 3}));

    std::string path16 = writeTemp("16.tga", fxTga(fxTgaShape(2, 1, 16), {1, 2, 3, 4}));
    Bytes buf16(4, 0);
    Load l = load(path16, buf16.data(), buf16.size());
    ASSERT_EQ(l.result, buf16.data());
    EXPECT_EQ(buf16, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(l.width, 2);
}

TEST(TgaOddPixels, WidePixelsExchangeFirstAndThirdByteOnly) {
    // 42 bits: five whole bytes per pixel, the remainder dropped.
    std::string path =
        writeTemp("40.tga", fxTga(fxTgaShape(2, 1, 42), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    Bytes buf(10, 0);
    ASSERT_EQ(load(path, buf.data(), buf.size()).result, buf.data());
    EXPECT_EQ(buf, (Bytes{3, 2, 1, 4, 5, 8, 7, 6, 9, 10}));
}

TEST(TgaTruncated, RestOfBufferGetsNoNewDataButIsStillExchanged) {
    // Two pixels and half of the third of a 2 x 2 image.
    std::string path =
        writeTemp("trunc.tga", fxTga(fxTgaShape(2, 2, 32), {10, 20, 30, 40, 1, 2, 3, 4, 50, 60}));
    Bytes buf{0, 0, 0, 0, 0, 0, 0, 0, 91, 92, 93, 94, 95, 96, 97, 98};
    Load l = load(path, buf.data(), buf.size());
    ASSERT_EQ(l.result, buf.data());
    EXPECT_EQ(l.width, 2);
    EXPECT_EQ(l.height, 2);
    EXPECT_EQ(buf, (Bytes{30, 20, 10, 40, 3, 2, 1, 4, 93, 60, 50, 94, 97, 96, 95, 98}));
    EXPECT_EQ(l.out, loadingLine(path));
}

TEST(TgaTruncated, NewBufferIsZeroWhereTheFileEnded) {
    std::string path = writeTemp("trunc24.tga", fxTga(fxTgaShape(4, 1, 24), {1, 2, 3, 4}));
    Load l = load(path, nullptr, 12);
    ASSERT_NE(l.result, nullptr);
    EXPECT_EQ(Bytes(l.result, l.result + 12), (Bytes{3, 2, 1, 0, 0, 4, 0, 0, 0, 0, 0, 0}));
    std::free(l.result);
}

TEST(TgaTruncated, ImageIdRunningPastTheEndGivesNoPixels) {
    // The id length says 200 bytes, but the file ends after 3.
    Bytes file = fxTga(fxTgaShape(1, 1, 32), {1, 2, 3});
    file[0] = 200;
    std::string path = writeTemp("longid.tga", file);
    Bytes buf{5, 6, 7, 8};
    Load l = load(path, buf.data(), buf.size());
    ASSERT_EQ(l.result, buf.data());
    EXPECT_EQ(buf, (Bytes{7, 6, 5, 8}));
    EXPECT_EQ(l.width, 1);
}

// ---------------------------------------------------------------------------
// The fuzzer's seeds and any crash reproducers, through the fuzzer's entry
// ---------------------------------------------------------------------------
TEST(TgaFuzzEntry, SeedsAndReproducersReplay) {
    for (const FxTgaSeed& seed : fxSeedsTGA()) {
        FxTgaOutcome o;
        std::string out =
            captureStdout([&] { o = fxLoadTGABytes(seed.bytes.data(), seed.bytes.size()); });
        EXPECT_EQ(o.intoFace, seed.intoFace) << seed.name << ": " << out;
        EXPECT_EQ(o.intoNew, seed.intoNew) << seed.name << ": " << out;
        EXPECT_EQ(o.fault, "") << seed.name;
    }
    // Reproducers kept beside the fuzzers, if any: whether each one loads is
    // free, but the reader must keep its promises on every one.
    std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    if (!std::filesystem::is_directory(regressions)) return;
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FxTgaOutcome o;
        captureStdout([&] { o = fxLoadTGABytes(bytes.data(), bytes.size()); });
        EXPECT_EQ(o.fault, "") << entry.path();
    }
}
