// Start-up: the world set-up stage.
#include "app/startup.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "sim/world.h"

const char* const appTitle = "Zibbet v0.9 (the Zibbet developers, zibbet@localhost)";

namespace {
constexpr int kStartupVerbosity = 2;
constexpr double kGravityY = -0.0098; // world units per step squared
} // namespace

int appWorldSetup() {
    const int cpus = platProcessorCount();
    verbosity = kStartupVerbosity;

    std::printf("Zibbet. A physical demo.\n");
    std::printf("Soft bodies in a turning cube. Free software, no warranty.\n");
    std::printf("Number of CPU: %d\n", cpus);
    if (cpus > 1) std::printf("*INFO* SMP support is not yet available.\n");
    std::printf("Core using 1 thread.\n");
    if (verbosity > 0) std::printf("Initializing physical objects...\n");

    if (!simInitWorld("Hello_World")) {
        std::printf("%s: ***PANIC*** simInitWorld() FAILED.\nABORTING.\n", appTitle);
        std::exit(1);
    }

    const float greyAmbient[3] = {0.1f, 0.1f, 0.1f};
    const float greyDiffuse[3] = {0.4f, 0.4f, 0.4f};
    const float greySpecular[3] = {1.0f, 1.0f, 1.0f};
    const float yellowAmbient[3] = {0.1f, 0.1f, 0.0f};
    const float yellowDiffuse[3] = {0.3f, 0.3f, 0.0f};
    const float yellowSpecular[3] = {1.0f, 1.0f, 0.0f};
    const float black[3] = {0.0f, 0.0f, 0.0f};
    const int grey = simAddMat(greyAmbient, greyDiffuse, greySpecular, black, 8.0f, 1);
    simAddMat(yellowAmbient, yellowDiffuse, yellowSpecular, black, 8.0f, 1);

    simAddFForce(0.0, kGravityY, 0.0);
    return grey;
}
