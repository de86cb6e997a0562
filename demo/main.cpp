// Zibbet: a soft-body physics demonstration. main runs the three start-up
// stages; the GLUT main loop then drives everything through the callbacks.
#include <cstdio>

#include "demo/window.h"
#include "import/conv3ds.h"
#include "render/glext.h"
#include "sim/springs.h"
#include "startup/startup.h"

namespace {
const char* const kSceneFile = "bmoon1m.3ds";
}

int main() {
    // Progress lines should show as they happen, also through a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The conversion asks the driver about cube maps; the core alone has none
    // to ask.
    simConvHasExtension = hasGLExtension;
    const int grey = appWorldSetup();
    appSceneSetup(grey, kSceneFile);
    // The spring plans now, so that no step makes one (it would allocate and
    // time the ways inside the first idle call).
    simSpringsPrepareAll();
    appWindowSetup();
    return 0;
}
