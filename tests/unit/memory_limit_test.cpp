// A body too big for the memory the process may have: under an address-space
// limit and in a memory cgroup, start-up reports the failed allocation and
// goes on, and zibbet-bench refuses to time the world it left.
//
// The address-space cases are skipped under AddressSanitizer: its shadow
// memory alone reserves terabytes of address space, so no such limit lets
// the program start. The cgroup case runs there too.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/startup.h"
#include "sim/world.h"
#include "tools/common/meshgen.h"
#include "tools/common/moon_scene.h"
#include "tests/support/run_command.h"

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

namespace {

// 2,892 vertices close enough for 3.46 million springs: 138 MB of them.
constexpr int kBigSphereVerts = 3000;
// Room left to the process: far below the springs, far above the rest.
constexpr long long kRoomBytes = 100LL << 20;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// True when list, items separated by sep, holds item.
bool listHas(const std::string& list, const std::string& item, char sep) {
    std::istringstream in(list);
    std::string one;
    while (std::getline(in, one, sep))
        if (one == item) return true;
    return false;
}

std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// The big sphere as a scene file of this test's own: CTest runs tests side
// by side.
std::string writeBigSphere() {
    std::vector<FxMesh> parts = fxBenchSphere("Sphere", FX_MOON_RADIUS, kBigSphereVerts);
    for (FxMesh& part : parts)
        fxAddWholeGroup(part);
    const std::string path = ::testing::TempDir() + "zibbet_memlimit_" + testName() + ".3ds";
    return fxWriteFile(path, fx3dsScene(parts, {fxMoonMaterial()})) ? path : std::string{};
}

// zibbet-bench on the big sphere for two steps, the whole process under an
// address-space limit of `bytes`.
void benchUnderAddressLimit(long long bytes, FxRunResult& r) {
    const std::string scene = writeBigSphere();
    ASSERT_FALSE(scene.empty());
    r = fxRunCommand("ulimit -v " + std::to_string(bytes / 1024) + " && exec " +
                     ZIBBET_BENCH_BINARY + " --scene " + scene + " --steps 2");
    std::remove(scene.c_str());
}

// The refusal as zibbet-bench gives it: status 1, the failure and its
// figures on stderr, and no rate.
void expectBenchRefusal(const FxRunResult& r, const std::string& limit) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(
        has(r.out, "zibbet-bench: the world did not build: simAddSpring(): springs of obj2"))
        << r.out;
    EXPECT_TRUE(has(r.out, "bytes available (" + limit + ")")) << r.out;
    EXPECT_FALSE(has(r.out, "steps/s")) << r.out;
}

long long virtualBytes() {
    long long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

// Start-up's first two stages under an address-space limit, in a child that
// ends by telling what the body was left with.
void startUnderLimit(const std::string& scene) {
    dup2(2, 1); // start-up writes stdout; death tests read stderr
    const rlim_t cap = static_cast<rlim_t>(virtualBytes() + kRoomBytes);
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
    const int grey = appWorldSetup();
    appSceneSetup(grey, scene.c_str());
    const SimObject& body = simWorld.objects[lastConvertedOid];
    std::printf("went on: %d masses, %d springs, failure noted: %d\n", body.nMasses, body.nSprings,
                simAllocFailure().failed ? 1 : 0);
    std::fflush(stdout);
    std::_Exit(0);
}

// Where a memory cgroup of this test's own can be made, with the name of its
// limit file; empty when no memory controller is mounted. v2 at the mount's
// root (where processes and limited children may live side by side), else v1
// under this process's own memory cgroup.
std::string cgroupPlace(std::string& limitFile) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, v2, v1;
    while (std::getline(mounts, line)) {
        // id parent dev root point options ... - type source superoptions
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        char point[4096] = "", type[64] = "", opts[1024] = "";
        std::sscanf(line.c_str(), "%*s %*s %*s %*s %4095s", point);
        std::sscanf(line.c_str() + dash + 3, "%63s %*s %1023s", type, opts);
        if (std::string(type) == "cgroup2" && v2.empty()) v2 = point;
        if (std::string(type) == "cgroup" && listHas(opts, "memory", ',')) v1 = point;
    }
    std::string controllers;
    std::getline(std::ifstream(v2 + "/cgroup.subtree_control"), controllers);
    std::ifstream groups("/proc/self/cgroup");
    std::string own;
    while (std::getline(groups, line))
        if (line.find(":memory:") != std::string::npos) own = line.substr(line.rfind(':') + 1);
    const std::string name = "/zibbet_memlimit_" + std::to_string(getpid());
    if (!v2.empty() && listHas(controllers, "memory", ' ')) {
        limitFile = "memory.max";
        return v2 + name;
    }
    if (v1.empty()) return {};
    limitFile = "memory.limit_in_bytes";
    return v1 + (own == "/" ? "" : own) + name;
}

} // namespace

