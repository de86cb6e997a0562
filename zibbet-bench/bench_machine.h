// The machine a zibbet-bench figure came from, read from /proc and /sys and
// from how this program was built, so that two result files can be told
// apart: processor, caches, memory, system, build, and what may move the
// figures (the frequency governor and boost, the load at start).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BenchMachine {
    std::string cpu;                     // model name; "unknown" when the system gives none
    std::string vendor;                  // x86: vendor_id
    std::string family, model, stepping; // x86, as /proc/cpuinfo writes them
    std::string implementer, part;       // aarch64 ("0x41", "0xd0c")
    std::vector<std::string> paths;      // the spring kernel's paths this processor runs
    int processors = 0;                  // online
    int allowed = 0;                     // in this process's affinity mask
    int64_t l1d = -1, l2 = -1, l3 = -1;  // cache sizes seen by processor 0, bytes; -1 unknown
    int64_t memory = -1;                 // bytes
    std::string kernel;                  // "Linux 6.1.0-18-amd64"
    std::string compiler;                // "g++ 12.2.0"
    std::string buildType;               // "Release"; "Debug with sanitizers"
    std::string version;                 // Zibbet's
    std::string governor;                // the frequency governor; empty when not shown
    std::string boost;                   // "on" or "off"; empty when not shown
    double load[3] = {-1.0, -1.0, -1.0}; // load average over 1, 5, 15 minutes; -1 unknown
};

BenchMachine benchReadMachine(); // reads it all now
int benchAllowedProcessors();    // processors in the affinity mask, at least 1
// "AMD EPYC (AuthenticAMD family 25 model 1 stepping 1)": the processor and
// what identifies it, for the text report and --compare.
std::string benchMachineName(const BenchMachine& m);
// The text report's block on standard output, and a warning when the
// processor's clock may move the figures (a governor other than
// performance, or boost on).
void benchPrintMachine(const BenchMachine& m);
