// The TGA reader held to the format's plain rules (the fuzzer's entry) on
// every seed and on the reproducers kept beside the fuzzers.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "render/tga.h"
#include "tests/support/seedstga.h"
#include "world_fixture.h"

TEST(Tga, EverySeedReadsByThePlainRulesIntoAFaceBufferAndIntoANewOne) {
    std::vector<FxTgaSeed> inputs = fxSeedsTGA();
    const size_t seeds = inputs.size();
    const std::filesystem::path regressions =
        std::filesystem::path(__FILE__).parent_path() / "../../fuzz/regressions";
    for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const FxBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        inputs.push_back({entry.path().filename(), bytes, false, false});
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        const FxTgaSeed& seed = inputs[i];
        SCOPED_TRACE(seed.name);
        FxTgaOutcome o;
        const std::string printed =
            captureStdout([&] { o = fxLoadTGABytes(seed.bytes.data(), seed.bytes.size()); });
        EXPECT_EQ(o.fault, "");
        EXPECT_EQ(printed, o.printed);
        // Whether a reproducer loads is free; a seed loads as it says.
        if (i >= seeds) continue;
        EXPECT_EQ(o.intoFace, seed.intoFace);
        EXPECT_EQ(o.intoNew, seed.intoNew);
    }
    const std::string missing = "/nonexistent/zibbet.tga";
    int width = -7;
    EXPECT_EQ(captureStdout([&] {
                  EXPECT_EQ(loadTGA(missing.c_str(), &width, &width, nullptr, 1 << 20), nullptr);
              }),
              "TGA Reader loading file '" + missing + "'\n\nError opening file.\n");
    EXPECT_EQ(width, -7);
}
