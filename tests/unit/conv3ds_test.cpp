#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "import/conv3ds.h"
#include "import/load3ds.h"
#include "scenegen/writer3ds.h"
#include "tests/support/scratch.h"
#include "world_fixture.h"

namespace {

constexpr int kSprings = SIMF_MKSPRINGS;
constexpr int kPolys = SIMF_MKPOLYS;
constexpr int kConns = SIMF_MKCONNS;

// A scene written and read back, as start-up gets it. get() reads it once:
// call it before capturing a conversion's output, since the reader prints.
struct SceneBuilder {
    std::vector<FxMesh> meshes;
    std::vector<FxMaterial> materials;
    Scene3DS* scene = nullptr;

    ~SceneBuilder() { simFree3DS(scene); }

    // An object of vertices given as x, y, z, ... and faces as a, b, c, ...
    void object(const std::string& name, const std::vector<float>& verts,
                const std::vector<uint16_t>& faces) {
        FxMesh m{name, {}, {}, {}, {}, false, {}};
        for (size_t v = 0; v + 2 < verts.size(); v += 3)
            m.verts.push_back({verts[v], verts[v + 1], verts[v + 2]});
        for (size_t f = 0; f + 2 < faces.size(); f += 3)
            m.faces.push_back({faces[f], faces[f + 1], faces[f + 2], 7});
        meshes.push_back(m);
    }
    void group(const std::string& name, const std::vector<uint16_t>& faces) {
        meshes.back().groups.push_back({name, faces});
    }
    void material(const std::string& name, std::array<float, 3> ambient,
                  std::array<float, 3> diffuse, std::array<float, 3> specular) {
        materials.push_back({name, ambient, diffuse, specular, false, ""});
    }
    Scene3DS* get() {
        if (scene) return scene;
        const FxBytes bytes = fx3dsScene(meshes, materials);
        const std::string path = fxWriteScratch("conv3ds_test", bytes.data(), bytes.size());
        captureStdout([&] { scene = simLoad3DS(path.c_str()); });
        EXPECT_NE(scene, nullptr);
        return scene;
    }
};

// Two triangles sharing the edge 1-2, and a vertex (4) that no face uses.
const std::vector<float> kQuadVerts = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 5, 5, 5};
const std::vector<uint16_t> kQuadFaces = {0, 1, 2, 2, 1, 3};

// Converts object 0 of the scene with the given flags and band.
int convert(Scene3DS* scene, int flags, double minFactor = 0.0, double maxFactor = 0.0,
            int index = 0, int oid = -1) {
    return simConv3DSobj(oid, scene, index, 0.0, 0.0, 0.0, 1.0, 5.0, 1.0, minFactor, maxFactor,
                         flags, 1);
}

using Springs = std::vector<std::array<double, 3>>;
using Triangles = std::vector<std::array<int32_t, 3>>;

// Each spring as its ends and rest length.
Springs springsOf(const SimObject& o) {
    Springs got;
    for (int32_t s = 0; s < o.nSprings; ++s)
        got.push_back({double(o.springs[s].a), double(o.springs[s].b), o.springs[s].rest});
    return got;
}

Triangles trianglesOf(const SimObject& o) {
    Triangles got;
    for (int32_t p = 0; p < o.nPolys; ++p)
        got.push_back({o.polys[p].v0, o.polys[p].v1, o.polys[p].v2});
    return got;
}

} // namespace

class Conv3DSTest : public WorldTest {
  protected:
    void TearDown() override {
        simConvHasExtension = savedHasExtension;
        WorldTest::TearDown();
    }
    int (*const savedHasExtension)(const char*) = simConvHasExtension;
    SceneBuilder b; // the test's scene
};

