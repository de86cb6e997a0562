// libFuzzer target for the whole pipeline: any bytes as a scene file, read,
// converted as start-up converts them and stepped with the cube turning
// (fxSceneBytes in tests/support/seedsscene.h says what is checked). A
// broken promise aborts the run like a sanitizer report would.
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
