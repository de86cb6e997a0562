// libFuzzer target: any bytes as a 3DS file, read and released.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/target.h"
#include "import/load3ds.h"
#include "tests/support/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fxWriteScratch("zibbet3ds", data, size);
    if (!path.empty()) simFree3DS(simLoad3DS(path.c_str()));
    return 0;
}
