// The real zibbet in a folder of test-made files on the test's X server,
// driven through XTest. Waits poll against generous deadlines: nothing is
// asserted about timing. `make soak-gui` runs DISABLED_SoakGui.
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scenegen/moon_scene.h"
#include "scenegen/png_writer.h"
#include "startup/startup.h"
#include "tests/support/run_command.h"
#include "window_test.h"

namespace {

const char* const kTitlePrefix = "Zibbet v0.9 ";
const char* const kHelpEnd = " s: Toggle Flat/Gouraud.";
const char* const kAnyLine = "<any line>";
constexpr int kStartTimeoutMs = 120000; // window up, sanitizer build on a busy machine
constexpr int kFrameTimeoutMs = 60000;  // a change to show in the frames
constexpr int kExitTimeoutMs = 30000;
constexpr int kPollMs = 20;

// The files the cube at rest shows on the walls watched here (RendererTest
// checks every wall in every pose).
constexpr int kCeilingFile = 2;
constexpr int kBackFile = 5;
constexpr int kLeftFile = 1;

// The transcript, byte for byte but the banner's free notice line: the
// banner, world set-up, the bounding cube, the moon, the window's lines, the
// textures (missing ones reported), the timer and the help.
std::string expectedStartup(unsigned missing) {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<std::string> lines = {"Zibbet. A physical demo.", kAnyLine,
                                      "Number of CPU: " + std::to_string(cpus)};
    if (cpus > 1) lines.push_back("*INFO* SMP support is not yet available.");
    const FxMesh moon = fxDefaultMoon();
    lines.insert(lines.end(),
                 {"Core using 1 thread.", "Initializing physical objects...",
                  "  simInitWorld(): World name =\"Hello_World\"",
                  "  simAddObject(): Object id=0  name=\"Forces\"  flags=$2",
                  "  simAddObject(): >>> Setting system forces object (oid=0) <<<",
                  "  simAddMat(): Added material (id=0)", "  simAddMat(): Added material (id=1)",
                  "  simAddMat(): Added material (id=2)", "  simAddFForce():  fid=$1",
                  "  simAddObject(): Object id=1  name=\"CubeObj\"  flags=$6003c09",
                  "  simSetBCube(): Setting Bounding Cube (oid=1).", "",
                  "  simLoad3DS(): Loaded scene contains 1 objects.",
                  "simConv3DSObj: Physicalizing object...",
                  "*** WARNING *** Couldn't check OpenGL extensions.",
                  "  simConv3DSobj(): Converting object \"" + moon.name + "\"",
                  "  simAddObject(): Object id=2  name=\"" + moon.name + "\"  flags=$5004e21",
                  "  simConv3DSobj(): " + std::to_string(moon.faces.size()) + " faces, " +
                      std::to_string(moon.verts.size()) + " verts, 1 mats",
                  "  simConv3DSobj(): Generated " +
                      std::to_string(fxCountBandSprings(moon, FX_LOAD_SCALE, FX_SPRING_BAND)) +
                      " complete springs for obj2",
                  "  simConv3DSobj(): Converting material 0 (\"" + moon.groups[0].material + "\")",
                  "  simAddMat(): Added material (id=3)", "Initializing OpenGL rendering engine..."});
    for (int k = 0; k < 6; ++k) {
        lines.push_back("TGA Reader loading file '" + std::to_string(k) + ".tga'");
        if (missing & (1u << k)) lines.insert(lines.end(), {"", "Error opening file."});
    }
    lines.insert(lines.end(),
                 {"Textures load completed.",
                  "Sys performance timer freq: " + std::to_string(platCounterFrequency()) + " Hz", "",
                  "Use the mouse to rotate the cube.", "", "Keys:",
                  " e: Toggle Cube Environment Mapping.", kHelpEnd});
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

constexpr int kWinWidth = 500;
constexpr int kWinHeight = 600;
constexpr double kHalfEdge = 16.0;   // the bounding cube's edge is 32
constexpr int kLitChannel = 30;      // a lit wall channel is brighter than this
constexpr int kEdgeMargin = 4;       // pixels kept clear of a wall's edge lines
constexpr int kMinBodyPixels = 2000; // of the body, grey or mirrored
constexpr double kFlatAbove = 0.35;  // share of grey pixels equal to both side neighbours
constexpr double kSmoothBelow = 0.25;

struct Pixel {
    int x, y;
};

// Where a world point falls in the window while the cube is at rest: the
// camera 48 units up the z axis, near plane 2, half sizes 1 by 1.2.
Pixel restPixel(double x, double y, double z) {
    const double depth = 48.0 - z;
    const double nx = 2.0 * x / depth, ny = 2.0 * y / depth / 1.2;
    return {static_cast<int>(std::floor((nx + 1.0) * 0.5 * kWinWidth)),
            static_cast<int>(std::floor((1.0 - ny) * 0.5 * kWinHeight))};
}

// A point of the back wall that the body never hides.
const Pixel kBackPoint = restPixel(0.0, 12.0, -kHalfEdge);

// A wall lit any way keeps its file's empty channels at 0, the others lit.
bool showsFile(const XRgb& c, int file) {
    const XRgb& f = kFaceColour[file];
    const int got[3] = {c.r, c.g, c.b}, want[3] = {f.r, f.g, f.b};
    for (int i = 0; i < 3; ++i)
        if (want[i] ? got[i] <= kLitChannel : got[i] != 0) return false;
    return true;
}

// The pixels of the back wall's rectangle, less its edge lines, that are
// not the wall's colour.
struct BodyView {
    int pixels = 0;
    int top = -1; // first row holding the body
    double centreX = 0.0;
};

BodyView bodyOnBackWall(const XImageRgb& frame, const XRgb& wall) {
    const Pixel a = restPixel(-kHalfEdge, kHalfEdge, -kHalfEdge);
    const Pixel b = restPixel(kHalfEdge, -kHalfEdge, -kHalfEdge);
    BodyView v;
    double sumX = 0.0;
    for (int y = a.y + kEdgeMargin; y <= b.y - kEdgeMargin; ++y) {
        for (int x = a.x + kEdgeMargin; x <= b.x - kEdgeMargin; ++x) {
            if (rgbNear(frame.pixel(x, y), wall, 0)) continue;
            if (v.top < 0) v.top = y;
            ++v.pixels;
            sumX += x;
        }
    }
    if (v.pixels) v.centreX = sumX / v.pixels;
    return v;
}

// The body without environment mapping is grey; pixels count when their
// 3 x 3 neighbourhood is (no edge lines); flat: equal to both side neighbours.
struct GreyView {
    int pixels = 0;
    double flatShare = 0.0;
};

GreyView greyBody(const XImageRgb& frame) {
    GreyView v;
    int flat = 0;
    for (int y = 1; y + 1 < frame.height; ++y) {
        for (int x = 1; x + 1 < frame.width; ++x) {
            bool grey = true;
            for (int dy = -1; dy <= 1 && grey; ++dy)
                for (int dx = -1; dx <= 1 && grey; ++dx) {
                    const XRgb n = frame.pixel(x + dx, y + dy);
                    grey = n.r > 0 && n.r == n.g && n.g == n.b;
                }
            if (!grey) continue;
            ++v.pixels;
            const XRgb c = frame.pixel(x, y);
            if (rgbNear(c, frame.pixel(x - 1, y), 0) && rgbNear(c, frame.pixel(x + 1, y), 0)) ++flat;
        }
    }
    if (v.pixels) v.flatShare = static_cast<double>(flat) / v.pixels;
    return v;
}

// Rows 0 to last alike in both frames.
bool sameTop(const XImageRgb& a, const XImageRgb& b, int last) {
    return std::equal(a.rgb.begin(), a.rgb.begin() + (last + 1) * a.width * 3, b.rgb.begin());
}

// First plus last index of the back wall's run along row `at` (or down
// column `at`), or -1. A turn about the vertical axis keeps a column's sum
// at the window's last row; a tilt changes it.
int backRunEnds(const XImageRgb& frame, int at, bool alongRow) {
    int first = -1, last = -1;
    for (int i = 0; i < (alongRow ? frame.width : frame.height); ++i) {
        if (!showsFile(alongRow ? frame.pixel(i, at) : frame.pixel(at, i), kBackFile)) continue;
        if (first < 0) first = i;
        last = i;
    }
    return first < 0 ? -1 : first + last;
}

// The moon's first row where start-up puts it: every vertex scaled, turned
// 1.3 about y, and half a turn about x by the cube's rest pose.
int startTopRow() {
    int top = kWinHeight;
    const double cb = std::cos(1.3), sb = std::sin(1.3);
    for (const std::array<float, 3>& v : fxDefaultMoon().verts) {
        const double x = FX_LOAD_SCALE * v[0], y = FX_LOAD_SCALE * v[1], z = FX_LOAD_SCALE * v[2];
        top = std::min(top, restPixel(x * cb - z * sb, -y, -z * cb - x * sb).y);
    }
    return top;
}

class ZibbetE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (scripts/with-xvfb.sh gives one)";
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        dir = testDir();
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (dpy) XCloseDisplay(dpy);
        if (HasFailure())
            std::printf("The run's stderr:\n%s\n", fxReadFile(dir + "/stderr.txt").c_str());
        if (!dir.empty() && keepDir.empty()) std::filesystem::remove_all(dir);
    }

