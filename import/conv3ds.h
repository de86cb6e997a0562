// Conversion of one 3DS mesh object into a soft body of the world.
#pragma once

#include "import/load3ds.h"

// The extension test the conversion asks: -1 (no list to read) until a
// program with a renderer installs its own (the demo: hasGLExtension); tests
// replace it to play a driver with or without cube maps.
extern int (*simConvHasExtension)(const char* name);

// Fills object oid (-1: a new object named after the 3DS object) from object
// `index` of the scene: a mass per vertex at offset + scale * vertex, edge
// springs (maxFactor 0.0) or springs in the distance band
// (worldScale * minFactor, worldScale * maxFactor), a connection run and a
// triangle per face as the SIMF_MK* flags ask, and a world material per
// face-material group. Returns the oid, or -1 on failure.
int simConv3DSobj(int oid, const Scene3DS* scene, int index, double offsetX, double offsetY,
                  double offsetZ, double scale, double k, double damping, double minFactor,
                  double maxFactor, int flags, int forceMask);