TEST(MemoryLimit, BenchUnderAnAddressSpaceLimitRefusesToTimeTheWorld) {
    if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    FxRunResult r;
    benchUnderAddressLimit(kRoomBytes, r);
    expectBenchRefusal(r, "address-space limit (RLIMIT_AS)");
}

// Room for the springs (138 MB) but not for their tiled plan (166 MB): the
// plan is refused before it is built, and the bench names it.
TEST(MemoryLimit, BenchRefusesAWorldWhosePlanCannotBeHad) {
    if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    constexpr long long kPlanlessBytes = 220LL << 20; // the whole process's address space
    FxRunResult r;
    benchUnderAddressLimit(kPlanlessBytes, r);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "zibbet-bench: the world did not build: spring plan of obj2: needed "))
        << r.out;
    EXPECT_TRUE(has(r.out, "bytes available (address-space limit (RLIMIT_AS))")) << r.out;
    EXPECT_FALSE(has(r.out, "steps/s")) << r.out;
}

// Start-up itself prints the allocation failure and carries on with the
// body's masses and no springs.
TEST(MemoryLimitDeathTest, StartupUnderAnAddressSpaceLimitGoesOn) {
    if (kAddressSanitizer) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    const std::string scene = writeBigSphere();
    ASSERT_FALSE(scene.empty());
    EXPECT_EXIT(
        startUnderLimit(scene), ::testing::ExitedWithCode(0),
        "\\*\\*\\* ERROR \\*\\*\\* simAddSpring\\(\\): Failed malloc\\([0-9]+\\) for springs "
        "\\(oid=2\\)\\.\n  simConv3DSobj\\(\\): Generated 0 complete springs for obj2\n.*"
        "went on: 2892 masses, 0 springs, failure noted: 1\n");
    std::remove(scene.c_str());
}

// A memory cgroup (v2 or v1) of its own for the bench: the kernel would
// grant the springs and kill the process when they are written.
TEST(MemoryLimit, BenchInAMemoryCgroupRefusesToTimeTheWorld) {
    if (geteuid() != 0) GTEST_SKIP() << "making a cgroup needs root";
    std::string limitFile;
    const std::string dir = cgroupPlace(limitFile);
    if (dir.empty()) GTEST_SKIP() << "no memory cgroup controller is mounted";
    if (mkdir(dir.c_str(), 0755) != 0) GTEST_SKIP() << "cannot make the cgroup " << dir;
    std::ofstream limit(dir + "/" + limitFile);
    limit << kRoomBytes << std::flush;
    const bool limited = static_cast<bool>(limit);
    limit.close();
    const std::string scene = writeBigSphere();
    FxRunResult r;
    if (limited && !scene.empty())
        r = fxRunCommand("echo $$ > " + dir + "/cgroup.procs && exec " + ZIBBET_BENCH_BINARY +
                         " --scene " + scene + " --steps 2");
    std::remove(scene.c_str());
    rmdir(dir.c_str());
    if (!limited) GTEST_SKIP() << "cannot set " << limitFile << " in " << dir;
    ASSERT_FALSE(scene.empty());
    if (has(r.out, "cgroup.procs")) GTEST_SKIP() << "cannot move a process into " << dir << r.out;
    expectBenchRefusal(r, "memory cgroup limit (" + limitFile + ")");
}
