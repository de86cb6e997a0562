#include "tools/xclient/xclient.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kPollMs = 50;

Window findIn(Display* dpy, Window w, const std::string& prefix) {
    char* name = nullptr;
    if (XFetchName(dpy, w, &name) && name) {
        bool match = std::strncmp(name, prefix.c_str(), prefix.size()) == 0;
        XFree(name);
        XWindowAttributes a{};
        if (match && XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable) return w;
    }
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &kids, &n)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < n && !found; ++i) found = findIn(dpy, kids[i], prefix);
    if (kids) XFree(kids);
    return found;
}

int channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    unsigned long v = (pixel & mask) >> shift, max = mask >> shift;
    return static_cast<int>(v * 255 / max);
}

} // namespace

Window xFindWindow(Display* dpy, const std::string& prefix) {
    return findIn(dpy, DefaultRootWindow(dpy), prefix);
}

Window xWaitWindow(Display* dpy, const std::string& prefix, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        if (Window w = xFindWindow(dpy, prefix)) return w;
        usleep(kPollMs * 1000);
    }
    return 0;
}

bool xWindowGeometry(Display* dpy, Window w, int& x, int& y, int& width, int& height) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, w, &a)) return false;
    Window child = 0;
    XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &x, &y, &child);
    width = a.width;
    height = a.height;
    return true;
}

bool xGrab(Display* dpy, Window w, XImageRgb& out) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, w, &a)) return false;
    XImage* img = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!img) return false;
    out.width = a.width;
    out.height = a.height;
    out.rgb.assign(static_cast<size_t>(a.width) * a.height * 3, 0);
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            unsigned long p = XGetPixel(img, x, y);
            uint8_t* d = &out.rgb[(static_cast<size_t>(y) * a.width + x) * 3];
            d[0] = static_cast<uint8_t>(channel(p, img->red_mask));
            d[1] = static_cast<uint8_t>(channel(p, img->green_mask));
            d[2] = static_cast<uint8_t>(channel(p, img->blue_mask));
        }
    }
    XDestroyImage(img);
    return true;
}

bool xTapKey(Display* dpy, Window w, const std::string& keysymName) {
    KeySym sym = XStringToKeysym(keysymName.c_str());
    if (sym == NoSymbol) return false;
    KeyCode code = XKeysymToKeycode(dpy, sym);
    if (!code) return false;
    if (w) {
        XSetInputFocus(dpy, w, RevertToPointerRoot, CurrentTime);
        XSync(dpy, False);
    }
    // Upper-case letters need shift held.
    bool shift = keysymName.size() == 1 && keysymName[0] >= 'A' && keysymName[0] <= 'Z';
    KeyCode shiftCode = XKeysymToKeycode(dpy, XK_Shift_L);
    if (shift) XTestFakeKeyEvent(dpy, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(dpy, shiftCode, False, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool xDrag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps) {
    int ox = 0, oy = 0, width = 0, height = 0;
    if (!xWindowGeometry(dpy, w, ox, oy, width, height)) return false;
    if (steps < 1) steps = 1;
    int screen = DefaultScreen(dpy);
    XTestFakeMotionEvent(dpy, screen, ox + x0, oy + y0, CurrentTime);
    XTestFakeButtonEvent(dpy, 1, True, CurrentTime);
    XSync(dpy, False);
    for (int i = 1; i <= steps; ++i) {
        int x = x0 + (x1 - x0) * i / steps, y = y0 + (y1 - y0) * i / steps;
        XTestFakeMotionEvent(dpy, screen, ox + x, oy + y, CurrentTime);
        XSync(dpy, False);
        usleep(10000);
    }
    XTestFakeButtonEvent(dpy, 1, False, CurrentTime);
    XSync(dpy, False);
    return true;
}
