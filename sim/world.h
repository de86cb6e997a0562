// The simulation world: one global store of objects, materials and field
// forces, and the operations that create their records.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Limits and growth steps
// ---------------------------------------------------------------------------
constexpr int SIM_MAX_OBJECTS = 1000;
constexpr int SIM_MAX_FORCES = 32;
constexpr int SIM_MAX_MATERIALS = 50;
constexpr int SIM_NAME_LEN = 256;     // world and object names, terminator included
constexpr int SIM_MAT_NAME_LEN = 132; // material names, terminator included

constexpr int SIM_GROW_MASSES = 128;   // records
constexpr int SIM_GROW_SPRINGS = 2048; // records
constexpr int SIM_GROW_CONNS = 1024;   // int32 entries
constexpr int SIM_GROW_POLYS = 64;     // records

constexpr int SIM_FORCES_BLOCK = 32; // SimMass records probed for the Forces object

constexpr int32_t SIM_CONN_END_RUN = -1;  // ends a connection run
constexpr int32_t SIM_CONN_END_LIST = -2; // ends the connection list

// ---------------------------------------------------------------------------
// Flag bits: one set of values for objects, masses and triangles
// ---------------------------------------------------------------------------
constexpr int32_t SIMF_ACTIVE = 0x1;
constexpr int32_t SIMF_FORCES = 0x2;
constexpr int32_t SIMF_FIXED = 0x8;
constexpr int32_t SIMF_FLOOR = 0x10;
constexpr int32_t SIMF_BCUBE = 0x20;
constexpr int32_t SIMF_HOLDACC = 0x40;
constexpr int32_t SIMF_REST = 0x80;
constexpr int32_t SIMF_FNORMALS = 0x100;
constexpr int32_t SIMF_VNORMALS = 0x200;
constexpr int32_t SIMF_GOURAUD = 0x400;
constexpr int32_t SIMF_CULL = 0x800;
constexpr int32_t SIMF_CW = 0x1000;
constexpr int32_t SIMF_FACETEX = 0x2000;
constexpr int32_t SIMF_ENVMAP = 0x4000;
constexpr int32_t SIMF_MKSPRINGS = 0x1000000;
constexpr int32_t SIMF_MKCONNS = 0x2000000;
constexpr int32_t SIMF_MKPOLYS = 0x4000000;
constexpr int32_t SIMF_REVERSE = 0x8000000;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
struct SimMass {
    double pos[3];     // position
    double vel[3];     // velocity, world units per step
    double acc[3];     // velocity increment gathered for this step
    double normal[3];  // vertex normal; also the cube-map texture coordinate
    int32_t polyCount; // triangle corners that name this mass
    double mass;
    double range; // point-field radius when this mass is a field centre
    int32_t flags;
    int32_t forceMask; // field force slot i acts when bit i is set
};

struct SimSpring {
    double k;
    double damping;
    double rest;
    int32_t a; // first end; the order of the ends sets the force signs
    int32_t b;
    int32_t index;
    int32_t kind; // kept from simAddSpring, read by nothing
};

struct SimPoly {
    int32_t v0, v1, v2; // corner masses in winding order
    double normal[3];   // unit face normal
    int32_t material;
    int32_t index;
    int32_t flags; // given flags with SIMF_ACTIVE, read by nothing
};

// A connection list is a plain int32 array: runs of mass indices, each ended
// by SIM_CONN_END_RUN, the whole list ended by SIM_CONN_END_LIST. The first
// index of a run is its hub.
using SimConnList = int32_t;

struct SimMaterial {
    char name[SIM_MAT_NAME_LEN];
    float ambient[4];
    float diffuse[4];
    float specular[4];
    float emission[4];
    float shininess;
    int32_t tag;
};

struct SimFForce {
    double vec[3];   // uniform field: velocity increment per step
    double strength; // point field strength
    int32_t target;  // -1: uniform field; else a mass of the Forces object
    int32_t mask;    // the slot's own bit, which is also the force id
};