TEST_F(Conv3DSTest, MassesSpringsTrianglesAndRunsFollowTheFaces) {
    b.object("Quad", kQuadVerts, kQuadFaces);
    // An existing object is filled only when empty, its flags its own; level 1
    // names the object only (level 2 is start-up's transcript, ZibbetE2e's).
    const int empty = simAddObject("Mine", SIMF_FLOOR);
    Scene3DS* scene = b.get();
    verbosity = 1;
    EXPECT_EQ(captureStdout(
                  [&] { EXPECT_EQ(convert(scene, kPolys | kSprings, 0, 1.2, 0, empty), empty); }),
              "  simConv3DSobj(): Converting object \"Quad\"\n");
    verbosity = 0;
    EXPECT_EQ(std::tie(obj(empty).flags, obj(empty).nMasses, obj(empty).nPolys),
              std::tuple(SIMF_FLOOR, 5, 2));
    const int objects = simWorld.nObjects;
    const struct {
        Scene3DS* scene;
        int index, oid;
        const char* says;
    } refused[] = {{b.get(), 0, empty, "Object 1 already holds masses or triangles"},
                   {b.get(), 0, 77, "Invalid object id (oid=77)"},
                   {b.get(), 1, -1, "No 3DSobject 1 in the scene"},
                   {nullptr, 0, -1, "No 3DSobject 0 in the scene"}};
    for (const auto& r : refused)
        EXPECT_EQ(captureStdout([&] { EXPECT_EQ(convert(r.scene, 0, 0, 0, r.index, r.oid), -1); }),
                  std::string("  ***ERROR*** simConv3DSobj(): ") + r.says + "\n");
    EXPECT_EQ(obj(empty).nMasses, 5);
    EXPECT_EQ(simWorld.nObjects, objects);
    const int flags = SIMF_BCUBE | SIMF_GOURAUD;
    const int oid =
        simConv3DSobj(-1, b.get(), 0, 10.0, -20.0, 0.5, 2.4, 5.0, 1.0, 0.0, 0.0, flags, 3);
    ASSERT_GE(oid, 1);
    const SimObject& o = obj(oid);
    EXPECT_STREQ(o.name, "Quad");
    EXPECT_EQ(o.flags, flags | SIMF_ACTIVE);
    ASSERT_EQ(o.nMasses, 5);
    const double offset[3] = {10.0, -20.0, 0.5};
    for (int v = 0; v < 4; ++v) {
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(o.masses[v].pos[c],
                      offset[c] + 2.4 * static_cast<double>(kQuadVerts[3 * v + c]));
        EXPECT_EQ(o.masses[v].flags, flags | SIMF_ACTIVE);
        EXPECT_EQ(o.masses[v].forceMask, 3);
    }
    // The unused vertex keeps the simAddMass defaults, at the origin.
    const SimMass& unused = o.masses[4];
    EXPECT_EQ(std::tie(unused.pos[0], unused.pos[2], unused.flags, unused.forceMask),
              std::tuple(0.0, 0.0, SIMF_ACTIVE, -1));
    EXPECT_EQ(std::tie(o.nSprings, o.nPolys, o.connLen), std::tuple(0, 0, 0));

    // Edge springs: one per face edge, a shared edge twice.
    const SimObject& e =
        obj(simConv3DSobj(-1, b.get(), 0, 0.0, 0.0, 0.0, 3.0, 7.5, 0.25, 0.0, 0.0, kSprings, 1));
    const double diagonal = std::sqrt(18.0);
    EXPECT_EQ(
        springsOf(e),
        (Springs{{0, 1, 3}, {1, 2, diagonal}, {2, 0, 3}, {2, 1, diagonal}, {1, 3, 3}, {3, 2, 3}}));
    for (int s = 0; s < e.nSprings; ++s)
        EXPECT_EQ(std::tie(e.springs[s].k, e.springs[s].damping, e.springs[s].kind),
                  std::tuple(7.5, 0.25, 1));
    const int tri = kPolys | kConns | SIMF_CULL;
    const SimObject& plain = obj(convert(b.get(), tri));
    EXPECT_EQ(trianglesOf(plain), (Triangles{{0, 1, 2}, {2, 1, 3}}));
    EXPECT_EQ(std::tie(plain.polys[1].flags, plain.polys[1].material),
              std::tuple(tri | SIMF_ACTIVE, 0));
    const SimObject& rev = obj(convert(b.get(), tri | SIMF_REVERSE));
    EXPECT_EQ(trianglesOf(rev), (Triangles{{2, 1, 0}, {3, 1, 2}}));
    // The runs keep the face order a, b, c.
    const std::vector<int32_t> runs = {
        0, 1, 2, SIM_CONN_END_RUN, 2, 1, 3, SIM_CONN_END_RUN, SIM_CONN_END_LIST};
    EXPECT_EQ(std::vector<int32_t>(rev.conns, rev.conns + rev.connLen), runs);
}

