// World initialisation and the construction operations. Each operation checks
// its own limits and arguments, prints its own message and returns a failure
// value; callers only test the result.
#include "sim/world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

SimWorld simWorld;
int32_t verbosity = 0;
const float worldScale = 8.0f;
void* (*simMalloc)(size_t size) = std::malloc;
void* (*simRealloc)(void* block, size_t size) = std::realloc;

namespace {

// Never reset, not even by simFreeWorld: a stamp is never given out twice in
// one process, so derived data cannot outlive the world it was made from.
uint64_t lastStamp = 0;

// Copies at most SIM_NAME_LEN - 1 characters and always terminates.
void copyName(char* dst, const char* src, const char* fallback) {
    std::snprintf(dst, SIM_NAME_LEN, "%s", src ? src : fallback);
}

// Grows one of an object's arrays to newCap records, keeping the old ones. On
// failure the array is left as it was. realloc moves large blocks by remapping
// pages, so building an object of a million springs in steps of 2048 stays
// linear rather than copying the whole array at every step.
template <typename T> bool growArray(T*& array, int32_t newCap) {
    void* block = simRealloc(array, static_cast<size_t>(newCap) * sizeof(T));
    if (!block) return false;
    array = static_cast<T*>(block);
    return true;
}

// Counts and capacities are int32: no array holds more records than that.
constexpr int64_t kMaxRecords = INT32_MAX;

SimAllocFailure allocFailure;

// Linux grants blocks it cannot back and kills the process when they are
// first written, so a large block is weighed against the room the process
// has left before it is had. Reading the limits opens several files (tens of
// microseconds), too slow for every 80 kB growth step of a body of millions
// of springs. So a block that adds this much or more at once is checked for
// all it adds, and an array grown step by step is checked each time it
// passes a multiple of this size: when the room found then holds the step
// and this much beyond it, the steps up to the next mark are covered; when
// it holds less, every step is checked until a check finds that much again.
// Smaller arrays are left to the allocator; what they leave uncovered is
// small.
constexpr int64_t kRoomCheckBytes = int64_t{64} << 20;

// True while the last check found less than kRoomCheckBytes beyond its step.
bool roomIsShort = false;

// A block of an object's array, named in the record of a failure as
// "op(): what of objN, block of size bytes".
struct ArrayBlock {
    const char* op;
    const char* what;
    int oid;
    int64_t oldBytes;
    int64_t newBytes;
};

void describe(const ArrayBlock& b, char (&out)[sizeof allocFailure.what]) {
    std::snprintf(out, sizeof out, "%s(): %s of obj%d, block of %lld bytes", b.op, b.what, b.oid,
                  static_cast<long long>(b.newBytes));
}

// The room check for an array block going from oldBytes to newBytes.
bool roomToGrow(const ArrayBlock& b) {
    const int64_t adds = b.newBytes - b.oldBytes;
    const bool passesMark = b.oldBytes / kRoomCheckBytes != b.newBytes / kRoomCheckBytes;
    if (adds < kRoomCheckBytes && !passesMark && !roomIsShort) return true;
    const PlatMemoryRoom room = platMemoryRoom();
    roomIsShort = room.bytes - adds < kRoomCheckBytes;
    if (adds <= room.bytes) return true;
    char name[sizeof allocFailure.what];
    describe(b, name);
    simNoteAllocFailure(name, adds, room.bytes, room.limit);
    return false;
}

// The allocator said no (or the count would not fit): noted with what the
// process had then, unless the room check has already noted it.
void noteRefusal(const char* name, int64_t adds, const char* reason) {
    if (allocFailure.failed) return;
    const PlatMemoryRoom room = platMemoryRoom();
    const int64_t available = room.bytes == INT64_MAX ? -1 : room.bytes;
    if (!reason) reason = room.bytes < adds ? room.limit : "the allocator refused it";
    simNoteAllocFailure(name, adds, available, reason);
}

void noteRefusal(const ArrayBlock& b, const char* reason) {
    if (allocFailure.failed) return;
    char name[sizeof allocFailure.what];
    describe(b, name);
    noteRefusal(name, b.newBytes - b.oldBytes, reason);
}

constexpr const char* kTooManyRecords = "more records than an array can count";

// Sizes in the notices and errors are stated in full, also past an int: a
// body of 60 million springs takes 2.4 GB.
void growthNotice(const char* op, int64_t size, const char* what, int oid) {
    if (verbosity > 2)
        std::printf("  %s(): Expanding size of %s structure for obj%d to %lld\n", op, what, oid,
                    static_cast<long long>(size));
}

void growthFailed(const char* op, int64_t size, const char* what, int oid) {
    std::printf("  *** ERROR *** %s(): Failed malloc(%lld) for %s (oid=%d).\n", op,
                static_cast<long long>(size), what, oid);
}

// Makes room for one more record in a full array of masses, springs or
// triangles by one growth step, with the operation's notice and error.
template <typename T>
bool makeRoom(int oid, T*& array, int32_t count, int32_t& cap, int32_t step, const char* op,
              const char* what) {
    if (cap - count > 0) return true;
    const int64_t newCap = static_cast<int64_t>(cap) + step;
    const int64_t size = newCap * static_cast<int64_t>(sizeof(T));
    const ArrayBlock block{op, what, oid,
                           static_cast<int64_t>(cap) * static_cast<int64_t>(sizeof(T)), size};
    if (newCap > kMaxRecords) {
        noteRefusal(block, kTooManyRecords);
        growthFailed(op, size, what, oid);
        return false;
    }
    growthNotice(op, size, what, oid);
    if (!roomToGrow(block) || !growArray(array, static_cast<int32_t>(newCap))) {
        noteRefusal(block, nullptr);
        growthFailed(op, size, what, oid);
        return false;
    }
    cap = static_cast<int32_t>(newCap);
    return true;
}

bool validMass(const SimObject& obj, int32_t m) {
    return m >= 0 && m < obj.nMasses;
}

void badOid(const char* op, int oid) {
    std::printf("  *** ERROR *** %s(): Invalid object id (oid=%d).\n", op, oid);
}

} // namespace

