// libFuzzer target: any bytes as a 3DS file, read and released.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tests/support/seeds3ds.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader's messages would only slow the run down.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fxLoad3DSBytes(data, size);
    return 0;
}