TEST_F(Conv3DSTest, BandSpringsLieStrictlyInsideTheBandAndFacelessMassesStayAtTheOrigin) {
    // On a line at 0, 1, 2, 1.5 (scale 1): with the band (1, 2) in world units
    // only 0-3 at 1.5 qualifies; 0-1 and 1-2 sit on the lower bound, 0-2 on
    // the upper. The unused vertex 4 sits at the origin and pairs with 3 too.
    b.object("Line", {0, 0, 0, 1, 0, 0, 2, 0, 0, 1.5f, 0, 0, 9, 9, 9}, {0, 1, 2, 1, 2, 3});
    b.object("Cloud", {1, 2, 3, 4, 5, 6, 7, 8, 9}, {});
    const double lo = 1.0 / 8.0; // times worldScale: 1.0
    const double hi = 2.0 / 8.0; // 2.0
    const int oid = convert(b.get(), kSprings, lo, hi);
    EXPECT_EQ(springsOf(obj(oid)), (Springs{{0, 3, 1.5}, {3, 4, 1.5}}));
    EXPECT_EQ(obj(oid).springs[1].kind, 1);
    // A negative upper factor still selects the band, which is empty.
    EXPECT_EQ(obj(convert(b.get(), kSprings, -1.0, -0.5)).nSprings, 0);
    // Without SIMF_MKSPRINGS no band is searched.
    EXPECT_EQ(obj(convert(b.get(), 0, lo, hi)).nSprings, 0);
    // Without faces every mass stays at the origin, with the defaults: all
    // distances are 0, not above the lower bound, unless that is negative.
    const SimObject& cloud = obj(convert(b.get(), kSprings | kPolys | kConns, 0.0, 1.2, 1));
    EXPECT_EQ(std::tie(cloud.nMasses, cloud.nSprings, cloud.nPolys, cloud.connLen),
              std::tuple(3, 0, 0, 0));
    EXPECT_EQ(obj(convert(b.get(), kSprings, -0.1, 1.2, 1)).nSprings, 3);
}

// Every group whose material the scene has gets a world material of its
// own, set on the triangles its face numbers name; later groups win.
TEST_F(Conv3DSTest, GroupsGetMaterialsOfTheirOwnAndSaySoWhenTheyCannot) {
    b.material("Rock", {0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}, {0.7f, 0.8f, 0.9f});
    b.material("Rock2", {1, 1, 1}, {1, 1, 1}, {1, 1, 1});
    b.material("ABCDEFGHIJKLMNO", {0.5f, 0, 0}, {0, 0.5f, 0}, {0, 0, 0.5f});
    b.object("Quad", kQuadVerts, kQuadFaces);
    b.group("Rock", {1});
    b.group("ABCDEFGHIJKLMNOP", {0});         // cut to 15 in its field
    b.group("Rock", {0, 1});                  // same scene material: a second world material
    b.group("Rock1", {0, 1});                 // "Rock" is not "Rock1"
    b.group("Rock2", {2, 1, 0x8000, 0xFFFF}); // only 1 names a triangle
    Scene3DS* scene = b.get();
    const int before = simWorld.nMaterials;
    int oid = -1;
    const std::string missing =
        "  ***WARNING*** simConv3DSobj(): Couldnt find material \"Rock1\" for 3DSobject 0\n";
    EXPECT_EQ(captureStdout([&] { oid = convert(scene, kPolys); }),
              missing + "  ***WARNING*** simConv3DSobj(): Skipped 3 face number(s) out of range "
                        "in material 4 of 3DSobject 0\n");
    ASSERT_EQ(simWorld.nMaterials, before + 4);
    const SimMaterial& rock = simWorld.materials[before];
    EXPECT_EQ(std::tie(rock.ambient[1], rock.diffuse[2], rock.specular[0], rock.shininess, rock.tag,
                       rock.emission[0]),
              std::tuple(0.2f, 0.6f, 0.7f, 128.0f, 1, 0.0f));
    EXPECT_EQ(simWorld.materials[before + 1].diffuse[1], 0.5f);
    EXPECT_EQ(simWorld.materials[before + 2].ambient[2], 0.3f);
    ASSERT_EQ(obj(oid).nPolys, 2);
    EXPECT_EQ(std::tie(obj(oid).polys[0].material, obj(oid).polys[1].material),
              std::tuple(before + 2, before + 3));
    // Without triangles there is nothing to set and no face number to report.
    EXPECT_EQ(captureStdout([&] { oid = convert(scene, 0); }), missing);
    EXPECT_EQ(std::tie(obj(oid).nPolys, obj(oid).polys), std::tuple(0, nullptr));
    // With one place left in the table the first group takes it; the groups
    // after it leave their triangles as they were.
    while (simWorld.nMaterials < SIM_MAX_MATERIALS - 1)
        simAddMat(nullptr, nullptr, nullptr, nullptr, 1.0f, 0);
    const std::string full =
        "  ***ERROR*** simConv3DSobj(): simAddMaterial() failed for 3DSobject 0\n";
    EXPECT_EQ(captureStdout([&] { oid = convert(scene, kPolys); }), full + full + missing + full);
    EXPECT_EQ(std::tie(obj(oid).polys[0].material, obj(oid).polys[1].material),
              std::tuple(0, SIM_MAX_MATERIALS - 1));
}

