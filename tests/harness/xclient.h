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

enum XTitleMatch {
    X_TITLE_PREFIX, // the window's name starts with the title given
    X_TITLE_EXACT,  // the window's name is the title given
};

// The first viewable window (depth-first from the root) whose name matches
// title, or 0.
Window xFindWindow(Display* dpy, const std::string& title, XTitleMatch match = X_TITLE_PREFIX);
// Waits up to timeoutMs for such a window; 0 when none appeared.
Window xWaitWindow(Display* dpy, const std::string& title, int timeoutMs,
                   XTitleMatch match = X_TITLE_PREFIX);
// The window's pixels as they are on the screen; false when w is gone.
bool xGrab(Display* dpy, Window w, XImageRgb& out);
// Colour of pixel (x, y) of window w, y counted from the top.
XRgb xPixel(Display* dpy, Window w, int x, int y);
// Root-relative origin and size of a window; false when w is gone.
bool xWindowGeometry(Display* dpy, Window w, int& x, int& y, int& width, int& height);
// Gives w the keyboard focus (when w is not 0), then presses and releases a key
// given by its keysym name ("Escape", "e", "S"...). Without a window manager
// keys would otherwise go to whatever lies under the pointer.
bool xTapKey(Display* dpy, Window w, const std::string& keysymName);
// The same for a keysym (XK_Escape, XK_E...); shift is held when the keysym
// is the key's shifted one.
bool xTapKeysym(Display* dpy, Window w, unsigned long keysym);
// Drags with a button held from (x0, y0) to (x1, y1), window coordinates, in
// steps: press at the start, motion to every step, release at the end.
bool xDrag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps, unsigned button = 1);
