#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "import/band.h"
#include "tools/fixtures/band_fixture.h"
#include "world_fixture.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int objectWith(const std::vector<Point3>& points) {
    const int oid = simAddObject("band", 0);
    for (const Point3& p : points) {
        SimMass* m = nullptr;
        simAddMass(oid, &m);
        std::memcpy(m->pos, p.data(), sizeof m->pos);
    }
    return oid;
}

void referenceSpring(void* ctx, int32_t i, int32_t j, double d) {
    simAddSpring(*static_cast<int*>(ctx), i, j, d, 5.0, 1.0, 1);
}

struct Found {
    int32_t i;
    int32_t j;
    double d;
};

void collect(void* ctx, int32_t i, int32_t j, double d) {
    static_cast<std::vector<Found>*>(ctx)->push_back({i, j, d});
}

class BandTest : public WorldTest {
  protected:
    // Springs from the grid and from the plain loop, on two objects with the
    // same masses, must be the same records byte for byte. Returns the count.
    static int sameSprings(const std::vector<Point3>& points, double lo, double hi) {
        const int grid = objectWith(points);
        int ref = objectWith(points);
        const int added = simAddBandSprings(grid, lo, hi, 5.0, 1.0);
        bandAllPairs(obj(ref).masses, obj(ref).nMasses, lo, hi, referenceSpring, &ref);
        EXPECT_EQ(added, obj(grid).nSprings);
        EXPECT_EQ(obj(grid).nSprings, obj(ref).nSprings);
        if (obj(grid).nSprings != obj(ref).nSprings) return -1;
        const size_t bytes = static_cast<size_t>(obj(ref).nSprings) * sizeof(SimSpring);
        EXPECT_TRUE(bytes == 0 || std::memcmp(obj(grid).springs, obj(ref).springs, bytes) == 0);
        return obj(ref).nSprings;
    }
};

} // namespace

TEST_F(BandTest, SparseBandOnSurfaceMatchesPlainLoop) {
    const int n = 3000;
    const double radius = 24.0;
    const std::vector<Point3> points = bumpySpherePoints(n, radius, 7);
    const double spacing = sphereSpacing(n, radius);
    const int count = sameSprings(points, 0.0, 3.0 * spacing);
    EXPECT_GT(count, 5 * n);                // a real network ...
    EXPECT_LT(count, n * (n - 1) / 2 / 50); // ... far from complete
    EXPECT_GT(sameSprings(points, 1.5 * spacing, 2.5 * spacing), n);
}

TEST_F(BandTest, DenseAndUnboundedBandsMatchPlainLoop) {
    const int n = 400;
    const std::vector<Point3> points = cubePoints(n, 10.0, 3);
    EXPECT_GT(sameSprings(points, 1.0, 9.0), n * (n - 1) / 2 / 2);
    // Wider than the cloud: one cell holds every mass.
    EXPECT_EQ(sameSprings(points, -1.0, 100.0), n * (n - 1) / 2);
    EXPECT_EQ(sameSprings(points, -kInf, kInf), n * (n - 1) / 2);
    EXPECT_GT(sameSprings(points, 4.0, kInf), 0);
}

TEST_F(BandTest, PairsExactlyAtTheBoundsAreLeftOut) {
    // An integer lattice: many distances are exactly 1 and exactly 2.
    std::vector<Point3> points;
    for (int x = 0; x < 8; ++x)
        for (int y = 0; y < 8; ++y)
            for (int z = 0; z < 8; ++z)
                points.push_back({double(x), double(y), double(z)});
    EXPECT_GT(sameSprings(points, 1.0, 2.0), 0);
    const SimObject& grid = obj(simWorld.nObjects - 2);
    for (int s = 0; s < grid.nSprings; ++s) {
        ASSERT_GT(grid.springs[s].rest, 1.0);
        ASSERT_LT(grid.springs[s].rest, 2.0);
    }
}

TEST_F(BandTest, PairsJustInsideTheUpperBoundAreKept) {
    // Each base point gets a partner whose computed distance is at or just
    // below hi, in a random direction, anywhere in the cloud: the cells must
    // never split such a pair.
    const double hi = 0.75;
    std::vector<Point3> bases = cubePoints(500, 40.0, 11);
    std::vector<Point3> dirs = bumpySpherePoints(500, 1.0, 12);
    std::vector<Point3> points;
    for (size_t p = 0; p < bases.size(); ++p) {
        const double len =
            std::sqrt(dirs[p][0] * dirs[p][0] + dirs[p][1] * dirs[p][1] + dirs[p][2] * dirs[p][2]);
        const double reach = std::nextafter(hi, 0.0) / len;
        points.push_back(bases[p]);
        points.push_back({bases[p][0] + dirs[p][0] * reach, bases[p][1] + dirs[p][1] * reach,
                          bases[p][2] + dirs[p][2] * reach});
    }
    // Axis-aligned partners just inside hi, at random places along the axis,
    // on a 1/1024 raster so that dx comes out exact: a cell narrower than hi
    // would split about one pair in a hundred.
    const double inside = hi - 0x1p-20;
    for (const Point3& p : cubePoints(1000, 40.0, 13)) {
        const double x = std::round(p[0] * 1024.0) / 1024.0;
        points.push_back({x, p[1], p[2]});
        points.push_back({x + inside, p[1], p[2]});
    }
    EXPECT_GT(sameSprings(points, 0.0, hi), 1300);
}

