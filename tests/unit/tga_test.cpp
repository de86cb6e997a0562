// The TGA reader held to the format's plain rules (the fuzzer's entry) on
// every seed; a missing file and an image without room, said exactly.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>

#include "import/tga.h"
#include "tests/support/scratch.h"
#include "tests/support/seedstga.h"
#include "world_fixture.h"

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
