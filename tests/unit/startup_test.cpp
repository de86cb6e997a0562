#include <unistd.h>

#include <tuple>

#include "startup/startup.h"
#include "world_fixture.h"

TEST_F(WorldTest, WorldSetupGivesGreyMaterialAndGravity) {
    simFreeWorld();
    int grey = -1;
    captureStdout([&] { grey = appWorldSetup(); });
    EXPECT_EQ(std::tie(verbosity, grey, simWorld.nMaterials, simWorld.forceBits,
                       simWorld.forces[0].vec[1]),
              std::tuple(2, 1, 3, 1u, -0.0098));
    const SimMaterial* m = simWorld.materials;
    EXPECT_EQ(std::tie(m[1].diffuse[0], m[2].specular[2], m[2].diffuse[1]),
              std::tuple(0.4f, 0.0f, 0.3f));
}

TEST(StartupDeathTest, PanicsWhenTheWorldCannotBeMade) {
    EXPECT_EXIT(
        {
            dup2(2, 1); // the panic goes to stdout; death tests read stderr
            simFreeWorld();
            simMalloc = [](size_t) -> void* { return nullptr; };
            appWorldSetup();
        },
        ::testing::ExitedWithCode(1),
        "Zibbet v0\\.9 .*: \\*\\*\\*PANIC\\*\\*\\* simInitWorld\\(\\) FAILED\\.\nABORTING\\.");
}
