// Start-up: world set-up and scene set-up, run once each by main before the
// window opens. The headless runner and the tests make their worlds with them
// too.
#include "startup/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "import/conv3ds.h"
#include "import/load3ds.h"
#include "platform/platform.h"
#include "sim/bcube.h"
#include "sim/world.h"
#include "startup/progress.h"

const char* const appTitle = "Zibbet v0.9 (the Zibbet developers, zibbet@zibbet.org)";
int32_t lastConvertedOid = 0;

namespace {

constexpr int kStartupVerbosity = 2;
constexpr double kGravityY = -0.0098; // world units per step squared

// Bounding cube: centred at the origin, 4 world scales on a side.
constexpr int32_t kCubeFlags = SIMF_MKPOLYS | SIMF_MKCONNS | SIMF_GOURAUD | SIMF_FIXED;

// Every scene mesh becomes a soft body with these settings.
constexpr double kConvScale = 0.3; // times the world scale
constexpr double kSpringK = 5.0;
constexpr double kSpringDamping = 1.0;
constexpr double kBandMin = 0.0;  // times the world scale
constexpr double kBandMax = 0.15; // times the world scale
constexpr int32_t kBodyFlags = SIMF_MKSPRINGS | SIMF_MKPOLYS | SIMF_ENVMAP | SIMF_CULL |
                               SIMF_GOURAUD | SIMF_VNORMALS | SIMF_BCUBE;
constexpr int32_t kBodyForceMask = 1; // gravity only
constexpr double kBodyTurnY = 1.3;    // radians

// Why the scene could not be opened, on standard error (the console lines are
// fixed and give no reason), and where the copy installed with the program
// lies when there is one: the data folder at a fixed place relative to the
// installed program's own folder.
void explainMissingScene(const char* scenePath) {
    std::FILE* file = std::fopen(scenePath, "rb");
    if (file) { // it opens: the reader refused its contents and said so
        std::fclose(file);
        return;
    }
    const int err = errno;
    std::string hint;
    const std::string dir = platExecutableDir();
    if (!dir.empty()) {
        namespace fs = std::filesystem;
        std::error_code fsErr;
        const fs::path installed =
            (fs::path(dir) / ZIBBET_DATA_FROM_PROGRAM / fs::path(scenePath).filename())
                .lexically_normal();
        if (fs::is_regular_file(installed, fsErr))
            hint = "; the installed copy is " + installed.string() +
                   " (the zibbet command starts there)";
    }
    std::fprintf(stderr, "zibbet: cannot open %s: %s%s\n", scenePath, std::strerror(err),
                 hint.c_str());
}

// The scene read at start-up, kept for the whole run. Held here rather than
// dropped so that leak checkers see it as in use.
Scene3DS* loadedScene = nullptr;

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

void appCubeSetup() {
    simSetBCube(0.0f, 0.0f, 0.0f, 4.0f * worldScale, kCubeFlags);
}

int appConvertScene(int greyMaterial, const Scene3DS* scene) {
    int converted = 0;
    for (int i = 0; scene && i < scene->nObjects; ++i) {
        std::printf("simConv3DSObj: Physicalizing object...\n");
        int oid = simConv3DSobj(-1, scene, i, 0.0, 0.0, 0.0, kConvScale * worldScale, kSpringK,
                                kSpringDamping, kBandMin * worldScale, kBandMax * worldScale,
                                kBodyFlags, kBodyForceMask);
        if (oid == -1) {
            // Nothing to turn or colour: the keys stay with the last good object.
            std::printf("  ***ERROR*** simConv3DSObj: 3DS object %d could not be converted and is "
                        "skipped.\n",
                        i);
            continue;
        }
        lastConvertedOid = oid;
        ++converted;
        simRotObj(oid, 0.0, kBodyTurnY, 0.0);
    }
    if (converted > 0) simSetObjMat(lastConvertedOid, greyMaterial);
    return converted;
}

void appSceneSetup(int greyMaterial, const char* scenePath) {
    // Reading a large scene and building its springs can take a while: say
    // how far they are, on a terminal only.
    appProgressInstall();
    appCubeSetup();

    Scene3DS* scene = simLoad3DS(scenePath);
    if (!scene) {
        explainMissingScene(scenePath);
        std::printf("%s: *** ERROR *** simLoad3DS() FAILED to load scene.\n", appTitle);
        std::printf("%s: ABORTING.\n", appTitle);
        std::exit(1);
    }
    // The world copies what it needs, so a scene from an earlier call (tests
    // build the world more than once) can go.
    simFree3DS(loadedScene);
    loadedScene = scene;
    appConvertScene(greyMaterial, scene);
}
