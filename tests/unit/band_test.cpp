// The distance band's grid against the plain all-pairs loop: the same spring
// records, capacity and notices; all or nothing when springs cannot be had.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "import/band.h"
#include "sim/parallel.h"
#include "tests/support/band_fixture.h"
#include "world_fixture.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int objectWith(const std::vector<Point3>& points) {
    const int oid = simAddObject("band", 0);
    for (const Point3& p : points)
        fxMassAt(oid, p[0], p[1], p[2]);
    return oid;
}

// The reference: every band pair of the plain loop but those with a mass too
// far out to be given springs, one simAddSpring each.
void referenceSpring(void* ctx, int32_t i, int32_t j, double d) {
    const int oid = *static_cast<int*>(ctx);
    const SimMass* m = simWorld.objects[oid].masses;
    if (bandNearOrigin(m[i]) && bandNearOrigin(m[j])) simAddSpring(oid, i, j, d, 5.0, 1.0, 1);
}

// What building a band left on a fresh object: its springs, capacity and
// level-3 transcript, and the builder's result.
struct Built {
    std::vector<SimSpring> springs;
    int32_t capacity = 0;
    std::string notices;
    int result = 0;
};

// Builds the band over the points in a fresh world after `before` springs
// made one by one (so that growth starts part way into a step); without the
// grid's memory the builder must fall back to the same pairs.
Built build(const std::vector<Point3>& points, double lo, double hi, bool builder, int before,
            bool noGrid = false) {
    simFreeWorld();
    EXPECT_EQ(simInitWorld("Test_World"), 1);
    int oid = objectWith(points);
    for (int s = 0; s < before; ++s)
        simAddSpring(oid, 0, 0, 0.0, 1.0, 1.0, 1);
    Built b;
    verbosity = 3;
    b.notices = captureStdout([&] {
        if (noGrid) simMalloc = [](size_t) -> void* { return nullptr; };
        if (builder)
            b.result = simAddBandSprings(oid, lo, hi, 5.0, 1.0);
        else
            bandAllPairs(simWorld.objects[oid].masses, simWorld.objects[oid].nMasses, lo, hi,
                         referenceSpring, &oid);
    });
    simMalloc = std::malloc;
    verbosity = 0;
    const SimObject& obj = simWorld.objects[oid];
    b.springs.assign(obj.springs, obj.springs + obj.nSprings);
    b.capacity = obj.maxSprings;
    return b;
}

// Pairs whose computed distance is at or just below hi, in random directions
// anywhere in a cloud, and axis-aligned ones on a 1/1024 raster so that dx
// comes out exact: a cell narrower than hi would split about one in a hundred.
std::vector<Point3> pairsJustInside(double hi) {
    const std::vector<Point3> bases = cubePoints(500, 40.0, 11);
    const std::vector<Point3> dirs = bumpySpherePoints(500, 1.0, 12);
    std::vector<Point3> points;
    for (size_t p = 0; p < bases.size(); ++p) {
        const double reach =
            std::nextafter(hi, 0.0) / std::hypot(dirs[p][0], dirs[p][1], dirs[p][2]);
        points.push_back(bases[p]);
        points.push_back({bases[p][0] + dirs[p][0] * reach, bases[p][1] + dirs[p][1] * reach,
                          bases[p][2] + dirs[p][2] * reach});
    }
    for (const Point3& p : cubePoints(1000, 40.0, 13)) {
        const double x = std::round(p[0] * 1024.0) / 1024.0;
        points.push_back({x, p[1], p[2]});
        points.push_back({x + hi - 0x1p-20, p[1], p[2]});
    }
    return points;
}

} // namespace

