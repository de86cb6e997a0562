// The TGA reader held to the format's plain rules (the fuzzer's entry) on
// every seed.
#include <string>
#include <tuple>

#include "import/tga.h"
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
