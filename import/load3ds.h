// The 3DS reader: mesh objects and materials of a 3DS scene file.
#pragma once

#include <cstdint>

constexpr int SIM3DS_NAME_LEN = 16;         // object, material, group and texture names
constexpr int SIM3DS_GROUP_NAME_LIMIT = 50; // bytes read at most for a group's name

struct MatGroup3DS {
    char name[SIM3DS_NAME_LEN]; // material used by the group's faces
    int nFaces;
    uint16_t* faces; // face numbers into the object's faces
};

struct Obj3DS {
    char name[SIM3DS_NAME_LEN];
    int nFaces;
    int nVerts;
    int nMapCoords;
    int hasLocalAxes;
    int nMatGroups;
    uint16_t (*faces)[4]; // a, b, c, flags as stored
    float (*verts)[3];
    float (*mapCoords)[2];
    float localAxes[12];
    MatGroup3DS* matGroups;
};

struct Mat3DS {
    char name[SIM3DS_NAME_LEN];
    float ambient[3];
    float diffuse[3];
    float specular[3];
    char texFile[SIM3DS_NAME_LEN]; // texture map name, extension rewritten to TGA
};

struct Scene3DS {
    int nObjects;
    Obj3DS* objects;
    int nMaterials;
    Mat3DS* materials;
};

Scene3DS* simLoad3DS(const char* path); // the scene, or null with a message
void simFree3DS(Scene3DS* scene);       // releases the scene and all it holds; null is fine
