// Reading the machine record from /proc, /sys, uname and the build.
#include "zibbet-bench/bench_machine.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "sim/springs_testing.h"

#ifndef ZIBBET_VERSION
#define ZIBBET_VERSION "unknown"
#endif
#ifndef ZIBBET_BUILD_TYPE
#define ZIBBET_BUILD_TYPE "unknown"
#endif

namespace {

const char* const kCpuDir = "/sys/devices/system/cpu";
constexpr int kMaxCacheIndexes = 16; // cache/indexN entries looked at

#if defined(__clang__)
const char* const kCompiler = "clang " __clang_version__;
#elif defined(__GNUC__)
const char* const kCompiler = "g++ " __VERSION__;
#else
const char* const kCompiler = "unknown";
#endif
#if defined(__SANITIZE_ADDRESS__)
const char* const kBuildType = ZIBBET_BUILD_TYPE " with sanitizers";
#else
const char* const kBuildType = ZIBBET_BUILD_TYPE;
#endif

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// The first line of a small file, trimmed; empty when it cannot be read.
std::string firstLine(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return "";
    char line[256] = "";
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    return got ? trimmed(line) : "";
}

// The fields of /proc/cpuinfo's first processor that the record keeps.
void readCpuInfo(BenchMachine& m) {
    const std::pair<const char*, std::string*> fields[] = {
        {"model name", &m.cpu}, {"vendor_id", &m.vendor},  {"cpu family", &m.family},
        {"model", &m.model},    {"stepping", &m.stepping}, {"CPU implementer", &m.implementer},
        {"CPU part", &m.part},
    };
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return;
    char line[4096];
    bool seenProcessor = false;
    while (std::fgets(line, sizeof line, f)) {
        const char* colon = std::strchr(line, ':');
        if (!colon) continue;
        const std::string key = trimmed(std::string(line, static_cast<size_t>(colon - line)));
        // Only the first processor's block: the rest repeat it.
        if (key == "processor" && std::exchange(seenProcessor, true)) break;
        for (const auto& [name, dest] : fields)
            if (key == name && dest->empty()) *dest = trimmed(colon + 1);
    }
    std::fclose(f);
}

// "32K", "512K", "32768K", "1M" as /sys writes cache sizes: bytes, or -1.
int64_t cacheBytes(const std::string& text) {
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || n < 0) return -1;
    if (*end == '\0') return n;
    const char* const units = "KMG"; // each 2^10 times the one before
    const char* unit = std::strchr(units, *end);
    return unit ? n << (10 * (unit - units + 1)) : -1;
}

void readCaches(BenchMachine& m) {
    for (int i = 0; i < kMaxCacheIndexes; ++i) {
        const std::string dir = std::string(kCpuDir) + "/cpu0/cache/index" + std::to_string(i);
        const std::string level = firstLine(dir + "/level");
        const std::string type = firstLine(dir + "/type");
        const int64_t bytes = cacheBytes(firstLine(dir + "/size"));
        if (level == "1" && type == "Data") m.l1d = bytes;
        if (level == "2" && type != "Instruction") m.l2 = bytes;
        if (level == "3" && type != "Instruction") m.l3 = bytes;
    }
}

// Boost as the cpufreq driver or intel_pstate shows it.
std::string boostState() {
    const std::string boost = firstLine(std::string(kCpuDir) + "/cpufreq/boost");
    if (boost == "1") return "on";
    if (boost == "0") return "off";
    const std::string noTurbo = firstLine(std::string(kCpuDir) + "/intel_pstate/no_turbo");
    if (noTurbo == "0") return "on";
    if (noTurbo == "1") return "off";
    return "";
}

// "32 KiB", "1.5 MiB": a size for the text block.
std::string sizeText(int64_t bytes) {
    if (bytes < 0) return "unknown";
    const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int unit = 0;
    for (; v >= 1024.0 && unit < 4; ++unit)
        v /= 1024.0;
    char text[32];
    std::snprintf(text, sizeof text, v == static_cast<int64_t>(v) ? "%.0f %s" : "%.1f %s", v,
                  units[unit]);
    return text;
}

const char* shownOr(const std::string& text, const char* otherwise) {
    return text.empty() ? otherwise : text.c_str();
}

} // namespace

int benchAllowedProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return platProcessorCount();
    const int n = CPU_COUNT(&set);
    return n > 0 ? n : 1;
}

BenchMachine benchReadMachine() {
    BenchMachine m;
    readCpuInfo(m);
    if (m.cpu.empty()) m.cpu = "unknown";
    for (int i = 0; i < SIM_PATH_COUNT; ++i)
        if (simSpringsPathSupported(static_cast<SimSpringPath>(i)))
            m.paths.emplace_back(simSpringsPathName(static_cast<SimSpringPath>(i)));
    m.processors = platProcessorCount();
    m.allowed = benchAllowedProcessors();
    readCaches(m);
    m.memory = static_cast<int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    utsname name;
    if (uname(&name) == 0) m.kernel = std::string(name.sysname) + " " + name.release;
    m.compiler = kCompiler;
    m.buildType = kBuildType;
    m.version = ZIBBET_VERSION;
    m.governor = firstLine(std::string(kCpuDir) + "/cpu0/cpufreq/scaling_governor");
    m.boost = boostState();
    if (getloadavg(m.load, 3) != 3) m.load[0] = m.load[1] = m.load[2] = -1.0;
    return m;
}

std::string benchMachineName(const BenchMachine& m) {
    if (!m.family.empty())
        return m.cpu + " (" + m.vendor + " family " + m.family + " model " + m.model +
               " stepping " + m.stepping + ")";
    if (!m.implementer.empty())
        return m.cpu + " (implementer " + m.implementer + " part " + m.part + ")";
    return m.cpu;
}

void benchPrintMachine(const BenchMachine& m) {
    std::string paths;
    for (const std::string& p : m.paths)
        paths += " " + p;
    std::printf("machine    %s, paths%s\n", benchMachineName(m).c_str(), paths.c_str());
    std::printf("machine    %d of %d processors allowed, L1d %s, L2 %s, L3 %s, memory %s\n",
                m.allowed, m.processors, sizeText(m.l1d).c_str(), sizeText(m.l2).c_str(),
                sizeText(m.l3).c_str(), sizeText(m.memory).c_str());
    std::printf("machine    %s, %s, %s, zibbet %s\n", shownOr(m.kernel, "unknown system"),
                m.compiler.c_str(), m.buildType.c_str(), m.version.c_str());
    char load[64] = "unknown";
    if (m.load[0] >= 0.0)
        std::snprintf(load, sizeof load, "%.2f %.2f %.2f", m.load[0], m.load[1], m.load[2]);
    const char* governor = shownOr(m.governor, "not shown");
    const char* boost = shownOr(m.boost, "not shown");
    std::printf("machine    load %s at start; governor %s, boost %s\n", load, governor, boost);
    if ((!m.governor.empty() && m.governor != "performance") || m.boost == "on")
        std::printf("zibbet-bench: warning: frequency scaling is on (governor %s, boost %s): the "
                    "processor's clock may move the figures\n",
                    governor, boost);
}
