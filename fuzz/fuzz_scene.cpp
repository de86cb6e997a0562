// libFuzzer target for the whole pipeline: any bytes as a scene file, read,
// converted object by object exactly as start-up converts them, then
// FX_SCENE_STEPS (20) whole steps with the cube turning under a drag. A
// broken promise aborts the run like a sanitizer report would:
//   - a mass that was finite after the conversion becomes non-finite;
//   - a finite mass that collides with the cube leaves its reach (further
//     than FX_CUBE_REACH, 1e-6 world units, beyond a face) once it has been
//     within it;
//   - a spring has an end that is not finite;
//   - the spring phase, as the planner chose to run it, differs in any bit
//     from the plain one-spring-at-a-time loop.
// Bodies too big to step quickly are built and checked but not stepped: the
// cap is FX_SCENE_SPRING_CAP, 4096 springs in the world (the entry and its
// constants are in tests/support/seedsscene.h, shared with the replay test).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/seedsscene.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Start-up's messages would only slow the run down; faults go to stderr.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FxSceneOutcome outcome = fxSceneBytes(data, size);
    if (!outcome.fault.empty()) {
        std::fprintf(stderr, "scene: %s\n", outcome.fault.c_str());
        std::abort();
    }
    return 0;
}
