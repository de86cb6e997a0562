#include "tests/harness/xclient.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kDragStepUs = 10000; // lets the watched program see every step

// The watched program's windows can vanish at any moment (it exits), and
// Xlib's default handler ends this program on the error that follows. While
// fn runs, errors are counted instead; false when fn failed or one came.
int trappedErrors = 0;

int countError(Display*, XErrorEvent*) {
    ++trappedErrors;
    return 0;
}

template <typename Fn> bool withoutXErrors(Display* dpy, Fn&& fn) {
    const XErrorHandler previous = XSetErrorHandler(countError);
    const int before = trappedErrors;
    const bool done = fn();
    XSync(dpy, False);
    XSetErrorHandler(previous);
    return done && trappedErrors == before;
}

Window findIn(Display* dpy, Window w, const std::string& title) {
    char* name = nullptr;
    if (XFetchName(dpy, w, &name) && name) {
        const bool matches = std::strncmp(name, title.c_str(), title.size()) == 0;
        XFree(name);
        XWindowAttributes a{};
        if (matches && XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable) return w;
    }
    Window root = 0, parent = 0, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &kids, &n)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < n && !found; ++i)
        found = findIn(dpy, kids[i], title);
    if (kids) XFree(kids);
    return found;
}

int channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    const unsigned long v = (pixel & mask) >> shift, max = mask >> shift;
    return static_cast<int>(v * 255 / max);
}

} // namespace

Window xFindWindow(Display* dpy, const std::string& title) {
    Window w = 0;
    return withoutXErrors(dpy, [&] { return (w = findIn(dpy, DefaultRootWindow(dpy), title)); })
               ? w
               : 0;
}

bool xWindowGeometry(Display* dpy, Window w, int& x, int& y, int& width, int& height) {
    return withoutXErrors(dpy, [&] {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(dpy, w, &a)) return false;
        Window child = 0;
        XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &x, &y, &child);
        width = a.width;
        height = a.height;
        return true;
    });
}

bool xGrab(Display* dpy, Window w, XImageRgb& out) {
    XImage* img = nullptr;
    XWindowAttributes a{};
    if (!withoutXErrors(dpy, [&] {
            return XGetWindowAttributes(dpy, w, &a) &&
                   (img = XGetImage(dpy, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap));
        }))
        return false;
    out.width = a.width;
    out.height = a.height;
    out.rgb.assign(static_cast<size_t>(a.width) * a.height * 3, 0);
    uint8_t* d = out.rgb.data();
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(img, x, y);
            for (unsigned long mask : {img->red_mask, img->green_mask, img->blue_mask})
                *d++ = static_cast<uint8_t>(channel(p, mask));
        }
    }
    XDestroyImage(img);
    return true;
}

bool xTapKeysym(Display* dpy, Window w, unsigned long keysym) {
    const KeyCode code = XKeysymToKeycode(dpy, keysym);
    if (!code) return false;
    if (w && !withoutXErrors(
                 dpy, [&] { return XSetInputFocus(dpy, w, RevertToParent, CurrentTime) != 0; }))
        return false;
    // Upper-case letters and the like are the key's second level: shift.
    const bool shift = XkbKeycodeToKeysym(dpy, code, 0, 0) != keysym;
    const KeyCode shiftCode = XKeysymToKeycode(dpy, XK_Shift_L);
    if (shift) XTestFakeKeyEvent(dpy, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(dpy, shiftCode, False, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool xDrag(Display* dpy, Window w, int x0, int y0, int x1, int y1, int steps, unsigned button) {
    int ox = 0, oy = 0, width = 0, height = 0;
    if (!xWindowGeometry(dpy, w, ox, oy, width, height)) return false;
    if (steps < 1) steps = 1;
    const int screen = DefaultScreen(dpy);
    XTestFakeMotionEvent(dpy, screen, ox + x0, oy + y0, CurrentTime);
    XTestFakeButtonEvent(dpy, button, True, CurrentTime);
    XSync(dpy, False);
    for (int i = 1; i <= steps; ++i) {
        const int x = x0 + (x1 - x0) * i / steps, y = y0 + (y1 - y0) * i / steps;
        XTestFakeMotionEvent(dpy, screen, ox + x, oy + y, CurrentTime);
        XSync(dpy, False);
        usleep(kDragStepUs);
    }
    XTestFakeButtonEvent(dpy, button, False, CurrentTime);
    XSync(dpy, False);
    return true;
}