bool simValidOid(int oid) {
    return oid >= 0 && oid < simWorld.nObjects && oid < SIM_MAX_OBJECTS &&
           simWorld.objects[oid].id == oid;
}

void simTouchObject(int oid) {
    if (simValidOid(oid)) simWorld.objects[oid].stamp = ++lastStamp;
}

const SimAllocFailure& simAllocFailure() {
    return allocFailure;
}

void simNoteAllocFailure(const char* what, int64_t needed, int64_t available, const char* limit) {
    if (allocFailure.failed) return;
    allocFailure.failed = true;
    std::snprintf(allocFailure.what, sizeof allocFailure.what, "%s", what ? what : "");
    allocFailure.needed = needed;
    allocFailure.available = available;
    std::snprintf(allocFailure.limit, sizeof allocFailure.limit, "%s", limit ? limit : "");
}

int simInitWorld(const char* name) {
    allocFailure = SimAllocFailure{};
    roomIsShort = false;
    for (SimObject& obj : simWorld.objects)
        obj.id = -1;
    if (name) {
        std::snprintf(simWorld.name, SIM_NAME_LEN, "%s", name);
    } else {
        std::snprintf(simWorld.name, SIM_NAME_LEN, "%s", "Unknown_World");
    }
    if (verbosity > 1) std::printf("  simInitWorld(): World name =\"%s\"\n", simWorld.name);
    simWorld.nObjects = 0;
    simWorld.forceBits = 0;

    int oid = simAddObject("Forces", SIMF_FORCES);
    if (oid == -1) return 0;
    simWorld.forcesOid = oid;
    simWorld.bcubeOid = -1;

    const float ambient[3] = {0.3f, 0.3f, 0.3f};
    const float diffuse[3] = {1.0f, 1.0f, 1.0f};
    const float specular[3] = {0.2f, 0.0f, 0.0f};
    const float emission[3] = {0.0f, 0.0f, 0.0f};
    int mat = simAddMat(ambient, diffuse, specular, emission, 128.0f, 1);
    if (mat >= 0) std::snprintf(simWorld.materials[mat].name, SIM_MAT_NAME_LEN, "default");
    return 1;
}

