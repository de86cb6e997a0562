// The memory figures and checks against what they guard. AddressSanitizer's
// shadow memory reserves terabytes of address space: no address or data limit
// under it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
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

} // namespace

// A plan is counted before it is built: it asks for what it then holds, on a
// sphere whose springs are alike and then differ in k and damping.
TEST_F(WorldTest, APlanAsksForWhatItsLayoutHolds) {
    const int oid =
        fixtureSoftBody("Sphere", fixtureSphereMesh(18, 24, 3.2f), kFixtureScale, kFixtureBandMax,
                        kFixtureK, kFixtureDamping, kFixtureFlags, kFixtureForceMask);
    ASSERT_GE(oid, 0);
    SimObject& sphere = simWorld.objects[oid];
    const SimSpringWay tiled{SIM_LAYOUT_TILED, simSpringsPath()};
    for (const bool mixed : {false, true}) {
        SCOPED_TRACE(mixed ? "mixed constants" : "alike");
        for (int32_t s = 0; mixed && s < sphere.nSprings; s += 3) {
            sphere.springs[s].k = kFixtureK * 1.5;
            sphere.springs[s].damping = kFixtureDamping * 0.5;
        }
        simTouchObject(oid);
        springsTestForce(&tiled);
        simSpringsPrepare(oid);
        const SimSpringsPlanFigures stats = simSpringsPlanOf(oid);
        springsTestForce(nullptr);
        EXPECT_FALSE(stats.planRefused);
        ASSERT_GT(stats.heldBytes, 0);
        EXPECT_GE(stats.planBytes, stats.heldBytes);
        EXPECT_LE(static_cast<double>(stats.planBytes),
                  1.25 * static_cast<double>(stats.heldBytes));
    }
    simSpringsRelease();
}

// Under an address-space limit zibbet-bench refuses a world without room for
// its springs; under a data limit it runs one without room for the tiled plan
// on the general loop, saying so, to the unlimited run's digest.
TEST(MemoryLimit, BenchUnderMemoryLimits) {
    if (kSanitizedBuild) GTEST_SKIP() << "AddressSanitizer cannot start under an address limit";
    const FxScopedDir scratch("zibbet_memlimit");
    std::vector<FxMesh> parts = fxBenchSphere("Sphere", FX_MOON_RADIUS, kBigSphereVerts);
    for (FxMesh& part : parts)
        fxAddWholeGroup(part);
    const std::string scene = scratch.path + "/sphere.3ds";
    ASSERT_TRUE(fxWriteFile(scene, fx3dsScene(parts, {fxMoonMaterial()})));
    // One thread: a worker's stack and arena would move the window's address space.
    const std::string bench = std::string(ZIBBET_BENCH_BINARY) + " --scene " + scene +
                              " --steps 2 --repeat 1 --threads 1 --json -";
    const FxRunResult free = fxRunCommand(bench);
    auto limited = [&](const char* limit, long long bytes) {
        return fxRunCommand(std::string("ulimit ") + limit + " " + std::to_string(bytes / 1024) +
                            " && exec " + bench);
    };
    const FxRunResult springless = limited("-v", 100 * kMiB);
    // Heap and private maps count against it, not the code: the springs fit.
    const FxRunResult planless = limited("-d", 150 * kMiB);

    ASSERT_EQ(free.status, 0) << free.out;
    EXPECT_TRUE(has(free.out, "\"refused\": null"));
    ASSERT_FALSE(digestLine(free.out).empty()) << free.out;

    EXPECT_EQ(springless.status, 1) << springless.out;
    EXPECT_TRUE(has(springless.out,
                    "zibbet-bench: the world did not build: simAddSpring(): springs of obj2, block "
                    "of " +
                        std::to_string(kSpringBytes) + " bytes: needed "));
    EXPECT_TRUE(has(springless.out, "bytes available (address-space limit (RLIMIT_AS)); no run"))
        << springless.out;
    EXPECT_FALSE(has(springless.out, "steps/s"));

    EXPECT_EQ(planless.status, 0) << planless.out;
    for (const char* part :
         {"zibbet-bench: spring plan of obj2: needed ",
          " bytes available (data limit (RLIMIT_DATA)); obj2 runs on the general loop\n",
          "\"chosen\": \"general\",\n", "\"refused\": {\n",
          "\"limit\": \"data limit (RLIMIT_DATA)\"\n", "\"tiled_phases\": 0,"})
        EXPECT_TRUE(has(planless.out, part));
    EXPECT_EQ(digestLine(planless.out), digestLine(free.out)) << planless.out;
}

