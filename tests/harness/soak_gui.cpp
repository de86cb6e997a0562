// zibbet-soak-gui: an endurance run of the real program on an X server. The
// zibbet binary is started in a directory of its own holding the default
// scene and six solid-colour face files, then driven for a set time with
// random drags and random key presses (keys that do nothing among them)
// through XTest, as the window tests drive it; its resident memory is read
// every 10 s. It passes when the program is alive at the end, its last
// screenshot still shows the cube's walls, its memory after the first minute
// grew by less than 1 %, and Escape then ends it with status 0.
//
// The first minute is the warm-up the memory check allows: it starts by
// taking the body through all four drawing modes, so that what the GL driver
// builds once for each is built before the memory is compared. Each memory
// reading is the lowest of several over one second: the driver allocates and
// frees buffers within every frame (the cube map is uploaded each frame), and
// a reading taken inside a frame would count them.
//
//   zibbet-soak-gui --program ZIBBET --dir DIR [--seconds S] [--seed N]
//
// Sections: options; run directory; child; input; checks; main.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/moon_scene.h"
#include "tests/support/run_command.h"
#include "tools/common/png_writer.h"
#include "tools/common/tga_writer.h"
#include "tests/harness/xclient.h"

namespace {

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
constexpr long kDefaultSeconds = 600;
constexpr unsigned kDefaultSeed = 20240601u;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    const char* program = nullptr;
    const char* dir = nullptr;
    long seconds = kDefaultSeconds;
    unsigned seed = kDefaultSeed;
};

int usage() {
    std::fprintf(stderr, "usage: zibbet-soak-gui --program ZIBBET --dir DIR [--seconds S] "
                         "[--seed N]\n");
    return kExitUsage;
}

bool parseOptions(int argc, char** argv, Options& opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) return false;
        char* end = nullptr;
        if (arg == "--program") {
            opt.program = value;
        } else if (arg == "--dir") {
            opt.dir = value;
        } else if (arg == "--seconds") {
            opt.seconds = std::strtol(value, &end, 10);
            if (*end != '\0' || opt.seconds < 1) return false;
        } else if (arg == "--seed") {
            opt.seed = static_cast<unsigned>(std::strtoul(value, &end, 10));
            if (*end != '\0') return false;
        } else {
            return false;
        }
        ++i;
    }
    return opt.program && opt.dir;
}

// ---------------------------------------------------------------------------
// Run directory
// ---------------------------------------------------------------------------
constexpr int kFaces = 6;
constexpr int kFaceSize = 256; // pixels, both ways

// Each face file is one colour with every channel full or empty, no two
// alike and none grey: lit any way, a wall keeps exactly the empty channels
// of its file at 0, which neither the black background nor the grey body do.
const uint8_t kFaceColour[kFaces][3] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                                        {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};

bool writeRunFiles(const std::string& dir) {
    std::error_code err;
    std::filesystem::create_directories(dir, err);
    if (err || !fxWriteFile(dir + "/bmoon1m.3ds", fxDefaultScene())) return false;
    for (int k = 0; k < kFaces; ++k) {
        FxBytes rgba;
        rgba.reserve(static_cast<size_t>(kFaceSize) * kFaceSize * 4);
        for (int p = 0; p < kFaceSize * kFaceSize; ++p)
            rgba.insert(rgba.end(), {kFaceColour[k][0], kFaceColour[k][1], kFaceColour[k][2], 255});
        if (!fxWriteFile(dir + "/" + std::to_string(k) + ".tga",
                         fxTgaRgba(kFaceSize, kFaceSize, rgba)))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Child
// ---------------------------------------------------------------------------
pid_t child = -1;

void endChild() {
    if (child > 0) kill(child, SIGKILL);
}

// Starts the program in dir, its console going to console.txt and
// stderr.txt there. The child dies with this process.
bool startChild(const char* program, const std::string& dir) {
    const pid_t pid = fxStartDemo(program, dir, dir + "/console.txt", dir + "/stderr.txt");
    if (pid < 0) return false;
    child = pid;
    std::atexit(endChild);
    return true;
}

// True while the child runs; once it has ended, *status holds its wait status.
bool childAlive(int* status) {
    if (child <= 0) return false;
    if (waitpid(child, status, WNOHANG) != child) return true;
    child = -1;
    return false;
}

// The child's resident memory in kB (VmRSS), or -1.
long residentKb(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

constexpr int kReadings = 10; // per memory sample, spread over one second
constexpr int kReadingGapMs = 100;

// The lowest of kReadings readings of the child's resident memory, or -1.
long childResidentKb(pid_t pid) {
    long least = -1;
    for (int i = 0; i < kReadings; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kReadingGapMs));
        const long kb = residentKb(pid);
        if (kb >= 0 && (least < 0 || kb < least)) least = kb;
    }
    return least;
}

std::string describeStatus(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------

// Keys to press at random: the two that toggle the body's drawing in either
// case, and keys the program ignores (letters, digits, space, Return, Tab,
// arrows, function and modifier keys). Escape ends the run and is pressed
// only at the end.
const KeySym kKeys[] = {XK_e,    XK_E,  XK_s,     XK_S,       XK_a,        XK_q,
                        XK_z,    XK_1,  XK_space, XK_Return,  XK_Tab,      XK_BackSpace,
                        XK_Left, XK_Up, XK_F1,    XK_Shift_L, XK_Control_L};

constexpr int kMinPauseMs = 100; // between two actions
constexpr int kMaxPauseMs = 1500;
constexpr int kMaxDragSteps = 12;
constexpr unsigned kButtons = 3;
constexpr int kDragsInTen = 6; // of ten actions, drags; the others are keys

struct Actions {
    long drags = 0;
    long keys = 0;
};

// The warm-up's keys: environment mapping off, flat shading, mapping back on,
// gouraud back: every drawing mode of the body once, ending where it began,
// each shown for a while with the cube turning.
const KeySym kWarmUpKeys[] = {XK_e, XK_s, XK_E, XK_S};
constexpr int kWarmUpPauseMs = 2000;
// Window pixels: from the centre of the 500 x 600 window to 40 right and 20
// down, a slow turn about two axes.
constexpr int kWarmUpDrag[4] = {250, 300, 290, 320};

void warmUp(Display* dpy, Window w, Actions& done) {
    for (KeySym key : kWarmUpKeys) {
        if (xTapKeysym(dpy, w, key)) ++done.keys;
        if (xDrag(dpy, w, kWarmUpDrag[0], kWarmUpDrag[1], kWarmUpDrag[2], kWarmUpDrag[3], 4))
            ++done.drags;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWarmUpPauseMs));
    }
}

