// The last start-up stage of main: the window and the GLUT main loop.
#pragma once

#include <cstdint>

extern int64_t perfFreq; // performance-counter counts per second

// Stage 3 up to the main loop: window, callbacks, GL state, textures, the
// timer frequency and the help text.
void appOpenWindow();
// Stage 3: appOpenWindow, then the GLUT main loop.
void appWindowSetup();
