// The TGA reader against the format's plain rules, on every fuzz seed (valid
// images of every depth, short and oversized files, refused headers), read
// into a face buffer that holds other bytes and into a new buffer; and the
// fuzzer's entry on the seeds and the reproducers kept beside the fuzzers.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "render/tga.h"
#include "tests/support/seedstga.h"
#include "world_fixture.h"

namespace {

using Bytes = FxBytes;
constexpr int kUnset = -7;

struct Read {
    std::string printed;
    int width = kUnset, height = kUnset;
    bool loaded = false;
    Bytes image; // the buffer after the load (a new one: its bytes)
};

// The rules: an 18-byte header; a colour map refused; the image, width x
// height x whole bytes a pixel, neither empty nor larger than the buffer,
// read after the image id as far as the file goes (the rest of a new buffer
// zero, of a given one as it was), then the first and third byte of every
// pixel of three bytes or more exchanged.
Read plainRead(const std::string& path, const Bytes& file, const Bytes* buffer, size_t capacity) {
    Read r;
    r.printed = "TGA Reader loading file '" + path + "'\n";
    if (buffer) r.image = *buffer;
    if (file.size() < 18) {
        r.printed += "\nTGA file too short for its header.\n";
        return r;
    }
    const int w = file[12] | file[13] << 8, h = file[14] | file[15] << 8;
    const size_t bpp = file[16] / 8, size = static_cast<size_t>(w) * h * bpp;
    char shape[64];
    std::snprintf(shape, sizeof shape, " (%dx%d, %zu bytes per pixel).\n", w, h, bpp);
    if (size == 0 || size > capacity) {
        r.printed += std::string(size ? "\nTGA image too large for its buffer"
                                      : "\nTGA image holds no pixels") +
                     shape;
        return r;
    }
    if (file[1] != 0) {
        r.printed += "\nCouldn't load paletized TGAs";
        return r;
    }
    if (!buffer) r.image.assign(size, 0);
    for (size_t i = 0; i < size && 18 + file[0] + i < file.size(); ++i)
        r.image[i] = file[18 + file[0] + i];
    for (size_t at = 0; bpp >= 3 && at < size; at += bpp)
        std::swap(r.image[at], r.image[at + 2]);
    r.width = w;
    r.height = h;
    r.loaded = true;
    return r;
}

} // namespace

TEST(Tga, EverySeedReadsByThePlainRulesIntoAFaceBufferAndIntoANewOne) {
    const std::string path = ::testing::TempDir() + "zibbet_tga_test.tga";
    Bytes face(TEX_FACE_BYTES);
    for (size_t i = 0; i < face.size(); ++i)
        face[i] = static_cast<uint8_t>(i * 7 + 3);
    for (const FxTgaSeed& seed : fxSeedsTGA()) {
        ASSERT_TRUE(fxWriteFile(path, seed.bytes));
        for (const bool intoFace : {true, false}) {
            SCOPED_TRACE(seed.name + (intoFace ? " into a face buffer" : " into a new buffer"));
            const size_t capacity = intoFace ? face.size() : FX_TGA_NEW_LIMIT;
            const Read want = plainRead(path, seed.bytes, intoFace ? &face : nullptr, capacity);
            Read got;
            got.image = face;
            unsigned char* result = nullptr;
            got.printed = captureStdout([&] {
                result = loadTGA(path.c_str(), &got.width, &got.height,
                                 intoFace ? got.image.data() : nullptr, capacity);
            });
            EXPECT_EQ(got.printed, want.printed);
            EXPECT_EQ(got.width, want.width);
            EXPECT_EQ(got.height, want.height);
            EXPECT_EQ(result != nullptr, want.loaded);
            EXPECT_EQ(want.loaded, intoFace ? seed.intoFace : seed.intoNew);
            if (intoFace) {
                EXPECT_TRUE(!result || result == got.image.data());
                EXPECT_TRUE(got.image == want.image);
            } else if (result) {
                EXPECT_TRUE(Bytes(result, result + want.image.size()) == want.image);
                std::free(result);
            }
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

// The fuzzer's entry keeps its promises on every seed and on every
// reproducer kept beside the fuzzers (whether each of those loads is free).
TEST(Tga, FuzzEntryKeepsThePromisesOnSeedsAndReproducers) {
    std::vector<Bytes> inputs;
    for (const FxTgaSeed& seed : fxSeedsTGA())
        inputs.push_back(seed.bytes);
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        FxTgaOutcome o;
        captureStdout([&] { o = fxLoadTGABytes(inputs[i].data(), inputs[i].size()); });
        EXPECT_EQ(o.fault, "") << "input " << i;
    }
}
