// The memory checks against what they guard. AddressSanitizer's shadow memory
// reserves terabytes of address space: no address or data limit under it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scenegen/bodies.h"
#include "scenegen/meshgen.h"
#include "scenegen/moon_scene.h"
#include "sim/springs.h"
#include "sim/springs_testing.h"
#include "sim/world.h"
#include "tests/support/run_command.h"
#include "world_fixture.h"

namespace {

// 2,892 vertices close enough for 3.46 million springs: 138 MB of them, and
// a tiled plan of 29 MB.
constexpr int kBigSphereVerts = 3000;
constexpr long long kSpringBytes = 138280960; // the springs' block
constexpr long long kMiB = 1 << 20;

bool listHas(const std::string& list, const std::string& item, char sep) {
    return (sep + list + sep).find(sep + item + sep) != std::string::npos;
}

// The big sphere as a scene file of this process's own.
std::string writeBigSphere() {
    std::vector<FxMesh> parts = fxBenchSphere("Sphere", FX_MOON_RADIUS, kBigSphereVerts);
    for (FxMesh& part : parts)
        fxAddWholeGroup(part);
    const std::string path = testDir() + "/sphere.3ds";
    return fxWriteFile(path, fx3dsScene(parts, {fxMoonMaterial()})) ? path : std::string{};
}

// A "Name:   123 kB" line of /proc/self/status, in bytes.
long long statusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::stoll(line.substr(key.size())) * 1024;
    return -1;
}

void expectPlanAsksForWhatItHolds(int oid, const char* body) {
    const SimSpringWay tiled{SIM_LAYOUT_TILED, simSpringsPath()};
    springsTestForce(&tiled);
    simSpringsPrepare(oid);
    const SimSpringsPlanFigures stats = simSpringsPlanOf(oid);
    springsTestForce(nullptr);
    EXPECT_FALSE(stats.planRefused) << body;
    ASSERT_GT(stats.heldBytes, 0) << body;
    EXPECT_GE(stats.planBytes, stats.heldBytes) << body;
    EXPECT_LE(static_cast<double>(stats.planBytes), 1.25 * static_cast<double>(stats.heldBytes))
        << body;
}

// Where a memory cgroup of this test's own can be made, and its limit file:
// v2 at the mount's root, else v1 under this process's own.
std::string cgroupPlace(std::string& limitFile) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line, v2, v1;
    while (std::getline(mounts, line)) {
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

// A run that did not start: no room for the springs under the limit.
void expectNoRoomForSprings(const FxRunResult& r, const std::string& limit) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "zibbet-bench: the world did not build: simAddSpring(): springs of "
                           "obj2, block of " +
                               std::to_string(kSpringBytes) + " bytes: needed "));
    EXPECT_TRUE(has(r.out, "bytes available (" + limit + "); no run\n"));
    EXPECT_FALSE(has(r.out, "steps/s"));
}

bool writeNumber(const std::string& path, long long value) {
    std::ofstream out(path);
    out << value << std::flush;
    return static_cast<bool>(out);
}

// A file out of the page cache: its next reader's cgroup is charged for it.
bool writeUncachedFile(const std::string& path, long long bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::vector<char> chunk(static_cast<size_t>(kMiB), 'z');
    bool ok = true;
    for (long long done = 0; ok && done < bytes; done += kMiB)
        ok = write(fd, chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    ok = ok && fsync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    return close(fd) == 0 && ok;
}

} // namespace

// A plan is counted before it is built: it asks for what it then holds, on a
// sphere whose springs are alike and then differ in k and damping.
TEST_F(WorldTest, APlanAsksForWhatItsLayoutHolds) {
    const int oid =
        fixtureSoftBody("Sphere", fixtureSphereMesh(18, 24, 3.2f), kFixtureScale, kFixtureBandMax,
                        kFixtureK, kFixtureDamping, kFixtureFlags, kFixtureForceMask);
    ASSERT_GE(oid, 0);
    expectPlanAsksForWhatItHolds(oid, "sphere");
    SimObject& sphere = simWorld.objects[oid];
    for (int32_t s = 0; s < sphere.nSprings; s += 3) {
        sphere.springs[s].k = kFixtureK * 1.5;
        sphere.springs[s].damping = kFixtureDamping * 0.5;
    }
    simTouchObject(oid);
    expectPlanAsksForWhatItHolds(oid, "sphere with mixed constants");
    simSpringsRelease();
}

