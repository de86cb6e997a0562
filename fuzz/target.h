// What the libFuzzer targets share: standard output closed, since the
// readers' and start-up's messages would only slow a run down, and a fault
// that aborts the run like a sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

// Aborts when fault is not empty, after saying it on standard error.
inline void fxFuzzFault(const char* target, const std::string& fault) {
    if (fault.empty()) return;
    std::fprintf(stderr, "%s: %s\n", target, fault.c_str());
    std::abort();
}
