// The three start-up stages of main.
#pragma once

#include <cstdint>

struct Scene3DS;

extern const char* const appTitle; // window title and prefix of fatal messages
extern int32_t lastConvertedOid;   // the object the keys act on
extern int64_t perfFreq;           // performance-counter counts per second
extern Scene3DS* appScene;         // the scene read at start-up, kept for the whole run

// Stage 1: banner, world, two materials, gravity. Returns the grey material's
// id; exits with status 1 when the world cannot be made.
int appWorldSetup();
// Stage 2: bounding cube, the scene file, one soft body per mesh. Exits with
// status 1 when the scene cannot be read.
void appSceneSetup(int greyMaterial, const char* scenePath);
// Stage 3: window, callbacks, GL state, textures; runs the GLUT main loop.
void appWindowSetup();