// Past a 64 MB mark every growth step is checked against the data limit, and
// refused by the check (not the allocator) only when the step does not fit.
TEST(MemoryLimitDeathTest, GrowthPastAMarkGoesOnWhileEachStepFits) {
    if (kSanitizedBuild) GTEST_SKIP() << "AddressSanitizer cannot start under a data limit";
    constexpr long long kMark = 64 * kMiB;
    constexpr long long kLeft = 32 * kMiB;
    constexpr int64_t kStepBytes = SIM_GROW_SPRINGS * static_cast<int64_t>(sizeof(SimSpring));
    auto child = [&] {
        dup2(2, 1); // death tests read stderr
        simFreeWorld();
        simInitWorld("Growth");
        const int oid = simAddObject("Springs", 0);
        simAddMass(oid, nullptr);
        simAddMass(oid, nullptr);
        SimObject& obj = simWorld.objects[oid];
        // Full up to the step before the mark; the records are never read.
        if (!simReserveSprings(oid, kMark / kStepBytes * SIM_GROW_SPRINGS)) std::_Exit(3);
        obj.nSprings = obj.maxSprings;
        const long long cap = statusBytes("VmData") + kLeft;
        const rlimit limit{static_cast<rlim_t>(cap), static_cast<rlim_t>(cap)};
        if (setrlimit(RLIMIT_DATA, &limit) != 0) std::_Exit(4);
        while (simAddSpring(oid, 0, 1, 1.0, 1.0, 1.0, 1) >= 0) {
        }
        const SimAllocFailure& fail = simAllocFailure();
        std::printf("past the mark: %d, refused by: %s, did not fit: %d\n",
                    obj.maxSprings * static_cast<long long>(sizeof(SimSpring)) > kMark ? 1 : 0,
                    fail.limit, statusBytes("VmData") + fail.needed > cap ? 1 : 0);
        std::fflush(stdout);
        std::_Exit(0);
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0),
                "past the mark: 1, refused by: data limit \\(RLIMIT_DATA\\), did not fit: 1\n");
}

// Under an address-space limit zibbet-bench refuses a world without room for
// its springs, and runs one without room for the tiled plan on the general
// loop, saying so, to the unlimited run's digest.
TEST(MemoryLimit, BenchUnderAnAddressSpaceLimit) {
    if (kSanitizedBuild) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    const std::string scene = writeBigSphere();
    ASSERT_FALSE(scene.empty());
    // One thread: a worker's stack and arena would move the window's address space.
    const std::string bench = std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene +
                              " --steps 2 --repeat 1 --threads 1 --json -";
    const FxRunResult free = fxRunCommand(bench);
    auto limited = [&](long long bytes) {
        return fxRunCommand("ulimit -v " + std::to_string(bytes / 1024) + " && exec " + bench);
    };
    const FxRunResult springless = limited(100 * kMiB);
    const FxRunResult planless = limited(152 * kMiB);
    std::remove(scene.c_str());

    ASSERT_EQ(free.status, 0) << free.out;
    EXPECT_TRUE(has(free.out, "\"refused\": null"));
    ASSERT_FALSE(digestLine(free.out).empty()) << free.out;

    expectNoRoomForSprings(springless, "address-space limit (RLIMIT_AS)");

    EXPECT_EQ(planless.status, 0) << planless.out;
    for (const char* part :
         {"zibbet-bench: spring plan of obj2: needed ",
          " bytes available (address-space limit (RLIMIT_AS)); obj2 runs on the general loop\n",
          "\"chosen\": \"general\",\n", "\"refused\": {\n",
          "\"limit\": \"address-space limit (RLIMIT_AS)\"\n", "\"tiled_phases\": 0,"})
        EXPECT_TRUE(has(planless.out, part));
    EXPECT_EQ(digestLine(planless.out), digestLine(free.out)) << planless.out;
}

// In a memory cgroup the page cache charged to it is given back on demand:
// springs that fit beside the working set build and run. Under a limit below
// the springs the bench refuses the world rather than be killed writing them.
TEST(MemoryLimit, BenchInAMemoryCgroupCountsItsWorkingSet) {
    if (geteuid() != 0) GTEST_SKIP() << "making a cgroup needs root";
    constexpr long long kGroupBytes = 384 * kMiB;
    constexpr long long kCacheBytes = 320 * kMiB;
    std::string limitFile;
    const std::string dir = cgroupPlace(limitFile);
    if (dir.empty()) GTEST_SKIP() << "no memory cgroup controller is mounted";
    if (mkdir(dir.c_str(), 0755) != 0) GTEST_SKIP() << "cannot make the cgroup " << dir;
    const std::string scene = writeBigSphere();
    const std::string cache =
        ::testing::TempDir() + "zibbet_memlimit_cache_" + std::to_string(getpid());
    const bool limited = writeNumber(dir + "/" + limitFile, kGroupBytes);
    const bool cached = writeUncachedFile(cache, kCacheBytes);
    const std::string inGroup = "echo $$ > " + dir + "/cgroup.procs && ";
    const std::string bench = std::string("exec ") + ZIBBET_BENCH_BINARY + " --scene " + scene +
                              " --steps 2 --repeat 1 --threads 1";
    FxRunResult full, small;
    if (limited && cached && !scene.empty()) {
        full = fxRunCommand(inGroup + "cat " + cache + " > /dev/null && " + bench);
        if (writeNumber(dir + "/" + limitFile, 100 * kMiB)) small = fxRunCommand(inGroup + bench);
    }
    std::remove(scene.c_str());
    std::remove(cache.c_str());
    rmdir(dir.c_str());
    if (!limited) GTEST_SKIP() << "cannot set " << limitFile << " in " << dir;
    ASSERT_TRUE(cached) << "cannot write " << cache;
    ASSERT_FALSE(scene.empty());
    if (has(full.out, "cgroup.procs")) GTEST_SKIP() << "cannot move a process into " << dir;

    EXPECT_EQ(full.status, 0) << full.out;
    EXPECT_TRUE(has(full.out, "steps/s"));
    EXPECT_FALSE(digestLine(full.out).empty()) << full.out;

    expectNoRoomForSprings(small, "memory cgroup limit (" + limitFile + ")");
}
