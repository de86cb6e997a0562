// A small X client for driving and watching a program from outside: find
// its window, read its pixels, send keys and mouse drags through XTest.
// Used by the window and end-to-end tests and by `make run` on a machine
// without a desktop.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

// One pixel's colour, 0 to 255 a channel; all -1 when it could not be read.
struct XRgb {
    int r, g, b;
};

struct XImageRgb {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // rows top to bottom, 3 bytes per pixel
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    XRgb pixel(int x, int y) const { return {at(x, y)[0], at(x, y)[1], at(x, y)[2]}; }
};

// The first viewable window (depth-first from the root) whose name starts
// with title, or 0.
Window xFindWindow(Display* dpy, const std::string& title);
// The window's pixels as they are on the screen; false when w is gone.
bool xGrab(Display* dpy, Window w, XImageRgb& out);
// Root-relative origin and size of a window; false when w is gone.
bool xWindowGeometry(Display* dpy, Window w, int& x, int& y, int& width, int& height);
// Gives w the keyboard focus (when w is not 0: without a window manager keys
// go to whatever lies under the pointer), then presses and releases the key
// of a keysym (XK_Escape, XK_E...), shift held when it is the shifted one.
bool xTapKeysym(Display* dpy, Window w, unsigned long keysym);
// Drags with a button held from (x0, y0) to (x1, y1), window coordinates, in
// steps: press at the start, motion to every step, release at the end.
bool xDrag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps, unsigned button = 1);
