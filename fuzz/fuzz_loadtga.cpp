// libFuzzer target for the TGA reader: any bytes as a TGA file, held to the
// format's plain rules; a departure aborts the run like a sanitizer report.
#include <cstddef>
#include <cstdint>

#include "fuzz/target.h"
#include "tests/support/seedstga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fxFuzzFault("loadTGA", fxLoadTGABytes(data, size).fault);
    return 0;
}