TEST_F(Conv3DSTest, VertexAndFaceNumbersPast32767AreUnsigned) {
    // Vertex 39,999 of 40,000 and triangle 65,534 of 65,535: numbers that a
    // signed 16-bit reading, by the reader or the conversion, would turn
    // negative.
    constexpr int kVerts = 40000;
    constexpr int kFaces = 65535;
    std::vector<float> verts(3 * kVerts, 0.0f);
    verts[3 * 39999] = 1.5f;
    verts[3 * 32768 + 1] = -2.0f;
    std::vector<uint16_t> faces;
    for (int f = 0; f + 1 < kFaces; ++f)
        faces.insert(faces.end(), {0, 1, 2});
    faces.insert(faces.end(), {39999, 32768, 1});
    b.material("Rock", {1, 1, 1}, {1, 1, 1}, {1, 1, 1});
    b.object("Big", verts, faces);
    b.group("Rock", {65534});
    Scene3DS* scene = b.get();
    const int mat = simWorld.nMaterials;
    int oid = -1;
    EXPECT_EQ(captureStdout([&] { oid = convert(scene, kPolys); }), "");
    ASSERT_NE(oid, -1);
    const SimObject& o = obj(oid);
    ASSERT_EQ(o.nMasses, kVerts);
    ASSERT_EQ(o.nPolys, kFaces);
    const SimPoly& last = o.polys[kFaces - 1];
    EXPECT_EQ(std::tie(last.v0, last.v1, last.material, o.polys[kFaces - 2].material),
              std::tuple(39999, 32768, mat, 0));
    EXPECT_EQ(std::tie(o.masses[39999].pos[0], o.masses[32768].pos[1], o.masses[39999].forceMask),
              std::tuple(1.5, -2.0, 1));
}

TEST_F(Conv3DSTest, EnvMapIsDroppedOnlyWhenTheDriverLacksCubeMaps) {
    b.object("Quad", kQuadVerts, kQuadFaces);
    const int flags = SIMF_ENVMAP | kPolys | SIMF_GOURAUD;
    Scene3DS* scene = b.get();
    const struct {
        int (*hasExtension)(const char*);
        const char* printed;
        int32_t kept;
    } cases[] = {
        {savedHasExtension, "*** WARNING *** Couldn't check OpenGL extensions.\n", flags},
        {[](const char* name) { return std::strcmp(name, "GL_ARB_texture_cube_map") == 0 ? 0 : 1; },
         "*** WARNING *** Cube environment mapping is not supported and has been disabled.\n",
         flags & ~SIMF_ENVMAP},
        {[](const char* name) { return std::strcmp(name, "GL_ARB_texture_cube_map") == 0 ? 1 : 0; },
         "", flags},
    };
    for (const auto& c : cases) {
        simConvHasExtension = c.hasExtension;
        int oid = -1;
        EXPECT_EQ(captureStdout([&] { oid = convert(scene, flags); }), c.printed);
        const int32_t kept = c.kept | SIMF_ACTIVE;
        EXPECT_EQ(std::tie(obj(oid).flags, obj(oid).masses[3].flags, obj(oid).polys[1].flags),
                  std::tie(kept, kept, kept));
    }
}