int simAddObject(const char* name, int32_t flags) {
    int oid = 0;
    while (oid < SIM_MAX_OBJECTS && simWorld.objects[oid].id != -1)
        ++oid;
    if (oid == SIM_MAX_OBJECTS) {
        std::printf("  *** ERROR *** simAddObject(): MAX NUMBER OF OBJECTS (%d) REACHED.\n",
                    SIM_MAX_OBJECTS);
        return -1;
    }
    SimObject& obj = simWorld.objects[oid];
    copyName(obj.name, name, "NoName");
    if (verbosity > 1)
        std::printf("  simAddObject(): Object id=%d  name=\"%s\"  flags=$%x\n", oid, obj.name,
                    static_cast<unsigned>(flags));
    obj.flags = flags;
    obj.id = oid;
    obj.nMasses = obj.nSprings = obj.connLen = obj.nPolys = 0;
    obj.maxMasses = obj.maxSprings = obj.maxConns = obj.maxPolys = 0;
    obj.masses = nullptr;
    obj.springs = nullptr;
    obj.conns = nullptr;
    obj.polys = nullptr;
    obj.stamp = ++lastStamp;

    if (flags & SIMF_FORCES) {
        if (verbosity > 1)
            std::printf("  simAddObject(): >>> Setting system forces object (oid=%d) <<<\n", oid);
        // Make sure the memory for the point-field centres is there; the mass
        // array itself grows through simAddMass like every other.
        void* probe = simMalloc(SIM_FORCES_BLOCK * sizeof(SimMass));
        if (!probe) {
            noteRefusal("simAddObject(): system forces masses",
                        SIM_FORCES_BLOCK * static_cast<int64_t>(sizeof(SimMass)), nullptr);
            std::printf(
                "  *** ERROR *** simAddObject(): Failed malloc for system forces masses.\n");
            return -1;
        }
        std::free(probe);
        simWorld.forcesOid = oid;
    }
    ++simWorld.nObjects;
    return oid;
}

int simAddMass(int oid, SimMass** out) {
    if (!simValidOid(oid)) {
        badOid("simAddMass", oid);
        return -1;
    }
    SimObject& obj = simWorld.objects[oid];
    if (!makeRoom(oid, obj.masses, obj.nMasses, obj.maxMasses, SIM_GROW_MASSES, "simAddMass",
                  "masses"))
        return -1;
    int index = obj.nMasses++;
    obj.stamp = ++lastStamp;
    SimMass& m = obj.masses[index];
    if (out) *out = &m;
    m = SimMass{};
    m.mass = 1.0;
    m.range = 0.1;
    m.flags = SIMF_ACTIVE;
    m.forceMask = -1;
    return index;
}

int simAddSpring(int oid, int32_t a, int32_t b, double rest, double k, double damping,
                 int32_t kind) {
    if (!simValidOid(oid)) {
        badOid("simAddSpring", oid);
        return -1;
    }
    SimObject& obj = simWorld.objects[oid];
    if (!validMass(obj, a) || !validMass(obj, b)) {
        std::printf(
            "  *** ERROR *** simAddSpring(): Mass index out of range (a=%d b=%d, oid=%d).\n", a, b,
            oid);
        return -1;
    }
    if (!makeRoom(oid, obj.springs, obj.nSprings, obj.maxSprings, SIM_GROW_SPRINGS, "simAddSpring",
                  "springs"))
        return -1;
    int index = obj.nSprings++;
    obj.stamp = ++lastStamp;
    SimSpring& s = obj.springs[index];
    s.k = k;
    s.damping = damping;
    s.rest = rest;
    s.a = a;
    s.b = b;
    s.index = index;
    s.kind = kind;
    return index;
}

