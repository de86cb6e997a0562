// libFuzzer target for the TGA reader: any bytes as a TGA file, held to the
// format's plain rules; a departure aborts the run like a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/seedstga.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader's messages would only slow the run down.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FxTgaOutcome outcome = fxLoadTGABytes(data, size);
    if (!outcome.fault.empty()) {
        std::fprintf(stderr, "loadTGA: %s\n", outcome.fault.c_str());
        std::abort();
    }
    return 0;
}