    // Writes the scene and the face files but the missing ones, starts the
    // program and waits for its window; 0 when none came.
    Window start(unsigned missing) {
        if (!fxWriteFile(dir + "/bmoon1m.3ds", fxDefaultScene())) return 0;
        writeFaceFiles(dir, solidFace, missing);
        pid = fxStartDemo(ZIBBET_BINARY, dir, dir + "/console.txt", dir + "/stderr.txt");
        if (pid <= 0) return 0;
        Window w = 0;
        fxPollUntil(kStartTimeoutMs, kPollMs, [&] {
            w = xFindWindow(dpy, kTitlePrefix);
            return w || ended();
        });
        return w;
    }
    bool ended() {
        if (pid <= 0) return true;
        if (waitpid(pid, &status, WNOHANG) != pid) return false;
        pid = -1;
        return true;
    }
    std::string console() { return fxReadFile(dir + "/console.txt"); }
    // The console so far, with the banner's free notice line masked.
    std::string transcript() {
        std::string text = console();
        const size_t from = text.find('\n') + 1, to = text.find('\n', from);
        if (from > 0 && to != std::string::npos && to > from) text.replace(from, to - from, kAnyLine);
        return text;
    }
    // Waits until the console's lines after the help number n (or the program ended).
    std::vector<std::string> linesAfterHelp(size_t n) {
        std::vector<std::string> after;
        fxPollUntil(kFrameTimeoutMs, kPollMs, [&] {
            const std::vector<std::string> lines = fxSplitLines(console());
            auto help = std::find(lines.begin(), lines.end(), kHelpEnd);
            after.assign(help == lines.end() ? help : help + 1, lines.end());
            return (help != lines.end() && after.size() >= n) || ended();
        });
        return after;
    }
    // Grabs frames until done holds for one; false when none did in time.
    bool pollFrame(Window w, XImageRgb& frame, const std::function<bool()>& done,
                   int timeoutMs = kFrameTimeoutMs) {
        const bool seen = fxPollUntil(timeoutMs, kPollMs, [&] {
            return ended() || (xGrab(dpy, w, frame) && frame.width == kWinWidth && done());
        });
        return seen && pid > 0;
    }
    // The first frame that differs from previous, or the last one grabbed.
    XImageRgb nextFrame(Window w, const XImageRgb& previous) {
        XImageRgb frame;
        pollFrame(w, frame, [&] { return frame.rgb != previous.rgb; }, 10000);
        return frame;
    }
    // Escape ends the program at once with status 0 and nothing more printed.
    void expectEscapeEnds(Window w) {
        const std::string before = console();
        ASSERT_TRUE(xTapKeysym(dpy, w, XK_Escape));
        ASSERT_TRUE(fxPollUntil(kExitTimeoutMs, kPollMs, [&] { return ended(); }))
            << "Escape did not end zibbet";
        ASSERT_TRUE(WIFEXITED(status)) << "zibbet ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(console(), before) << "printed after Escape";
    }

