// The 3DS reader. It walks the chunk tree straight from the file, one routine
// per chunk kind. Any failed read, seek, position query or allocation prints
// one line and throws ParseFailure, which the parse entry catches to release
// the half-built scene: there is never a partial result.
//
// Lengths and counts come from an untrusted file. Every chunk must fit inside
// its parent, every header must be at least 6 bytes long, and a list is
// allocated only after its size has been checked against its chunk and the
// file; so a bad file can neither loop the walk nor make it read past its
// parent.
//
// Sections: constants and state; primitive operations; names and lists;
// chunk handlers; public operations.
#include "import/load3ds.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/progress.h"
#include "sim/world.h"

namespace {

// ---------------------------------------------------------------------------
// Constants and state
// ---------------------------------------------------------------------------
constexpr uint16_t CHUNK_MAIN = 0x4D4D;
constexpr uint16_t CHUNK_EDITOR = 0x3D3D;
constexpr uint16_t CHUNK_OBJECT = 0x4000;
constexpr uint16_t CHUNK_MESH = 0x4100;
constexpr uint16_t CHUNK_VERTS = 0x4110;
constexpr uint16_t CHUNK_FACES = 0x4120;
constexpr uint16_t CHUNK_FACE_MAT = 0x4130;
constexpr uint16_t CHUNK_MAP_COORDS = 0x4140;
constexpr uint16_t CHUNK_LOCAL_AXES = 0x4160;
constexpr uint16_t CHUNK_MATERIAL = 0xAFFF;
constexpr uint16_t CHUNK_MAT_NAME = 0xA000;
constexpr uint16_t CHUNK_AMBIENT = 0xA010;
constexpr uint16_t CHUNK_DIFFUSE = 0xA020;
constexpr uint16_t CHUNK_SPECULAR = 0xA030;
constexpr uint16_t CHUNK_TEX_MAP = 0xA200;
constexpr uint16_t CHUNK_TEX_FILE = 0xA300;
constexpr uint16_t CHUNK_COLOR_F = 0x0010;
constexpr uint16_t CHUNK_COLOR_B = 0x0011;

constexpr long HEADER_SIZE = 6;            // bytes: id (2) and length (4)
constexpr long VERT_SIZE = 12;             // bytes: three floats
constexpr long FACE_SIZE = 8;              // bytes: a, b, c, flags
constexpr long MAP_COORD_SIZE = 8;         // bytes: u, v
constexpr long FACE_NUMBER_SIZE = 2;       // bytes
constexpr long LOCAL_AXES_SIZE = 48;       // bytes: twelve floats
constexpr float BYTE_COLOR_SCALE = 256.0f; // 0x0011 bytes are divided by this

// The extent of one chunk in the file, header included.
struct Span {
    uint16_t id;
    long start;
    long end;
};

struct ParseFailure {};

// Module state while a file is being read; meaningless afterwards.
FILE* file = nullptr;
long fileSize = 0;
Scene3DS* scene = nullptr;

// ---------------------------------------------------------------------------
// Primitive operations: each prints its one line and leaves the parse.
// ---------------------------------------------------------------------------
[[noreturn]] void fail(const char* message) {
    std::printf("%s", message);
    throw ParseFailure{};
}

long tell() {
    long pos = std::ftell(file);
    if (pos < 0) fail("Error getting fileposition\n");
    return pos;
}

void seekTo(long pos) {
    if (std::fseek(file, pos, SEEK_SET) != 0) fail("Error moving filepointer\n");
}

void readRaw(void* dst, size_t n) {
    if (std::fread(dst, 1, n, file) != n) fail("Error reading file\n");
}

// Data of a chunk must lie inside it; a chunk that claims less than its data
// is refused rather than read into whatever follows it.
void checkInside(const Span& chunk, long bytes) {
    if (bytes > chunk.end - tell()) {
        std::printf("Chunk %04X at %ld is too short for its data\n", chunk.id, chunk.start);
        throw ParseFailure{};
    }
}

void readIn(const Span& chunk, void* dst, long n) {
    checkInside(chunk, n);
    readRaw(dst, static_cast<size_t>(n));
}

uint16_t u16(const unsigned char* b) {
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t u32(const unsigned char* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

float f32(const unsigned char* b) {
    uint32_t bits = u32(b);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

float readFloat(const Span& chunk) {
    unsigned char b[4];
    readIn(chunk, b, 4);
    return f32(b);
}

void* allocList(long bytes) {
    void* list = simMalloc(static_cast<size_t>(bytes));
    if (!list) fail("Error allocating mem\n");
    return list;
}

// Grows an array by exactly one zero-filled record, as the file format gives
// no count ahead. Returns the new record's index.
template <typename T> int growByOne(T*& array, int& count) {
    T* bigger = static_cast<T*>(simMalloc(sizeof(T) * static_cast<size_t>(count + 1)));
    if (!bigger) fail("Error reallocating mem\n");
    if (count > 0) std::memcpy(bigger, array, sizeof(T) * static_cast<size_t>(count));
    std::memset(&bigger[count], 0, sizeof(T));
    std::free(array);
    array = bigger;
    return count++;
}

// A header as read: the id, and the length still to be checked.
struct RawHeader {
    uint16_t id;
    long start;
    uint32_t length;
};

RawHeader readRawHeader() {
    RawHeader h{};
    h.start = tell();
    unsigned char b[HEADER_SIZE];
    readRaw(b, HEADER_SIZE);
    h.id = u16(b);
    h.length = u32(b + 2);
    return h;
}

// Checks a header's length: at least the header itself, and inside parent
// (no parent for the main chunk).
Span checkLength(const RawHeader& h, const Span* parent) {
    Span child{h.id, h.start, 0};
    const uint32_t length = h.length;
    if (length < HEADER_SIZE) {
        // Skipping it would not move the walk forward.
        std::printf("Chunk %04X at %ld has a bad length (%u)\n", child.id, child.start, length);
        throw ParseFailure{};
    }
    child.end = child.start + static_cast<long>(length);
    if (parent && child.end > parent->end) {
        std::printf("Chunk %04X at %ld runs past its parent %04X\n", child.id, child.start,
                    parent->id);
        throw ParseFailure{};
    }
    return child;
}

// Reads the header at the current position, which must lie inside parent.
Span readHeader(const Span& parent) {
    const long start = tell();
    if (HEADER_SIZE > parent.end - start) {
        std::printf("Chunk header at %ld runs past its parent %04X\n", start, parent.id);
        throw ParseFailure{};
    }
    simProgressReading(start, fileSize);
    return checkLength(readRawHeader(), &parent);
}

// ---------------------------------------------------------------------------
// Names and lists
// ---------------------------------------------------------------------------

// Reads a name byte by byte until a NUL or until limit bytes have been read;
// the last byte read becomes the terminator, so a longer name is cut to
// limit - 1 characters and its remaining bytes stay unread.
void readName(const Span& chunk, char* dst, int limit) {
    int n = 0;
    while (n < limit) {
        unsigned char c;
        readIn(chunk, &c, 1);
        dst[n++] = static_cast<char>(c);
        if (c == 0) break;
    }
    dst[n - 1] = '\0';
}

// Reads a list count: an unsigned 16-bit number, 0 to 65535. The list must
// fit in its chunk, and the file must hold it, before anything is allocated
// for it.
int readCount(const Span& chunk, long recordSize) {
    unsigned char b[2];
    readIn(chunk, b, 2);
    const int count = u16(b);
    const long bytes = count * recordSize;
    checkInside(chunk, bytes);
    if (bytes > fileSize - tell()) fail("Error reading file\n");
    return count;
}

// Replaces a list with a new one of count records; the scene owns it from
// here, so a failed read below releases it with the rest.
template <typename T> T* replaceList(T*& list, int& listCount, int count) {
    std::free(list);
    list = nullptr;
    listCount = 0;
    if (count == 0) return nullptr;
    list = static_cast<T*>(allocList(count * static_cast<long>(sizeof(T))));
    listCount = count;
    return list;
}

// ---------------------------------------------------------------------------
// Chunk handlers
// ---------------------------------------------------------------------------

// Skips the chunk just read by its length.
void skip(const Span& chunk) {
    seekTo(chunk.end);
}

void readVerts(const Span& chunk, Obj3DS& obj) {
    int count = readCount(chunk, VERT_SIZE);
    float(*verts)[3] = replaceList(obj.verts, obj.nVerts, count);
    for (int i = 0; i < count; ++i) {
        unsigned char b[VERT_SIZE];
        readIn(chunk, b, VERT_SIZE);
        for (int k = 0; k < 3; ++k)
            verts[i][k] = f32(b + 4 * k);
    }
}

// Reads only the face list: the chunk's own sub-chunks (the material groups)
// are then met by the mesh loop, which still encloses them.
void readFaces(const Span& chunk, Obj3DS& obj) {
    int count = readCount(chunk, FACE_SIZE);
    uint16_t(*faces)[4] = replaceList(obj.faces, obj.nFaces, count);
    for (int i = 0; i < count; ++i) {
        unsigned char b[FACE_SIZE];
        readIn(chunk, b, FACE_SIZE);
        for (int k = 0; k < 4; ++k)
            faces[i][k] = u16(b + 2 * k);
    }
}

void readMapCoords(const Span& chunk, Obj3DS& obj) {
    int count = readCount(chunk, MAP_COORD_SIZE);
    float(*coords)[2] = replaceList(obj.mapCoords, obj.nMapCoords, count);
    for (int i = 0; i < count; ++i) {
        unsigned char b[MAP_COORD_SIZE];
        readIn(chunk, b, MAP_COORD_SIZE);
        coords[i][0] = f32(b);
        coords[i][1] = f32(b + 4);
    }
}

void readLocalAxes(const Span& chunk, Obj3DS& obj) {
    unsigned char b[LOCAL_AXES_SIZE];
    readIn(chunk, b, LOCAL_AXES_SIZE);
    for (int k = 0; k < 12; ++k)
        obj.localAxes[k] = f32(b + 4 * k);
    obj.hasLocalAxes = 1;
}

// A face-material group. Its name may be read up to 49 characters, but only
// the first 15 fit in the record beside the terminator.
void readGroup(const Span& chunk, int objIndex) {
    Obj3DS& obj = scene->objects[objIndex];
    int g = growByOne(obj.matGroups, obj.nMatGroups);
    char name[SIM3DS_GROUP_NAME_LIMIT];
    readName(chunk, name, SIM3DS_GROUP_NAME_LIMIT);
    MatGroup3DS& group = obj.matGroups[g];
    std::strncpy(group.name, name, SIM3DS_NAME_LEN - 1);
    group.name[SIM3DS_NAME_LEN - 1] = '\0';
    int count = readCount(chunk, FACE_NUMBER_SIZE);
    uint16_t* faces = replaceList(group.faces, group.nFaces, count);
    for (int i = 0; i < count; ++i) {
        unsigned char b[FACE_NUMBER_SIZE];
        readIn(chunk, b, FACE_NUMBER_SIZE);
        faces[i] = u16(b);
    }
}

void readMesh(const Span& mesh, const char* name) {
    int o = growByOne(scene->objects, scene->nObjects);
    std::memcpy(scene->objects[o].name, name, SIM3DS_NAME_LEN);
    while (tell() < mesh.end) {
        Span child = readHeader(mesh);
        // The object array does not grow inside a mesh: the reference holds.
        Obj3DS& obj = scene->objects[o];
        switch (child.id) {
        case CHUNK_VERTS:
            readVerts(child, obj);
            break;
        case CHUNK_FACES:
            readFaces(child, obj);
            break;
        case CHUNK_FACE_MAT:
            readGroup(child, o);
            break;
        case CHUNK_MAP_COORDS:
            readMapCoords(child, obj);
            break;
        case CHUNK_LOCAL_AXES:
            readLocalAxes(child, obj);
            break;
        default:
            skip(child);
            break;
        }
    }
}

void readObject(const Span& object) {
    char name[SIM3DS_NAME_LEN];
    readName(object, name, SIM3DS_NAME_LEN);
    while (tell() < object.end) {
        Span child = readHeader(object);
        if (child.id == CHUNK_MESH) {
            readMesh(child, name);
        } else {
            skip(child);
        }
    }
}

// Applies 0x0010 and 0x0011 sub-chunks in file order; a later one wins.
void readColor(const Span& chunk, float* color) {
    while (tell() < chunk.end) {
        Span child = readHeader(chunk);
        if (child.id == CHUNK_COLOR_F) {
            for (int k = 0; k < 3; ++k)
                color[k] = readFloat(child);
        } else if (child.id == CHUNK_COLOR_B) {
            unsigned char b[3];
            readIn(child, b, 3);
            for (int k = 0; k < 3; ++k)
                color[k] = b[k] / BYTE_COLOR_SCALE;
        } else {
            skip(child);
        }
    }
}

// Stores the texture name with its extension rewritten to TGA. A name of
// fewer than three characters has no extension to rewrite and is kept as is.
void readTexFile(const Span& chunk, Mat3DS& mat) {
    char name[SIM3DS_NAME_LEN];
    readName(chunk, name, SIM3DS_NAME_LEN);
    size_t len = std::strlen(name);
    if (len >= 3) std::memcpy(name + len - 3, "TGA", 3);
    std::memcpy(mat.texFile, name, SIM3DS_NAME_LEN);
}

void readTexMap(const Span& chunk, Mat3DS& mat) {
    while (tell() < chunk.end) {
        Span child = readHeader(chunk);
        if (child.id == CHUNK_TEX_FILE) {
            readTexFile(child, mat);
        } else {
            skip(child);
        }
    }
}

void readMaterial(const Span& chunk) {
    int m = growByOne(scene->materials, scene->nMaterials);
    while (tell() < chunk.end) {
        Span child = readHeader(chunk);
        // The material array does not grow inside a material.
        Mat3DS& mat = scene->materials[m];
        switch (child.id) {
        case CHUNK_MAT_NAME:
            readName(child, mat.name, SIM3DS_NAME_LEN);
            break;
        case CHUNK_AMBIENT:
            readColor(child, mat.ambient);
            break;
        case CHUNK_DIFFUSE:
            readColor(child, mat.diffuse);
            break;
        case CHUNK_SPECULAR:
            readColor(child, mat.specular);
            break;
        case CHUNK_TEX_MAP:
            readTexMap(child, mat);
            break;
        default:
            skip(child);
            break;
        }
    }
}

void readEditor(const Span& editor) {
    while (tell() < editor.end) {
        Span child = readHeader(editor);
        if (child.id == CHUNK_OBJECT) {
            readObject(child);
        } else if (child.id == CHUNK_MATERIAL) {
            readMaterial(child);
        } else {
            skip(child);
        }
    }
}

void readMain(const Span& main) {
    while (tell() < main.end) {
        Span child = readHeader(main);
        if (child.id == CHUNK_EDITOR) {
            readEditor(child);
        } else {
            skip(child);
        }
    }
}

// The parse entry: the scene, or null after releasing all that was read.
Scene3DS* parse() {
    scene = static_cast<Scene3DS*>(simMalloc(sizeof(Scene3DS)));
    if (!scene) return nullptr;
    std::memset(scene, 0, sizeof(Scene3DS));
    try {
        // The id first: a foreign file is not 3DS data, whatever length its
        // first bytes would give.
        const RawHeader first = readRawHeader();
        if (first.id != CHUNK_MAIN) {
            simFree3DS(scene);
            scene = nullptr;
            std::printf("Not 3ds data\n");
            return nullptr;
        }
        readMain(checkLength(first, nullptr));
    } catch (const ParseFailure&) {
        simFree3DS(scene);
        scene = nullptr;
        return nullptr;
    }
    Scene3DS* result = scene;
    scene = nullptr;
    return result;
}

} // namespace

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------
Scene3DS* simLoad3DS(const char* path) {
    file = std::fopen(path, "rb");
    if (!file) {
        std::printf("Failed to open %s\n", path);
        return nullptr;
    }
    bool sized = false;
    if (std::fseek(file, 0, SEEK_END) != 0) {
        std::printf("Error seeking %s\n", path);
    } else if ((fileSize = std::ftell(file)) < 0) {
        std::printf("Error sizing %s\n", path);
    } else {
        sized = true;
    }
    if (!sized) {
        std::fclose(file);
        file = nullptr;
        return nullptr;
    }
    std::rewind(file);

    Scene3DS* result = parse();
    simProgressDone();
    std::fclose(file);
    file = nullptr;
    if (!result) {
        std::printf("Failed to parse %s\n", path);
        return nullptr;
    }
    std::printf("\n");
    if (verbosity != 0)
        std::printf("  simLoad3DS(): Loaded scene contains %d objects.\n", result->nObjects);
    return result;
}

void simFree3DS(Scene3DS* s) {
    if (!s) return;
    for (int i = 0; s->objects && i < s->nObjects; ++i) {
        Obj3DS& obj = s->objects[i];
        std::free(obj.faces);
        std::free(obj.verts);
        std::free(obj.mapCoords);
        for (int g = 0; obj.matGroups && g < obj.nMatGroups; ++g)
            std::free(obj.matGroups[g].faces);
        std::free(obj.matGroups);
    }
    std::free(s->objects);
    std::free(s->materials);
    std::free(s);
}
