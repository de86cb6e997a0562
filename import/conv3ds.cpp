// Conversion of a 3DS mesh object into a soft body: masses at the scaled
// vertices, springs, connection runs, triangles and the group materials. Vertex
// number v becomes mass v and face number f triangle f, so the object must
// start without masses and triangles.
#include "import/conv3ds.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "import/band.h"
#include "sim/world.h"

namespace {
// A program without a renderer has no extension list to read.
int noExtensionList(const char*) {
    return -1;
}
} // namespace

int (*simConvHasExtension)(const char* name) = noExtensionList;

namespace {

constexpr float kMatShininess = 128.0f;
constexpr int32_t kMatTag = 1;
constexpr int32_t kSpringKind = 1;
constexpr int32_t kFirstMaterial = 0; // every triangle starts with "default"

// Where a face puts its masses (offset + scale * vertex) and what it gives them.
struct Placement {
    double offset[3];
    double scale;
    int32_t flags;
    int32_t forceMask;
};

void placeMass(SimMass& mass, const float* vert, const Placement& at) {
    for (int c = 0; c < 3; ++c)
        mass.pos[c] = at.offset[c] + at.scale * static_cast<double>(vert[c]);
    mass.flags = at.flags;
    mass.forceMask = at.forceMask;
}

double massDistance(const SimObject& obj, int32_t a, int32_t b) {
    const double dx = obj.masses[a].pos[0] - obj.masses[b].pos[0];
    const double dy = obj.masses[a].pos[1] - obj.masses[b].pos[1];
    const double dz = obj.masses[a].pos[2] - obj.masses[b].pos[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The extension check: without cube-map support the object must not ask for
// environment mapping. Without a context nothing can be known; the bit stays.
int32_t checkEnvMap(int32_t flags) {
    if (!(flags & SIMF_ENVMAP)) return flags;
    const int has = simConvHasExtension("GL_ARB_texture_cube_map");
    if (has == -1) {
        std::printf("*** WARNING *** Couldn't check OpenGL extensions.\n");
    } else if (has == 0) {
        std::printf("*** WARNING *** Cube environment mapping is not supported and has been "
                    "disabled.\n");
        flags &= ~SIMF_ENVMAP;
    }
    return flags;
}

// Face f's three corners, a, b, c: unsigned 16-bit vertex numbers. Returns
// false, after the message, at the first number that names no mass; the
// corners before it are placed already.
bool placeCorners(const Obj3DS& src, int f, int oid, int index, const Placement& at,
                  int32_t corner[3]) {
    SimObject& obj = simWorld.objects[oid];
    for (int c = 0; c < 3; ++c) {
        const int32_t v = src.faces[f][c];
        if (v >= obj.nMasses || v >= src.nVerts) {
            std::printf("  ***ERROR*** simConv3DSobj(): Vertex number (%d) out of range in "
                        "3DSobject %d\n",
                        v, index);
            return false;
        }
        placeMass(obj.masses[v], src.verts[v], at);
        corner[c] = v;
    }
    return true;
}

// A world material for every face-material group, set on the group's
// triangles. A group whose material cannot be made leaves its triangles as
// they were: -1 names no material.
void convertGroups(const Obj3DS& src, const Scene3DS& scene, int oid, int index, bool madePolys) {
    for (int g = 0; g < src.nMatGroups; ++g) {
        const MatGroup3DS& group = src.matGroups[g];
        if (verbosity > 1)
            std::printf("  simConv3DSobj(): Converting material %d (\"%.*s\")\n", g,
                        SIM3DS_NAME_LEN, group.name);
        const Mat3DS* found = nullptr;
        for (int i = 0; i < scene.nMaterials && !found; ++i) {
            if (std::strncmp(scene.materials[i].name, group.name, SIM3DS_NAME_LEN) == 0)
                found = &scene.materials[i];
        }
        if (!found) {
            std::printf("  ***WARNING*** simConv3DSobj(): Couldnt find material \"%.*s\" for "
                        "3DSobject %d\n",
                        SIM3DS_NAME_LEN, group.name, index);
            continue;
        }
        const int mat = simAddMat(found->ambient, found->diffuse, found->specular, nullptr,
                                  kMatShininess, kMatTag);
        if (mat == -1) {
            std::printf("  ***ERROR*** simConv3DSobj(): simAddMaterial() failed for 3DSobject "
                        "%d\n",
                        index);
            continue;
        }
        // Face numbers are unsigned 16-bit; one that names no triangle is
        // skipped. Without triangles asked for there is nothing to report.
        SimObject& obj = simWorld.objects[oid];
        int skipped = 0;
        for (int i = 0; i < group.nFaces; ++i) {
            const int32_t f = group.faces[i];
            if (f >= obj.nPolys) {
                ++skipped;
                continue;
            }
            obj.polys[f].material = mat;
        }
        if (skipped > 0 && madePolys)
            std::printf("  ***WARNING*** simConv3DSobj(): Skipped %d face number(s) out of range "
                        "in material %d of 3DSobject %d\n",
                        skipped, g, index);
    }
}

} // namespace

int simConv3DSobj(int oid, const Scene3DS* scene, int index, double offsetX, double offsetY,
                  double offsetZ, double scale, double k, double damping, double minFactor,
                  double maxFactor, int flags, int forceMask) {
    if (!scene || index < 0 || index >= scene->nObjects || !scene->objects) {
        std::printf("  ***ERROR*** simConv3DSobj(): No 3DSobject %d in the scene\n", index);
        return -1;
    }
    if (oid != -1) {
        if (!simValidOid(oid)) {
            std::printf("  ***ERROR*** simConv3DSobj(): Invalid object id (oid=%d)\n", oid);
            return -1;
        }
        if (simWorld.objects[oid].nMasses != 0 || simWorld.objects[oid].nPolys != 0) {
            std::printf("  ***ERROR*** simConv3DSobj(): Object %d already holds masses or "
                        "triangles\n",
                        oid);
            return -1;
        }
    }
    const Obj3DS& src = scene->objects[index];
    // The 3DS name is 16 bytes; never read past them.
    char name[SIM3DS_NAME_LEN + 1];
    std::snprintf(name, sizeof name, "%.*s", SIM3DS_NAME_LEN, src.name);

    flags = checkEnvMap(flags);
    const int32_t working = flags | SIMF_ACTIVE;
    if (verbosity != 0) std::printf("  simConv3DSobj(): Converting object \"%s\"\n", name);
    if (oid == -1) {
        oid = simAddObject(name, working);
        if (oid == -1) return -1;
    }
    if (verbosity > 1)
        std::printf("  simConv3DSobj(): %d faces, %d verts, %d mats\n", src.nFaces, src.nVerts,
                    src.nMatGroups);

    for (int v = 0; v < src.nVerts; ++v) {
        if (simAddMass(oid, nullptr) == -1) return -1;
    }

    const Placement at{{offsetX, offsetY, offsetZ}, scale, working, forceMask};
    const bool edgeSprings = (flags & SIMF_MKSPRINGS) && maxFactor == 0.0;
    for (int f = 0; f < src.nFaces; ++f) {
        int32_t v[3];
        if (!placeCorners(src, f, oid, index, at, v)) return -1;
        if (edgeSprings) {
            // No check for edges already made: a shared edge gets two springs.
            const int32_t ends[3][2] = {{v[0], v[1]}, {v[1], v[2]}, {v[2], v[0]}};
            for (const auto& e : ends)
                simAddSpring(oid, e[0], e[1], massDistance(simWorld.objects[oid], e[0], e[1]), k,
                             damping, kSpringKind);
        }
        if (flags & SIMF_MKCONNS) simAddConn(oid, v, 3);
        if (flags & SIMF_MKPOLYS) {
            if (flags & SIMF_REVERSE)
                simAddPoly(oid, v[2], v[1], v[0], nullptr, nullptr, nullptr, working, nullptr,
                           kFirstMaterial);
            else
                simAddPoly(oid, v[0], v[1], v[2], nullptr, nullptr, nullptr, working, nullptr,
                           kFirstMaterial);
        }
    }

    if ((flags & SIMF_MKSPRINGS) && maxFactor != 0.0) {
        // The band is measured in world units, whatever the object's scale.
        const double ws = static_cast<double>(worldScale);
        simAddBandSprings(oid, ws * minFactor, ws * maxFactor, k, damping);
        if (verbosity > 1)
            std::printf("  simConv3DSobj(): Generated %d complete springs for obj%d\n",
                        simWorld.objects[oid].nSprings, oid);
    }

    convertGroups(src, *scene, oid, index, (flags & SIMF_MKPOLYS) != 0);
    return oid;
}
