#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "import/band.h"
#include "tests/support/band_fixture.h"
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

bool nearOrigin(const SimMass& m) {
    return std::fabs(m.pos[0]) <= SIM_BAND_MAX_COORD && std::fabs(m.pos[1]) <= SIM_BAND_MAX_COORD &&
           std::fabs(m.pos[2]) <= SIM_BAND_MAX_COORD;
}

// Every band pair but those with a mass too far out to be given springs.
void referenceSpring(void* ctx, int32_t i, int32_t j, double d) {
    const int oid = *static_cast<int*>(ctx);
    const SimMass* m = simWorld.objects[oid].masses;
    if (nearOrigin(m[i]) && nearOrigin(m[j])) simAddSpring(oid, i, j, d, 5.0, 1.0, 1);
}

struct Found {
    int32_t i;
    int32_t j;
    double d;
};

void collect(void* ctx, int32_t i, int32_t j, double d) {
    static_cast<std::vector<Found>*>(ctx)->push_back({i, j, d});
}

// What building a band left on a fresh object: its springs, capacity and
// level-3 transcript, and the builder's result.
struct Built {
    std::vector<SimSpring> springs;
    int32_t capacity = 0;
    std::string notices;
    int result = 0;
};

enum class Path { Builder, OneByOne, AllPairs };

class BandTest : public WorldTest {
  protected:
    // Builds the band over the points in a fresh world, on object 1, after
    // `before` springs made one by one (so that growth starts part way into
    // a step).
    static Built build(const std::vector<Point3>& points, double lo, double hi, Path path,
                       int before = 0) {
        simFreeWorld();
        EXPECT_EQ(simInitWorld("Test_World"), 1);
        int oid = objectWith(points);
        for (int s = 0; s < before; ++s)
            simAddSpring(oid, 0, 0, 0.0, 1.0, 1.0, 1);
        Built b;
        verbosity = 3;
        b.notices = captureStdout([&] {
            if (path == Path::Builder) {
                b.result = simAddBandSprings(oid, lo, hi, 5.0, 1.0);
            } else if (path == Path::OneByOne) {
                b.result = bandSpringsOneByOne(oid, lo, hi, 5.0, 1.0);
            } else {
                bandAllPairs(obj(oid).masses, obj(oid).nMasses, lo, hi, referenceSpring, &oid);
            }
        });
        verbosity = 0;
        b.springs.assign(obj(oid).springs, obj(oid).springs + obj(oid).nSprings);
        b.capacity = obj(oid).maxSprings;
        return b;
    }

    // The builder and the plain loop, one simAddSpring per pair, must leave
    // the same records byte for byte, the same capacity and the same level-3
    // notices. Returns the springs the band made; the builder's are kept.
    int sameSprings(const std::vector<Point3>& points, double lo, double hi, int before = 0) {
        built = build(points, lo, hi, Path::Builder, before);
        const Built ref = build(points, lo, hi, Path::AllPairs, before);
        const int made = static_cast<int>(ref.springs.size()) - before;
        EXPECT_EQ(built.result, made);
        EXPECT_EQ(built.capacity, ref.capacity);
        EXPECT_EQ(built.notices, ref.notices);
        EXPECT_EQ(built.springs.size(), ref.springs.size());
        if (built.springs.size() != ref.springs.size()) return -1;
        EXPECT_TRUE(ref.springs.empty() ||
                    std::memcmp(built.springs.data(), ref.springs.data(),
                                ref.springs.size() * sizeof(SimSpring)) == 0);
        return made;
    }

    Built built;
};

} // namespace

TEST_F(BandTest, BuilderGrowsLikeOneSpringAtATime) {
    // Dozens of growth steps, from empty and from part way into a step; the
    // grid's one-by-one path, kept for comparison, agrees too.
    const std::vector<Point3> points = bumpySpherePoints(1200, 24.0, 17);
    const double hi = 8.0 * sphereSpacing(1200, 24.0);
    const int made = sameSprings(points, 0.0, hi);
    EXPECT_GT(made, 20 * SIM_GROW_SPRINGS);
    EXPECT_EQ(std::count(built.notices.begin(), built.notices.end(), '\n'),
              (made + SIM_GROW_SPRINGS - 1) / SIM_GROW_SPRINGS);
    EXPECT_EQ(sameSprings(points, 0.0, hi, 2047), made);
    EXPECT_EQ(sameSprings(points, 0.0, hi, 2048), made);
    const Built oneByOne = build(points, 0.0, hi, Path::OneByOne, 5);
    const Built all = build(points, 0.0, hi, Path::AllPairs, 5);
    EXPECT_EQ(oneByOne.result, made);
    EXPECT_EQ(oneByOne.capacity, all.capacity);
    EXPECT_EQ(oneByOne.notices, all.notices);
    ASSERT_EQ(oneByOne.springs.size(), all.springs.size());
    EXPECT_EQ(std::memcmp(oneByOne.springs.data(), all.springs.data(),
                          all.springs.size() * sizeof(SimSpring)),
              0);
}

TEST_F(BandTest, BuilderThatCannotGrowAddsNothing) {
    // All or nothing: one error, no notice, the object as it was.
    const std::vector<Point3> points = cubePoints(200, 10.0, 23);
    simFreeWorld();
    ASSERT_EQ(simInitWorld("Test_World"), 1);
    const int oid = objectWith(points);
    simAddSpring(oid, 0, 1, 1.0, 1.0, 1.0, 1);
    const SimSpring* before = obj(oid).springs;
    simRealloc = [](void*, size_t) -> void* { return nullptr; };
    verbosity = 3;
    int result = 0;
    const std::string out =
        captureStdout([&] { result = simAddBandSprings(oid, 0.0, 4.0, 5.0, 1.0); });
    EXPECT_EQ(result, -1);
    // 2048 records hold the one spring; the band needs several steps more.
    ASSERT_EQ(out.rfind("  *** ERROR *** simAddSpring(): Failed malloc(", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(obj(oid).nSprings, 1);
    EXPECT_EQ(obj(oid).maxSprings, SIM_GROW_SPRINGS);
    EXPECT_EQ(obj(oid).springs, before);
}

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
    for (const SimSpring& spring : built.springs) {
        ASSERT_GT(spring.rest, 1.0);
        ASSERT_LT(spring.rest, 2.0);
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
    // A pair within the band but beyond SIM_BAND_MAX_COORD gets no spring.
    points.push_back({0.0, 2e12, 0.0});
    points.push_back({0.0, 2e12, 0.25});
    EXPECT_GT(sameSprings(points, 0.0, 0.6), 50);
    for (const SimSpring& s : built.springs)
        ASSERT_LT(std::max(s.a, s.b), 200) << "a spring reached an outlier";
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
