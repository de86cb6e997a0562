// The frame loop's shared globals and the simulation part of its idle step.
#pragma once

#include <cstdint>

extern int32_t winWidth; // window size in pixels, as last given to reshape
extern int32_t winHeight;
extern int32_t mouseDx; // last dragged mouse position minus the window centre, pixels
extern int32_t mouseDy; // y grows downwards, as GLUT reports it
extern int64_t stamp0;  // the two latest counter readings, shared by idle and display
extern int64_t stamp1;
extern int64_t phaseForces;  // counts clearing and applying field forces, latest step
extern int64_t phaseSprings; // counts applying springs, latest step
extern int64_t phaseMotion;  // counts updating velocities and positions, latest step
extern int64_t phaseClear;   // counts clearing the buffers, latest display
extern int64_t phaseDraw;    // counts from the clear to the end of drawing, latest display

extern const float mouseFactor; // radians per step per pixel of mouse offset, 0.0001f

// One simulation step of every object in id order, as idle runs it: the cube
// angles advance and the cube is posed before each object, and the three
// phase timers are refilled. Asks for no redisplay.
void appStepWorld();
