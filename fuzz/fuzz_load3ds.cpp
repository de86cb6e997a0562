// libFuzzer target: any bytes as a 3DS file, read and released.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "import/load3ds.h"
#include "tests/support/scratch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader's messages would only slow the run down.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fxWriteScratch("zibbet3ds", data, size);
    if (!path.empty()) simFree3DS(simLoad3DS(path.c_str()));
    return 0;
}