SimSpring* simReserveSprings(int oid, int64_t count) {
    if (!simValidOid(oid)) {
        badOid("simAddSpring", oid);
        return nullptr;
    }
    SimObject& obj = simWorld.objects[oid];
    if (count < 1) return nullptr;
    // The capacity that count simAddSpring calls would leave: whole steps.
    const int64_t need = static_cast<int64_t>(obj.nSprings) + count;
    int64_t newCap = obj.maxSprings;
    if (need > newCap)
        newCap += (need - newCap + SIM_GROW_SPRINGS - 1) / SIM_GROW_SPRINGS * SIM_GROW_SPRINGS;
    const int64_t newBytes = newCap * static_cast<int64_t>(sizeof(SimSpring));
    const ArrayBlock block{
        "simAddSpring", "springs", oid,
        static_cast<int64_t>(obj.maxSprings) * static_cast<int64_t>(sizeof(SimSpring)), newBytes};
    if (newCap > kMaxRecords) {
        noteRefusal(block, kTooManyRecords);
        growthFailed("simAddSpring", newBytes, "springs", oid);
        return nullptr;
    }
    if (newCap > obj.maxSprings) {
        // Checked before the block is had: past the limit, the first write
        // to it would end the process instead of this error.
        void* grown =
            roomToGrow(block) ? simRealloc(obj.springs, static_cast<size_t>(newBytes)) : nullptr;
        if (!grown) {
            noteRefusal(block, nullptr);
            growthFailed("simAddSpring", newBytes, "springs", oid);
            return nullptr;
        }
        obj.springs = static_cast<SimSpring*>(grown);
        // One notice per growth step, as one spring at a time would print.
        if (verbosity > 2) {
            for (int64_t cap = obj.maxSprings + SIM_GROW_SPRINGS; cap <= newCap;
                 cap += SIM_GROW_SPRINGS)
                growthNotice("simAddSpring", cap * static_cast<int64_t>(sizeof(SimSpring)),
                             "springs", oid);
        }
        obj.maxSprings = static_cast<int32_t>(newCap);
    }
    return obj.springs + obj.nSprings;
}

void simCommitSprings(int oid, int32_t count) {
    if (!simValidOid(oid) || count < 1) return;
    SimObject& obj = simWorld.objects[oid];
    if (count > obj.maxSprings - obj.nSprings) return;
    obj.nSprings += count;
    simTouchObject(oid);
}

int simAddConn(int oid, const int32_t* run, int32_t count) {
    if (count < 1 || !run) {
        std::printf("  *** ERROR *** simAddConn(): Invalid array size (oid=%d).\n", oid);
        return -1;
    }
    if (!simValidOid(oid)) {
        badOid("simAddConn", oid);
        return -1;
    }
    SimObject& obj = simWorld.objects[oid];
    for (int32_t i = 0; i < count; ++i) {
        if (!validMass(obj, run[i])) {
            std::printf("  *** ERROR *** simAddConn(): Mass index out of range (%d, oid=%d).\n",
                        run[i], oid);
            return -1;
        }
    }
    // A run needs count + 1 entries beyond the list's current end; grow by as
    // many steps as it takes, so that a long run never writes past the block.
    int64_t need = static_cast<int64_t>(count) + obj.connLen + 1;
    if (obj.maxConns - need <= 0) {
        int64_t newCap = obj.maxConns;
        while (newCap - need <= 0)
            newCap += SIM_GROW_CONNS;
        if (newCap > INT32_MAX / static_cast<int64_t>(sizeof(int32_t))) {
            std::printf("  *** ERROR *** simAddConn(): Invalid array size (oid=%d).\n", oid);
            return -1;
        }
        int size = static_cast<int>(newCap * static_cast<int64_t>(sizeof(int32_t)));
        if (verbosity > 2)
            std::printf("  simAddConn(): Expanding size of conns structure for obj%d to %d\n", oid,
                        size);
        const ArrayBlock block{
            "simAddConn", "conns", oid,
            static_cast<int64_t>(obj.maxConns) * static_cast<int64_t>(sizeof(int32_t)), size};
        if (!roomToGrow(block) || !growArray(obj.conns, static_cast<int32_t>(newCap))) {
            noteRefusal(block, nullptr);
            std::printf("  *** ERROR *** simAddConn(): Failed malloc(%d). (oid=%d).\n", size, oid);
            return -1;
        }
        obj.maxConns = static_cast<int32_t>(newCap);
    }
    if (obj.connLen == 0) obj.connLen = 1; // an empty list holds only its final -2
    int32_t at = obj.connLen - 1;
    std::memcpy(obj.conns + at, run, static_cast<size_t>(count) * sizeof(int32_t));
    obj.conns[at + count] = SIM_CONN_END_RUN;
    obj.conns[at + count + 1] = SIM_CONN_END_LIST;
    obj.connLen += count + 1;
    return 0;
}

