#include <unistd.h>

#include "startup/startup.h"
#include "world_fixture.h"

TEST_F(WorldTest, WorldSetupGivesGreyMaterialAndGravity) {
    simFreeWorld();
    int grey = -1;
    captureStdout([&] { grey = appWorldSetup(); });
    EXPECT_EQ(verbosity, 2);
    EXPECT_EQ(grey, 1);
    EXPECT_EQ(simWorld.nMaterials, 3);
    EXPECT_FLOAT_EQ(simWorld.materials[1].diffuse[0], 0.4f);
    EXPECT_FLOAT_EQ(simWorld.materials[2].specular[2], 0.0f);
    EXPECT_FLOAT_EQ(simWorld.materials[2].diffuse[1], 0.3f);
    EXPECT_EQ(simWorld.forceBits, 1u);
    EXPECT_EQ(simWorld.forces[0].vec[1], -0.0098);
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