TEST_F(WorldTest, BandBuilderMatchesThePlainLoopPairForPair) {
    const std::vector<Point3> surface = bumpySpherePoints(3000, 24.0, 7);
    const double spacing = sphereSpacing(3000, 24.0);
    const std::vector<Point3> cloud = cubePoints(400, 10.0, 3);
    std::vector<Point3> lattice; // distances of exactly 1 and 2 abound
    for (int i = 0; i < 512; ++i)
        lattice.push_back({double(i % 8), double(i / 8 % 8), double(i / 64)});
    std::vector<Point3> clusters = cubePoints(300, 20.0, 5); // coincident masses among others
    for (int c = 0; c < 100; ++c)
        clusters.push_back(clusters[static_cast<size_t>(c % 7)]);
    std::vector<Point3> odd = cubePoints(300, 10.0, 9); // coordinates that are not finite
    for (int p = 0; p < 300; p += 7)
        odd[static_cast<size_t>(p)][p % 3] = std::vector<double>{kNaN, kInf, -kInf}[p % 3];
    odd.insert(odd.end(), {{kInf, kInf, kInf}, {kInf, kInf, kInf}, {-kInf, 0.0, 0.0}});
    // A cluster with outliers beyond any grid at the band's width, a spread
    // that overflows, and a pair in the band beyond SIM_BAND_MAX_COORD.
    std::vector<Point3> huge = cubePoints(200, 3.0, 4);
    huge.insert(huge.end(), {{1e300, -1e300, 5e299}, {1e300, -1e300, 5e299}, {-1e300, 1e300, 0.0},
                             {1.7e308, 0.0, 0.0}, {-1.7e308, 0.0, 0.0}, {0.0, 2e12, 0.0},
                             {0.0, 2e12, 0.25}});
    // A band so narrow that dx*dx underflows: the grid must still meet masses
    // 1e-200 apart; the far mass splits z into many cells.
    const std::vector<Point3> tiny = {
        {0, 0, 0}, {1e-200, 0, 0}, {0, 3e-170, 0}, {0, 0, 1e-155}, {0, 0, 1.0}};
    const std::vector<Point3> same(60, Point3{1.5, -2.0, 3.25});
    const std::vector<Point3> small = cubePoints(50, 2.0, 1);
    // Dozens of growth steps, from empty and from part way into a step.
    const std::vector<Point3> grown = bumpySpherePoints(1200, 24.0, 17);
    const double grownHi = 8.0 * sphereSpacing(1200, 24.0);
    const struct {
        const char* name;
        std::vector<Point3> points;
        double lo, hi;
        int before = 0; // springs made one by one first
        bool noGrid = false;
    } cases[] = {
        {"many growth steps", grown, 0.0, grownHi},
        {"growth from part way into a step", grown, 0.0, grownHi, 2047},
        {"growth from a full step", grown, 0.0, grownHi, 2048},
        {"sparse surface", surface, 0.0, 3.0 * spacing},
        {"a shell of the surface", surface, 1.5 * spacing, 2.5 * spacing},
        {"dense cloud", cloud, 1.0, 9.0},
        {"growth, no grid memory", grown, 0.0, grownHi, 2047, true},
        {"wider than the cloud: one cell", cloud, -1.0, 100.0},
        {"unbounded", cloud, -kInf, kInf},
        {"unbounded above", cloud, 4.0, kInf},
        {"lattice, bounds on pairs", lattice, 1.0, 2.0},
        {"pairs just inside hi", pairsJustInside(0.75), 0.0, 0.75},
        {"coincident: 0 is inside", same, -1.0, 1.0},
        {"coincident: but not above 0", same, 0.0, 1.0},
        {"coincident, no grid memory", same, 0.0, 1.0, 0, true},
        {"clusters", clusters, -0.5, 2.0},
        {"not finite", odd, 0.0, 2.0},
        {"not finite, unbounded", odd, -kInf, kInf},
        {"only odd ones", {{kNaN, 0, 0}, {kInf, 0, 0}, {0, 0, 0}, {0, -kInf, 0}}, -1.0, 1.0},
        {"huge spreads", huge, 0.0, 0.6},
        {"tiny band", tiny, -1.0, 1e-300}, // 1e-155 squared is no longer 0
        {"no masses", {}, -1.0, 1.0},
        {"one mass", {{0, 0, 0}}, -1.0, 1.0},
        {"upper = lower", small, 1.0, 1.0},
        {"upper < lower", small, 1.0, 0.5},
        {"negative band", small, -2.0, -1.0},
        {"d < 0 never holds", small, -1.0, 0.0},
        {"NaN lower", small, kNaN, 1.0},
        {"NaN upper", small, 0.0, kNaN},
    };
    for (const auto& c : cases) {
        const Built ref = build(c.points, c.lo, c.hi, false, c.before);
        for (int threads : {1, 3}) { // the builder's threads take rows in any order
            SCOPED_TRACE(std::string(c.name) + ", threads " + std::to_string(threads));
            simParallelSetBuildThreads(threads);
            const Built got = build(c.points, c.lo, c.hi, true, c.before, c.noGrid);
            simParallelSetBuildThreads(1);
            const int made = static_cast<int>(ref.springs.size()) - c.before;
            EXPECT_EQ(got.result, made);
            EXPECT_EQ(got.capacity, ref.capacity);
            EXPECT_EQ(got.notices, ref.notices);
            ASSERT_EQ(got.springs.size(), ref.springs.size());
            EXPECT_TRUE(ref.springs.empty() ||
                        std::memcmp(got.springs.data(), ref.springs.data(),
                                    ref.springs.size() * sizeof(SimSpring)) == 0);
        }
    }
}