int simAddPoly(int oid, int32_t v0, int32_t v1, int32_t v2, const double* norm0,
               const double* norm1, const double* norm2, int32_t flags, SimPoly** out,
               int32_t material) {
    if (!simValidOid(oid)) {
        badOid("simAddPoly", oid);
        return -1;
    }
    SimObject& obj = simWorld.objects[oid];
    if (!validMass(obj, v0) || !validMass(obj, v1) || !validMass(obj, v2)) {
        std::printf("  *** ERROR *** simAddPoly(): Mass index out of range (%d %d %d, oid=%d).\n",
                    v0, v1, v2, oid);
        return -1;
    }
    if (material < 0 || material >= simWorld.nMaterials) {
        std::printf("  *** ERROR *** simAddPoly(): Invalid material id (%d, oid=%d).\n", material,
                    oid);
        return -1;
    }
    if (!makeRoom(oid, obj.polys, obj.nPolys, obj.maxPolys, SIM_GROW_POLYS, "simAddPoly", "polys"))
        return -1;
    int index = obj.nPolys++;
    SimPoly& p = obj.polys[index];
    if (out) *out = &p;
    p.v0 = v0;
    p.v1 = v1;
    p.v2 = v2;
    p.normal[0] = p.normal[1] = p.normal[2] = 0.0;
    p.index = index;
    p.material = material;
    p.flags = flags | SIMF_ACTIVE;
    obj.masses[v0].polyCount++;
    obj.masses[v1].polyCount++;
    obj.masses[v2].polyCount++;
    const double* norms[3] = {norm0, norm1, norm2};
    const int32_t corners[3] = {v0, v1, v2};
    for (int c = 0; c < 3; ++c) {
        if (norms[c]) std::memcpy(obj.masses[corners[c]].normal, norms[c], 3 * sizeof(double));
    }
    return index;
}

int simAddMat(const float* ambient, const float* diffuse, const float* specular,
              const float* emission, float shininess, int32_t tag) {
    if (simWorld.nMaterials >= SIM_MAX_MATERIALS) return -1;
    int id = simWorld.nMaterials++;
    if (verbosity > 1) std::printf("  simAddMat(): Added material (id=%d)\n", id);
    static const float defAmbient[3] = {0.2f, 0.2f, 0.2f};
    static const float defDiffuse[3] = {0.8f, 0.8f, 0.8f};
    static const float defBlack[3] = {0.0f, 0.0f, 0.0f};
    SimMaterial& m = simWorld.materials[id];
    // Only red, green and blue are written: alpha keeps the zero of the
    // zero-filled table.
    std::memcpy(m.ambient, ambient ? ambient : defAmbient, 3 * sizeof(float));
    std::memcpy(m.diffuse, diffuse ? diffuse : defDiffuse, 3 * sizeof(float));
    std::memcpy(m.specular, specular ? specular : defBlack, 3 * sizeof(float));
    std::memcpy(m.emission, emission ? emission : defBlack, 3 * sizeof(float));
    m.shininess = shininess;
    m.tag = tag;
    return id;
}

uint32_t simAddFForce(double x, double y, double z) {
    int slot = 0;
    while (slot < SIM_MAX_FORCES && (simWorld.forceBits & (1u << slot)))
        ++slot;
    if (slot == SIM_MAX_FORCES) {
        std::printf("  *** ERROR *** simAddFForce(): MAX NUMBER OF FORCES (%d) REACHED.\n",
                    SIM_MAX_FORCES);
        return 0;
    }
    uint32_t fid = 1u << slot;
    SimFForce& f = simWorld.forces[slot];
    f.vec[0] = x;
    f.vec[1] = y;
    f.vec[2] = z;
    f.strength = 1.0;
    f.target = -1;
    f.mask = static_cast<int32_t>(fid);
    simWorld.forceBits |= fid;
    if (verbosity > 1) std::printf("  simAddFForce():  fid=$%x\n", fid);
    return fid;
}

void simSetObjMat(int oid, int32_t material) {
    if (!simValidOid(oid)) {
        badOid("simSetObjMat", oid);
        return;
    }
    if (material < 0 || material >= simWorld.nMaterials) {
        std::printf("  *** ERROR *** simSetObjMat(): Invalid material id (%d, oid=%d).\n", material,
                    oid);
        return;
    }
    SimObject& obj = simWorld.objects[oid];
    for (int32_t i = 0; i < obj.nPolys; ++i)
        obj.polys[i].material = material;
}

void simFreeWorld() {
    for (SimObject& obj : simWorld.objects) {
        std::free(obj.masses);
        std::free(obj.springs);
        std::free(obj.conns);
        std::free(obj.polys);
    }
    std::memset(&simWorld, 0, sizeof simWorld);
    allocFailure = SimAllocFailure{};
    roomIsShort = false;
}
