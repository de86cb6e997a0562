// The bounding cube that the user turns, and rigid rotations of objects.
#pragma once

#include <cstdint>

// Orientation at which the bounding cube is posed, radians. The idle step
// advances x and y from the mouse; nothing changes z.
extern double cubeAngleX;
extern double cubeAngleY;
extern double cubeAngleZ;

// R(a, b, c): a half turn plus a about x, then b about y, then c about z.
void simRotatePoint(const double in[3], double a, double b, double c, double out[3]);

int simAddCubeObj(float cx, float cy, float cz, float edge, double k, double damping, int32_t flags,
                  int32_t forceMask, int32_t material);                   // cube oid, or -1
int simSetBCube(float cx, float cy, float cz, float edge, int32_t flags); // -1 on failure
void simRotBCube(double a, double b, double c);        // pose the cube's corners about its centre
void simRotObj(int oid, double a, double b, double c); // turn every mass about the origin