    Display* dpy = nullptr;
    std::string dir;
    std::string keepDir; // a run whose files stay
    pid_t pid = -1;
    int status = 0;
};

long envNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

// The lowest of ten readings of a process's resident memory over one
// second, in kB: the driver allocates and frees buffers within every frame.
long residentKb(pid_t pid) {
    long least = -1;
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        long size = 0, pages = -1;
        std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> pages;
        if (pages >= 0 && (least < 0 || pages < least)) least = pages;
    }
    return least < 0 ? -1 : least * (sysconf(_SC_PAGESIZE) / 1024);
}

constexpr int kDragSteps = 8;
constexpr int kTurnOffset = 40;  // pixels right of the centre: a slow turn about y
constexpr int kFallPixels = 20;  // a drop that no wobble gives
constexpr int kStopFrames = 3;   // frames let pass before the cube must stand still
constexpr int kStillFrames = 40; // frames over which it must not move

} // namespace

TEST_F(ZibbetE2e, StartsFallsTogglesTurnsStopsAndEndsOnEscape) {
    // The left wall's file is missing: reported.
    const unsigned missing = 1u << kLeftFile;
    const Window w = start(missing);
    ASSERT_NE(w, 0u) << "no window; console:\n" << console();

    char* name = nullptr;
    ASSERT_TRUE(XFetchName(dpy, w, &name) && name);
    EXPECT_STREQ(name, appTitle);
    XFree(name);
    std::array<int, 4> place{-1, -1, 0, 0}; // x, y, width, height
    ASSERT_TRUE(xWindowGeometry(dpy, w, place[0], place[1], place[2], place[3]));
    EXPECT_EQ(place, (std::array{0, 0, kWinWidth, kWinHeight}));
    EXPECT_TRUE(linesAfterHelp(0).empty());
    EXPECT_EQ(transcript(), expectedStartup(missing));

    XImageRgb frame;
    ASSERT_TRUE(pollFrame(w, frame, [&] {
        return showsFile(frame.pixel(kBackPoint.x, kBackPoint.y), kBackFile);
    })) << "the back wall does not show its file";

    // The body hangs in the middle and falls.
    const XRgb wall = frame.pixel(kBackPoint.x, kBackPoint.y);
    const int startTop = startTopRow();
    BodyView body;
    ASSERT_TRUE(pollFrame(w, frame, [&] {
        body = bodyOnBackWall(frame, wall);
        return body.pixels >= kMinBodyPixels && body.top >= startTop + kFallPixels;
    })) << body.pixels << " body pixels, top at row " << body.top << ", it started at " << startTop;
    EXPECT_NEAR(body.centreX, kWinWidth / 2.0, 15);

    // The keys, either case, print their line and change the body's look
    // (it starts mirrored).
    enum Look { MIRROR, SMOOTH_GREY, FLAT_GREY };
    const struct {
        KeySym key;
        const char* line;
        Look look;
    } keys[] = {{XK_e, "Toggling cube environment mapping mode.", SMOOTH_GREY},
                {XK_s, "Toggling gouraud shading.", FLAT_GREY},
                {XK_S, "Toggling gouraud shading.", SMOOTH_GREY},
                {XK_E, "Toggling cube environment mapping mode.", MIRROR}};
    std::vector<std::string> printed;
    for (const auto& key : keys) {
        ASSERT_TRUE(xTapKeysym(dpy, w, key.key));
        printed.push_back(key.line);
        ASSERT_EQ(linesAfterHelp(printed.size()), printed);
        GreyView grey;
        ASSERT_TRUE(pollFrame(w, frame, [&] {
            grey = greyBody(frame);
            if (key.look == MIRROR) return grey.pixels == 0;
            return grey.pixels >= kMinBodyPixels &&
                   (key.look == FLAT_GREY ? grey.flatShare > kFlatAbove
                                          : grey.flatShare < kSmoothBelow);
        })) << XKeysymToString(key.key) << ": " << grey.pixels << " grey, " << grey.flatShare << " flat";
    }

    // Dragged right of the centre, the cube turns about the vertical axis:
    // the back wall swings left, nothing tilts. Above upperEnd only walls.
    const int upperEnd = startTop - kFallPixels;
    const int row = restPixel(0.0, 10.0, -kHalfEdge).y;
    const int column = restPixel(-12.0, 0.0, -kHalfEdge).x; // clear of the body
    const Pixel ceiling = restPixel(0.0, kHalfEdge, 4.0);
    const int restEnds = backRunEnds(frame, row, true);
    ASSERT_NEAR(restEnds, kWinWidth, 2);
    ASSERT_NEAR(backRunEnds(frame, column, false), kWinHeight - 1, 2);
    const int cx = kWinWidth / 2, cy = kWinHeight / 2;
    ASSERT_TRUE(xDrag(dpy, w, cx, cy, cx + kTurnOffset, cy, kDragSteps));
    int ends = restEnds;
    ASSERT_TRUE(pollFrame(w, frame, [&] {
        ends = backRunEnds(frame, row, true);
        return std::abs(ends - restEnds) > 10;
    })) << "the back wall stays at column " << ends / 2;
    EXPECT_TRUE(ends >= 0 && ends < restEnds) << "the back wall swings right or leaves its row";
    EXPECT_TRUE(showsFile(frame.pixel(ceiling.x, ceiling.y), kCeilingFile));
    EXPECT_NEAR(backRunEnds(frame, column, false), kWinHeight - 1, 2) << "the cube tilts";
    // With the button up it goes on turning.
    for (int i = 0; i < 2; ++i) {
        const XImageRgb before = frame;
        ASSERT_TRUE(pollFrame(w, frame, [&] { return !sameTop(before, frame, upperEnd); }))
            << "the walls stopped moving after the drag";
        EXPECT_TRUE(showsFile(frame.pixel(ceiling.x, ceiling.y), kCeilingFile));
    }
    // A drag that ends at the centre stops it, a few frames later.
    ASSERT_TRUE(xDrag(dpy, w, cx + 10, cy, cx, cy, kDragSteps));
    XImageRgb stopped = frame;
    for (int i = 0; i < kStopFrames; ++i)
        stopped = nextFrame(w, stopped);
    XImageRgb later = stopped;
    for (int i = 0; i < kStillFrames; ++i) {
        const XImageRgb next = nextFrame(w, later);
        if (next.rgb == later.rgb) break; // nothing moves at all
        later = next;
    }
    EXPECT_TRUE(sameTop(stopped, later, upperEnd)) << "the walls still move";
    if (HasFailure()) writePngRgb(dir + "/last.png", frame.width, frame.height, frame.rgb);

    expectEscapeEnds(w);
}