// The room that cgroup trees laid out under a root of this test's own give,
// with 1 GiB available and 8 MiB of free swap: the process in group /g/h of
// v1 or v2, with and without their swap limits, a tighter parent, "max" and
// missing files. The files: "name value" (MiB, or as written when long),
// "stat key value", "../name value" for the parent's.
TEST(MemoryRoom, CgroupTreesGiveTheirRoom) {
    const char* v1 = "memory cgroup limit (memory.limit_in_bytes)";
    const char* v2 = "memory cgroup limit (memory.max)";
    const char* none = "available memory and free swap";
    const struct {
        bool v1;
        const char* files;
        long long mib;
        const char* limit;
    } cases[] = {
        {false, "max 100 current 60 stat inactive_file 10", 100 - 50 + 8, v2},
        {false, "max 100 current 60 swap.max 30 swap.current 26", 100 - 60 + 4, v2},
        {false, "max 100 current 60 swap.max max", 100 - 60 + 8, v2},
        {false, "max max current 60", 1024 + 8, none},
        {false, "max 100 current 20 ../max 40 ../current 30", 40 - 30 + 8, v2},
        {false, "max 100", 1024 + 8, none},
        {true, "limit_in_bytes 100 usage_in_bytes 60 stat total_inactive_file 10", 100 - 50 + 8,
         v1},
        {true,
         "limit_in_bytes 100 usage_in_bytes 60 stat total_inactive_file 10 "
         "memsw.limit_in_bytes 70 memsw.usage_in_bytes 65",
         70 - 55, "memory cgroup limit (memory.memsw.limit_in_bytes)"},
        {true, "limit_in_bytes 9223372036854771712 usage_in_bytes 60", 1024 + 8, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files);
        const FxScopedDir root("zibbet_cgroup");
        const std::string group = root.path + "/sys/fs/cgroup" + (c.v1 ? "/memory" : "") + "/g/h/";
        std::filesystem::create_directories(group);
        std::filesystem::create_directories(root.path + "/proc/self");
        std::ofstream(root.path + "/proc/self/mountinfo")
            << (c.v1 ? "31 1 0:27 / /sys/fs/cgroup/memory rw - cgroup none rw,memory\n"
                     : "30 1 0:26 / /sys/fs/cgroup rw - cgroup2 none rw\n");
        std::ofstream(root.path + "/proc/self/cgroup") << (c.v1 ? "5:memory:/g/h\n" : "0::/g/h\n");
        std::ofstream(root.path + "/proc/meminfo")
            << "MemAvailable: 1048576 kB\nSwapFree: 8192 kB\n";
        std::istringstream in(c.files);
        for (std::string name, key, value; in >> name >> value; key.clear()) {
            if (name == "stat") key = value + " ";
            if (name == "stat") in >> value;
            if (value.size() < 7 && value != "max")
                value = std::to_string(std::stoll(value) * kMiB);
            const bool parent = name.rfind("../", 0) == 0;
            std::ofstream(group + (parent ? "../memory." + name.substr(3) : "memory." + name))
                << key << value << "\n";
        }
        const PlatMemoryRoom room = platMemoryRoom(root.path);
        EXPECT_EQ(room.bytes, c.mib * kMiB);
        EXPECT_STREQ(room.limit, c.limit);
    }
    const FxScopedDir empty("zibbet_cgroup");
    EXPECT_STREQ(platMemoryRoom(empty.path).limit, "none");
}