void randomAction(Display* dpy, Window w, std::mt19937& rng, Actions& done) {
    int x = 0, y = 0, width = 0, height = 0;
    if (!xWindowGeometry(dpy, w, x, y, width, height) || width < 2 || height < 2) return;
    if (std::uniform_int_distribution<int>(0, 9)(rng) < kDragsInTen) {
        std::uniform_int_distribution<int> px(0, width - 1), py(0, height - 1);
        const int x0 = px(rng), y0 = py(rng), x1 = px(rng), y1 = py(rng);
        const int steps = std::uniform_int_distribution<int>(1, kMaxDragSteps)(rng);
        const unsigned button = std::uniform_int_distribution<unsigned>(1, kButtons)(rng);
        if (xDrag(dpy, w, x0, y0, x1, y1, steps, button)) ++done.drags;
    } else {
        const size_t k = std::uniform_int_distribution<size_t>(0, std::size(kKeys) - 1)(rng);
        if (xTapKeysym(dpy, w, kKeys[k])) ++done.keys;
    }
}

// ---------------------------------------------------------------------------
// Checks
// ---------------------------------------------------------------------------
constexpr long kSampleSeconds = 10;
constexpr long kMemoryBaseSeconds = 60; // growth counts from the first sample after this
constexpr double kMaxGrowth = 0.01;     // share of that sample
constexpr double kMinWallShare = 0.4;   // of the window's pixels
constexpr int kMinWalls = 3;            // distinct walls seen at any pose
constexpr int kStartTimeoutMs = 120000;
constexpr int kExitTimeoutMs = 30000;
constexpr int kPollMs = 100;

// The face file whose colour the pixel shows, lit any way, or -1.
int wallOf(const uint8_t* rgb) {
    for (int k = 0; k < kFaces; ++k) {
        bool match = true;
        bool lit = false;
        for (int c = 0; c < 3 && match; ++c) {
            if (kFaceColour[k][c] == 0)
                match = rgb[c] == 0;
            else
                lit = lit || rgb[c] > 0;
        }
        if (match && lit) return k;
    }
    return -1;
}

struct WallView {
    double share = 0.0; // of the pixels showing some wall
    int walls = 0;      // distinct walls seen
};

WallView wallsIn(const XImageRgb& frame) {
    long count[kFaces] = {};
    long shown = 0;
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const int k = wallOf(frame.at(x, y));
            if (k < 0) continue;
            ++count[k];
            ++shown;
        }
    }
    WallView v;
    const long pixels = static_cast<long>(frame.width) * frame.height;
    v.share = pixels > 0 ? static_cast<double>(shown) / pixels : 0.0;
    for (long c : count)
        v.walls += c > 0;
    return v;
}

struct Sample {
    long second;
    long kb; // the lowest reading over one second
};

} // namespace

