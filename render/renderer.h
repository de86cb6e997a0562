// OpenGL drawing of the world's objects: fixed state, the three drawing modes
// of a triangle mesh, connection lines and the cube environment map.
#pragma once

#include <GL/gl.h>

// Diffuse colour of connection lines.
extern const float connLineColor[4];

// Texture name of the cube environment map, used for nothing else.
constexpr GLuint RENDER_CUBE_MAP_TEXTURE = 0x2B00;

void initGL();            // fixed state once the window exists; ends with uploadCubeMap
void uploadCubeMap();     // faceImages 0..5 to whichever texture the cube-map target holds
void drawObject(int oid); // the object's triangles in the mode its flags choose
void drawConns(int oid);  // the object's connection runs as lines from each run's hub
