// libFuzzer target for the whole pipeline: any bytes as a scene file, read,
// converted as start-up converts them and stepped with the cube turning
// (fxSceneBytes in tests/support/seedsscene.h says what is checked). A
// broken promise aborts the run like a sanitizer report would.
#include <cstddef>
#include <cstdint>

#include "fuzz/target.h"
#include "tests/support/seedsscene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fxFuzzFault("scene", fxSceneBytes(data, size).fault);
    return 0;
}