// ---------------------------------------------------------------------------
// Main
// ---------------------------------------------------------------------------
int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, opt)) return usage();
    const std::string dir = opt.dir;
    if (!writeRunFiles(dir)) {
        std::fprintf(stderr, "zibbet-soak-gui: cannot write the run's files in %s\n", dir.c_str());
        return kExitFailed;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "zibbet-soak-gui: cannot open the X display\n");
        return kExitFailed;
    }
    // The child starts in the run directory: a relative path would miss.
    const std::string program = std::filesystem::absolute(opt.program).string();
    if (!startChild(program.c_str(), dir)) {
        std::fprintf(stderr, "zibbet-soak-gui: cannot start %s\n", program.c_str());
        return kExitFailed;
    }
    int status = 0;
    Window w = 0;
    for (int waited = 0; !w && waited < kStartTimeoutMs; waited += kPollMs) {
        if (!childAlive(&status)) {
            std::fprintf(stderr, "zibbet-soak-gui: zibbet %s before its window came up; see %s\n",
                         describeStatus(status).c_str(), dir.c_str());
            return kExitFailed;
        }
        w = xFindWindow(dpy, "Zibbet v0.9 ");
        if (!w) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    if (!w) {
        std::fprintf(stderr, "zibbet-soak-gui: no window came up; see %s\n", dir.c_str());
        return kExitFailed;
    }
    std::printf("zibbet-soak-gui: driving zibbet (pid %d) for %ld s, seed %u, files in %s\n",
                static_cast<int>(child), opt.seconds, opt.seed, dir.c_str());
    std::fflush(stdout);

    std::mt19937 rng(opt.seed);
    Actions done;
    std::vector<Sample> samples;
    bool alive = true;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(opt.seconds);
    long nextSample = 0;
    warmUp(dpy, w, done);
    while (alive && Clock::now() < deadline) {
        const long elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
        if (elapsed >= nextSample) {
            samples.push_back({elapsed, childResidentKb(child)});
            std::printf("zibbet-soak-gui: %4ld s  resident %ld kB  (%ld drags, %ld keys)\n",
                        elapsed, samples.back().kb, done.drags, done.keys);
            std::fflush(stdout);
            nextSample += kSampleSeconds;
        }
        randomAction(dpy, w, rng, done);
        const int pause = std::uniform_int_distribution<int>(kMinPauseMs, kMaxPauseMs)(rng);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        alive = childAlive(&status);
    }
    if (alive) samples.push_back({opt.seconds, childResidentKb(child)});

    // Alive at the end, and its last frame shows the walls.
    bool ok = alive;
    std::printf("zibbet-soak-gui: alive at the end: %s\n",
                alive ? "yes -- ok" : ("no, " + describeStatus(status) + " -- FAIL").c_str());
    XImageRgb frame;
    if (alive && xGrab(dpy, w, frame)) {
        const std::string shot = dir + "/last.png";
        writePngRgb(shot, frame.width, frame.height, frame.rgb);
        const WallView view = wallsIn(frame);
        const bool wallsOk = view.walls >= kMinWalls && view.share >= kMinWallShare;
        ok = ok && wallsOk;
        std::printf("zibbet-soak-gui: last screenshot %s: %d walls on %.0f %% of the window "
                    "(needs %d on %.0f %%) -- %s\n",
                    shot.c_str(), view.walls, 100.0 * view.share, kMinWalls, 100.0 * kMinWallShare,
                    wallsOk ? "ok" : "FAIL");
    } else if (alive) {
        ok = false;
        std::printf("zibbet-soak-gui: no screenshot of the window -- FAIL\n");
    }

    // Memory from the first minute on.
    long base = -1, most = -1, baseAt = 0;
    for (const Sample& s : samples) {
        if (s.kb < 0) continue;
        if (base < 0 && s.second >= kMemoryBaseSeconds) {
            base = s.kb;
            baseAt = s.second;
        }
        if (base >= 0 && s.kb > most) most = s.kb;
    }
    if (base > 0) {
        const double growth = static_cast<double>(most - base) / static_cast<double>(base);
        const bool memoryOk = growth < kMaxGrowth;
        ok = ok && memoryOk;
        std::printf("zibbet-soak-gui: resident %ld kB at %ld s, most after it %ld kB: growth "
                    "%.3f %% (under %.0f %%) -- %s\n",
                    base, baseAt, most, 100.0 * growth, 100.0 * kMaxGrowth,
                    memoryOk ? "ok" : "FAIL");
    } else {
        std::printf("zibbet-soak-gui: memory growth not measured (needs more than %ld s)\n",
                    kMemoryBaseSeconds);
    }

    // Escape ends it with status 0.
    if (alive) {
        xTapKeysym(dpy, w, XK_Escape);
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kExitTimeoutMs);
        while (childAlive(&status) && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const bool ended = child < 0;
        const bool exitOk = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ok = ok && exitOk;
        std::printf("zibbet-soak-gui: Escape: %s -- %s\n",
                    ended ? describeStatus(status).c_str() : "still running after 30 s",
                    exitOk ? "ok" : "FAIL");
    }
    std::printf("zibbet-soak-gui: %ld drags, %ld key presses\n", done.drags, done.keys);
    std::printf("zibbet-soak-gui: %s\n", ok ? "PASS" : "FAIL");
    XCloseDisplay(dpy);
    return ok ? 0 : kExitFailed;
}
