// Face and vertex normals, derived from the current mass positions.
#pragma once

void simCalcPolyNormals(int oid); // unit face normal of every triangle
void simCalcMassNormals(int oid); // mean of the face normals around every mass
