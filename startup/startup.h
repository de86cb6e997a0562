// The first two start-up stages of main: the world and the scene. They call
// no GL; the window is demo/window.h.
#pragma once

#include <cstdint>

extern const char* const appTitle; // window title and prefix of fatal messages
extern int32_t lastConvertedOid;   // the object the keys act on

// Stage 1: banner, world, two materials, gravity. Returns the grey material's
// id; exits with status 1 when the world cannot be made.
int appWorldSetup();
// Stage 2: bounding cube, the scene file, one soft body per mesh. Exits with
// status 1 when the scene cannot be read.
void appSceneSetup(int greyMaterial, const char* scenePath);

struct Scene3DS;
// Stage 2's parts: the bounding cube; then every object of a scene that has
// been read converted into a soft body and turned, the last one grey (returns
// how many were converted).
void appCubeSetup();
int appConvertScene(int greyMaterial, const Scene3DS* scene);
