// The GLUT callbacks of the frame loop.
#pragma once

void idle();                                    // one step for every object, then redraw
void display();                                 // draw one frame
void displaySetUp(); // a frame's fixed state: lighting, normals, the light and the camera
void reshape(int width, int height);            // viewport and projection
void keyboard(unsigned char key, int x, int y); // Escape quits; e/s toggle the body's modes
void motion(int x, int y);                      // drag offset from the window centre