struct SimObject {
    char name[SIM_NAME_LEN];
    int32_t id; // own slot index while in use, -1 while free
    int32_t nMasses;
    int32_t nSprings;
    int32_t connLen; // entries in use, the final -2 included
    int32_t nPolys;
    int32_t maxMasses;
    int32_t maxSprings;
    int32_t maxConns;
    int32_t maxPolys;
    SimMass* masses;
    SimSpring* springs;
    SimConnList* conns;
    SimPoly* polys;
    int32_t flags;
    // A new value whenever masses or springs are added; data derived from the
    // spring array (the spring phase's packed plan) is rebuilt when it moves.
    uint64_t stamp;
};

struct SimWorld {
    char name[SIM_NAME_LEN];
    int32_t nObjects;
    int32_t nMaterials;
    SimObject objects[SIM_MAX_OBJECTS];
    int32_t forcesOid;
    uint32_t forceBits;
    SimFForce forces[SIM_MAX_FORCES];
    SimMaterial materials[SIM_MAX_MATERIALS];
    int32_t bcubeOid;
    double bcubeCentre[3];
    double bcubeCorners[8][3]; // rest offsets of the cube's corners from its centre
};

// The first allocation that failed since the world was made. Start-up goes on
// past it (the object keeps what it had), so a benchmark asks here whether
// the world it is about to time is the one it asked for.
struct SimAllocFailure {
    bool failed;       // false while every allocation has succeeded
    char what[160];    // what could not be had, e.g. "simAddSpring(): springs of obj1 ..."
    int64_t needed;    // bytes the allocation would have added to the process
    int64_t available; // bytes the process could still get then, or -1 when unknown
    char limit[64];    // the limit that applied, as platMemoryRoom names it
};

// ---------------------------------------------------------------------------
// Globals
// ---------------------------------------------------------------------------
extern SimWorld simWorld;      // the one world, zero-filled at program start
extern int32_t verbosity;      // message level: >0 progress, >1 notices, >2 expansions
extern const float worldScale; // 8.0: the size of the scene

// The allocators behind the world's blocks; tests point them at failing ones.
extern void* (*simMalloc)(size_t size);               // one-off blocks
extern void* (*simRealloc)(void* block, size_t size); // growing arrays

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------
int simInitWorld(const char* name);                // 1, or 0 on failure
int simAddObject(const char* name, int32_t flags); // new oid, or -1
int simAddMass(int oid, SimMass** out);            // new mass index, or -1
int simAddSpring(int oid, int32_t a, int32_t b, double rest, double k, double damping,
                 int32_t kind); // new spring index, or -1
// Room for count (1 or more) springs after the last one, as that many
// simAddSpring calls would leave the array (whole growth steps, one notice per
// step), moved once: the first new record, to be filled and then counted with
// simCommitSprings; or null after simAddSpring's error, the object unchanged.
SimSpring* simReserveSprings(int oid, int64_t count);
void simCommitSprings(int oid, int32_t count); // counts count filled records as springs
int simAddConn(int oid, const int32_t* run, int32_t count); // 0, or -1
int simAddPoly(int oid, int32_t v0, int32_t v1, int32_t v2, const double* norm0,
               const double* norm1, const double* norm2, int32_t flags, SimPoly** out,
               int32_t material); // new triangle index, or -1
int simAddMat(const float* ambient, const float* diffuse, const float* specular,
              const float* emission, float shininess, int32_t tag); // new id, or -1
uint32_t simAddFForce(double x, double y, double z);                // new fid, or 0
void simSetObjMat(int oid, int32_t material);                       // material of every triangle

bool simValidOid(int oid); // true when oid names an object in use

// Allocation failures: the first since simInitWorld or simFreeWorld is kept.
const SimAllocFailure& simAllocFailure(); // failed is false when there was none
void simNoteAllocFailure(const char* what, int64_t needed, int64_t available,
                         const char* limit); // records it unless one is recorded already

// Code that writes mass or spring records directly (rather than through the
// operations above) calls this afterwards, so that derived data is rebuilt.
void simTouchObject(int oid);

// Releases every array and zero-fills the world, as at program start. The
// program never calls it; tests and benchmarks build many worlds in one run.
void simFreeWorld();
