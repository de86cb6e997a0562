// A small X client for driving and watching the program from outside: find
// its window, read its pixels, send keys and mouse drags through XTest.
// Used by the end-to-end tests and by `make run` on a machine without a desktop.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

struct XImageRgb {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // rows top to bottom, 3 bytes per pixel
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// The first viewable window whose name starts with prefix, or 0.
Window xFindWindow(Display* dpy, const std::string& prefix);
// Waits up to timeoutMs for such a window; 0 when none appeared.
Window xWaitWindow(Display* dpy, const std::string& prefix, int timeoutMs);
// The window's pixels as they are on the screen.
bool xGrab(Display* dpy, Window w, XImageRgb& out);
// Root-relative origin and size of a window.
bool xWindowGeometry(Display* dpy, Window w, int& x, int& y, int& width, int& height);
// Gives w the keyboard focus (when w is not 0), then presses and releases a key
// given by its keysym name ("Escape", "e", "S"...). Without a window manager
// keys would otherwise go to whatever lies under the pointer.
bool xTapKey(Display* dpy, Window w, const std::string& keysymName);
// Drags with button 1 from (x0, y0) to (x1, y1), window coordinates, in steps.
bool xDrag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps);