// make soak-gui (README): random drags and keys for SOAK_SECONDS, memory read
// every 10 s; the files stay in SOAK_DIR.
TEST_F(ZibbetE2e, DISABLED_SoakGui) {
    const long seconds = envNumber("SOAK_SECONDS", 600);
    std::mt19937 rng(static_cast<unsigned>(envNumber("SOAK_SEED", 20240601)));
    const auto pick = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    if (const char* keep = std::getenv("SOAK_DIR")) {
        std::filesystem::remove_all(dir);
        keepDir = dir = keep;
        std::filesystem::create_directories(dir);
    }
    const Window w = start(0);
    ASSERT_NE(w, 0u) << "no window; console:\n" << console();
    std::printf("soak-gui: zibbet (pid %d) for %ld s, files in %s\n", pid, seconds, dir.c_str());
    // Keys to press at random: the four that toggle the body's drawing and
    // keys the program ignores. First every drawing mode once, with the cube
    // turning: what the driver builds once for each is built before the
    // memory is compared from the first minute on.
    const KeySym keys[] = {XK_e,    XK_s,  XK_E,     XK_S,       XK_a,        XK_q,
                           XK_z,    XK_1,  XK_space, XK_Return,  XK_Tab,      XK_BackSpace,
                           XK_Left, XK_Up, XK_F1,    XK_Shift_L, XK_Control_L};
    for (int k = 0; k < 4; ++k) {
        xTapKeysym(dpy, w, keys[k]);
        xDrag(dpy, w, 250, 300, 290, 320, 4);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    long base = -1, most = -1;
    const int64_t startCount = platCounter();
    for (long next = 0, elapsed = 0; elapsed < seconds && !ended();) {
        if (elapsed >= next) {
            const long kb = residentKb(pid);
            if (elapsed >= 60 && base < 0) base = kb;
            if (base >= 0) most = std::max(most, kb);
            std::printf("soak-gui: %4ld s  resident %ld kB\n", elapsed, kb);
            std::fflush(stdout);
            next += 10;
        }
        // Of ten actions, six drags with a random button, four key presses.
        if (pick(0, 9) < 6) {
            const int x0 = pick(0, kWinWidth - 1), y0 = pick(0, kWinHeight - 1);
            const int x1 = pick(0, kWinWidth - 1), y1 = pick(0, kWinHeight - 1);
            xDrag(dpy, w, x0, y0, x1, y1, pick(1, 12), static_cast<unsigned>(pick(1, 3)));
        } else {
            xTapKeysym(dpy, w, keys[pick(0, 16)]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(100, 1500)));
        elapsed = static_cast<long>((platCounter() - startCount) / platCounterFrequency());
    }
    ASSERT_FALSE(ended()) << "zibbet ended before the soak did, status " << status;
    XImageRgb frame; // the last look, for whoever runs the soak
    if (xGrab(dpy, w, frame)) writePngRgb(dir + "/last.png", frame.width, frame.height, frame.rgb);
    if (base > 0) {
        const double growth = static_cast<double>(most - base) / static_cast<double>(base);
        std::printf("soak-gui: resident %ld kB at 60 s, most after it %ld kB: growth %.3f %%\n",
                    base, most, 100.0 * growth);
        EXPECT_LT(growth, 0.01);
    }
    expectEscapeEnds(w);
}
