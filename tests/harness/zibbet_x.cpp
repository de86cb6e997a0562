// zibbet-x: drives and photographs the Zibbet window from outside.
//   zibbet-x shot FILE.png   save the window (or the whole screen) as PNG
//   zibbet-x key NAME        tap a key (keysym name: Escape, e, s ...)
//   zibbet-x wait SECONDS    wait until the window shows
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scenegen/png_writer.h"
#include "tests/harness/xclient.h"
#include "tests/support/run_command.h"

namespace {
const char* const kTitlePrefix = "Zibbet";
constexpr int kPollMs = 10;

int usage() {
    std::fprintf(stderr, "usage: zibbet-x shot FILE.png | key KEYSYM | wait SECONDS\n");
    return 2;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    const std::string cmd = argv[1];
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "zibbet-x: cannot open the X display\n");
        return 1;
    }
    int status = 0;
    if (cmd == "shot") {
        Window w = xFindWindow(dpy, kTitlePrefix);
        XImageRgb img;
        if (!xGrab(dpy, w ? w : DefaultRootWindow(dpy), img) ||
            !writePngRgb(argv[2], img.width, img.height, img.rgb)) {
            std::fprintf(stderr, "zibbet-x: could not save %s\n", argv[2]);
            status = 1;
        }
    } else if (cmd == "key") {
        const KeySym sym = XStringToKeysym(argv[2]);
        status = sym != NoSymbol && xTapKeysym(dpy, xFindWindow(dpy, kTitlePrefix), sym) ? 0 : 1;
    } else if (cmd == "wait") {
        const auto shown = [&] { return xFindWindow(dpy, kTitlePrefix) != 0; };
        status = fxPollUntil(std::atoi(argv[2]) * 1000, kPollMs, shown) ? 0 : 1;
    } else {
        status = usage();
    }
    XCloseDisplay(dpy);
    return status;
}
