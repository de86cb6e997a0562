// The start-up stages of main.
#pragma once

extern const char* const appTitle; // window title and prefix of fatal messages

// Stage 1: banner, world, two materials, gravity. Returns the grey material's
// id; exits with status 1 when the world cannot be made.
int appWorldSetup();