TEST_F(BandTest, CoincidentMassesMatchPlainLoop) {
    const std::vector<Point3> same(60, Point3{1.5, -2.0, 3.25});
    EXPECT_EQ(sameSprings(same, -1.0, 1.0), 60 * 59 / 2); // distance 0 is inside
    EXPECT_EQ(sameSprings(same, 0.0, 1.0), 0);            // but not above 0
    // Clusters of coincident masses among scattered ones.
    std::vector<Point3> points = cubePoints(300, 20.0, 5);
    for (int c = 0; c < 100; ++c)
        points.push_back(points[static_cast<size_t>(c % 7)]);
    EXPECT_GT(sameSprings(points, -0.5, 2.0), 100 * 99 / 2 / 7);
}

TEST_F(BandTest, NonFiniteCoordinatesNeverPairAndDoNotDisturbTheRest) {
    std::vector<Point3> points = cubePoints(300, 10.0, 9);
    const double odd[] = {kNaN, kInf, -kInf};
    for (int p = 0; p < 300; p += 7)
        points[static_cast<size_t>(p)][p % 3] = odd[p % 3];
    points.push_back({kInf, kInf, kInf});
    points.push_back({kInf, kInf, kInf});
    points.push_back({-kInf, 0.0, 0.0});
    EXPECT_GT(sameSprings(points, 0.0, 2.0), 300);
    EXPECT_GT(sameSprings(points, -kInf, kInf), 250 * 249 / 2);
    const std::vector<Point3> onlyOdd = {{kNaN, 0, 0}, {kInf, 0, 0}, {0, 0, 0}, {0, -kInf, 0}};
    EXPECT_EQ(sameSprings(onlyOdd, -1.0, 1.0), 0);
}

TEST_F(BandTest, EmptyBandsAndTooFewMassesMakeNothing) {
    const std::vector<Point3> points = cubePoints(50, 2.0, 1);
    EXPECT_EQ(sameSprings({}, -1.0, 1.0), 0);
    EXPECT_EQ(sameSprings({{0, 0, 0}}, -1.0, 1.0), 0);
    EXPECT_EQ(sameSprings(points, 1.0, 1.0), 0);   // upper == lower
    EXPECT_EQ(sameSprings(points, 1.0, 0.5), 0);   // upper < lower
    EXPECT_EQ(sameSprings(points, -2.0, -1.0), 0); // negative maxFactor
    EXPECT_EQ(sameSprings(points, -1.0, 0.0), 0);  // d < 0 never holds
    EXPECT_EQ(sameSprings(points, kNaN, 1.0), 0);
    EXPECT_EQ(sameSprings(points, 0.0, kNaN), 0);
}

TEST_F(BandTest, HugeSpreadsAndTinyBandsMatchPlainLoop) {
    // A cluster near the origin with outliers far beyond any grid that could
    // be laid at the band's width.
    std::vector<Point3> points = cubePoints(200, 3.0, 4);
    points.push_back({1e300, -1e300, 5e299});
    points.push_back({1e300, -1e300, 5e299});
    points.push_back({-1e300, 1e300, 0.0});
    points.push_back({1.7e308, 0.0, 0.0}); // max - min overflows on this axis
    points.push_back({-1.7e308, 0.0, 0.0});
    EXPECT_GT(sameSprings(points, 0.0, 0.6), 50);
    // A band so narrow that dx*dx underflows to 0: the computed distance is 0
    // for masses 1e-200 apart, and the grid must still meet them. The far
    // mass makes the grid split the z axis into many cells.
    const std::vector<Point3> tiny = {
        {0, 0, 0}, {1e-200, 0, 0}, {0, 3e-170, 0}, {0, 0, 1e-155}, {0, 0, 1.0}};
    EXPECT_EQ(sameSprings(tiny, -1.0, 1e-300), 3); // 1e-155 squared is no longer 0
}

TEST_F(BandTest, WithoutGridMemoryTheSamePairsComeOut) {
    std::vector<Point3> points = cubePoints(300, 10.0, 21);
    const int oid = objectWith(points);
    std::vector<Found> expected;
    std::vector<Found> got;
    bandAllPairs(obj(oid).masses, obj(oid).nMasses, 0.5, 2.0, collect, &expected);
    simMalloc = [](size_t) -> void* { return nullptr; };
    simBandPairs(obj(oid).masses, obj(oid).nMasses, 0.5, 2.0, collect, &got);
    simMalloc = std::malloc;
    ASSERT_GT(expected.size(), 100u);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(Found)), 0);
}
