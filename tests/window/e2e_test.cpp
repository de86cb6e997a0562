// The whole program end to end: the real zibbet binary started in a directory
// of test-made files on the harness's Xvfb, its console read back from a file,
// its window watched and driven from outside through XTest.
//
// Every wait polls against a generous deadline and nothing is asserted about
// timing: the machine may be loaded and the binary built with sanitizers.
//
// Sections: child process; scene, faces and transcript; frames; tests.
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "face_files.h"
#include "platform/platform.h"
#include "tools/common/moon_scene.h"
#include "tools/common/png_writer.h"
#include "tests/support/run_command.h"
#include "tools/common/writer3ds.h"
#include "xvfb_harness.h"

namespace {

const char* const kBinary = ZIBBET_BINARY;
const char* const kTitlePrefix = "Zibbet v0.9 ";
const char* const kSceneFile = "bmoon1m.3ds";
const char* const kOutputFile = "console.txt"; // the child's stdout
const char* const kErrorFile = "stderr.txt";

constexpr int kStartTimeoutMs = 120000; // window up, sanitizer build on a busy machine
constexpr int kFrameTimeoutMs = 60000;  // a change to show in the frames
constexpr int kExitTimeoutMs = 30000;
constexpr int kKillTimeoutMs = 5000;
constexpr int kPollMs = 20;

// ---------------------------------------------------------------------------
// Child process
// ---------------------------------------------------------------------------

// One run of the program. The destructor ends a child still running, so no
// failed assertion leaves a stray process behind.
struct ZibbetRun {
    pid_t pid = -1;
    int status = -1; // wait status once the child has ended
    std::string dir;
    ZibbetRun() = default;
    ZibbetRun(const ZibbetRun&) = delete;
    ZibbetRun& operator=(const ZibbetRun&) = delete;
    ~ZibbetRun();
};

bool runEnded(ZibbetRun& run) {
    if (run.pid <= 0) return true;
    int status = 0;
    if (waitpid(run.pid, &status, WNOHANG) != run.pid) return false;
    run.status = status;
    run.pid = -1;
    return true;
}

bool runWaitExit(ZibbetRun& run, int timeoutMs) {
    return fxPollUntil(timeoutMs, kPollMs, [&] { return runEnded(run); });
}

void runKill(ZibbetRun& run) {
    if (run.pid <= 0) return;
    kill(run.pid, SIGKILL);
    if (!runWaitExit(run, kKillTimeoutMs)) ADD_FAILURE() << "zibbet " << run.pid << " lingers";
}

ZibbetRun::~ZibbetRun() {
    runKill(*this);
}

// Starts the program in dir with stdout and stderr going to files there.
bool runStart(ZibbetRun& run, const std::string& dir) {
    run.dir = dir;
    run.pid = fxStartDemo(kBinary, dir, dir + "/" + kOutputFile, dir + "/" + kErrorFile);
    return run.pid > 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string runOutput(const ZibbetRun& run) {
    return readFile(run.dir + "/" + kOutputFile);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// One line after the other: a failed comparison shows as a line diff.
std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

bool outputHasLine(const ZibbetRun& run, const std::string& line) {
    return runOutput(run).find("\n" + line + "\n") != std::string::npos;
}

} // namespace

// ---------------------------------------------------------------------------
// Scene, faces and transcript
// ---------------------------------------------------------------------------
namespace {

constexpr int kFaces = 6;

// Each face file is one solid colour, every channel full or empty, no two
// alike: whatever its lighting, a wall shows which file it was made from,
// and neither a wall nor a reflection of one is ever grey.
const XRgb kFaceColour[kFaces] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                                  {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};

// The file each wall of the cube at rest shows. The cube's faces take one
// texture each in the order they are built (floor, front, right, ceiling,
// left, back), the textures come from the files 2, 5, 0, 3, 1, 4, and from
// the first step on the cube stands turned half a turn about x: the face
// built as the floor is the ceiling, the front is the back.
constexpr int kCeilingFile = 2;
constexpr int kBackFile = 5;
constexpr int kRightFile = 0;
constexpr int kFloorFile = 3;
constexpr int kLeftFile = 1;

// Start-up turns every scene object once about y after scaling it by
// FX_LOAD_SCALE.
constexpr double kBodyTurnY = 1.3; // radians
constexpr int kFirstBodyOid = 2;   // after the Forces object and the cube
constexpr int kFirstSceneMat = 3;  // after "default", grey and yellow

const char* const kAnyLine = "<any line>";
const char* const kHelpEnd = " s: Toggle Flat/Gouraud.";

struct Scene {
    std::vector<FxMesh> meshes;
    std::vector<FxMaterial> materials;
};

Scene moonScene() {
    return {{fxDefaultMoon()}, {fxMoonMaterial()}};
}

// A fresh directory for one test's files and its console.
std::string makeRunDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        ::testing::TempDir() + "zibbet_e2e_" + info->name() + "_" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

bool writeScene(const std::string& dir, const Scene& scene) {
    return fxWriteFile(dir + "/" + kSceneFile, fx3dsScene(scene.meshes, scene.materials));
}

// Writes k.tga for every file k whose bit is not set in missing.
bool writeSolidFaces(const std::string& dir, unsigned missing = 0) {
    const FacePixelFn solid = [](int file, int, int) -> FaceRgba {
        const XRgb& c = kFaceColour[file];
        return {static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.b),
                255};
    };
    for (int k = 0; k < kFaces; ++k)
        if (!(missing & (1u << k))) writeFaceTga(dir + "/" + std::to_string(k) + ".tga", k, solid);
    return !::testing::Test::HasFatalFailure();
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// Banner and world set-up, then the bounding cube.
std::vector<std::string> expectedWorldAndCube() {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<std::string> lines = {"Zibbet. A physical demo.", kAnyLine,
                                      format("Number of CPU: %ld", cpus)};
    if (cpus > 1) lines.push_back("*INFO* SMP support is not yet available.");
    lines.insert(lines.end(),
                 {"Core using 1 thread.", "Initializing physical objects...",
                  "  simInitWorld(): World name =\"Hello_World\"",
                  "  simAddObject(): Object id=0  name=\"Forces\"  flags=$2",
                  "  simAddObject(): >>> Setting system forces object (oid=0) <<<",
                  "  simAddMat(): Added material (id=0)", "  simAddMat(): Added material (id=1)",
                  "  simAddMat(): Added material (id=2)", "  simAddFForce():  fid=$1",
                  "  simAddObject(): Object id=1  name=\"CubeObj\"  flags=$6003c09",
                  "  simSetBCube(): Setting Bounding Cube (oid=1)."});
    return lines;
}

// The scene's lines: the reader's count, then per object the conversion with
// the counts of the scene as written.
std::vector<std::string> expectedScene(const Scene& scene) {
    std::vector<std::string> lines = {
        "", format("  simLoad3DS(): Loaded scene contains %zu objects.", scene.meshes.size())};
    int oid = kFirstBodyOid;
    int mat = kFirstSceneMat;
    for (const FxMesh& mesh : scene.meshes) {
        lines.insert(lines.end(),
                     {"simConv3DSObj: Physicalizing object...",
                      "*** WARNING *** Couldn't check OpenGL extensions.",
                      format("  simConv3DSobj(): Converting object \"%s\"", mesh.name.c_str()),
                      format("  simAddObject(): Object id=%d  name=\"%s\"  flags=$5004e21", oid,
                             mesh.name.c_str()),
                      format("  simConv3DSobj(): %zu faces, %zu verts, %zu mats", mesh.faces.size(),
                             mesh.verts.size(), mesh.groups.size()),
                      format("  simConv3DSobj(): Generated %ld complete springs for obj%d",
                             fxCountBandSprings(mesh, FX_LOAD_SCALE, FX_SPRING_BAND), oid)});
        for (size_t g = 0; g < mesh.groups.size(); ++g) {
            lines.push_back(format("  simConv3DSobj(): Converting material %zu (\"%s\")", g,
                                   mesh.groups[g].material.c_str()));
            lines.push_back(format("  simAddMat(): Added material (id=%d)", mat++));
        }
        ++oid;
    }
    return lines;
}

// Window set-up: the texture reader's lines for every file, missing ones
// reported, then the timer and the help.
std::vector<std::string> expectedWindow(unsigned missing) {
    std::vector<std::string> lines = {"Initializing OpenGL rendering engine..."};
    for (int k = 0; k < kFaces; ++k) {
        lines.push_back(format("TGA Reader loading file '%d.tga'", k));
        if (missing & (1u << k)) lines.insert(lines.end(), {"", "Error opening file."});
    }
    lines.insert(lines.end(),
                 {"Textures load completed.",
                  format("Sys performance timer freq: %" PRId64 " Hz", platCounterFrequency()), "",
                  "Use the mouse to rotate the cube.", "",
                  "Keys:", " e: Toggle Cube Environment Mapping.", kHelpEnd});
    return lines;
}

std::vector<std::string> expectedStartup(const Scene& scene, unsigned missing = 0) {
    std::vector<std::string> lines = expectedWorldAndCube();
    for (const std::vector<std::string>& more : {expectedScene(scene), expectedWindow(missing)})
        lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// The console so far, with the banner's free notice line masked.
std::vector<std::string> transcript(const ZibbetRun& run) {
    std::vector<std::string> lines = splitLines(runOutput(run));
    if (lines.size() > 1 && !lines[1].empty()) lines[1] = kAnyLine;
    return lines;
}

} // namespace

// ---------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------
namespace {

constexpr int kWinWidth = 500;
constexpr int kWinHeight = 600;
constexpr double kCameraDistance = 48.0; // the camera looks down -z at the origin
constexpr double kNearPlane = 2.0;
constexpr double kNearHalfWidth = 1.0; // a window taller than wide: 1 by 1.2
constexpr double kNearHalfHeight = 1.2;
constexpr double kHalfEdge = 16.0; // the bounding cube's edge is 32

constexpr int kLitChannel = 30; // a lit wall channel is brighter than this
constexpr int kEdgeMargin = 4;  // pixels kept clear of a wall's edge lines
constexpr int kMinBodyPixels = 2000;
constexpr int kCentreTolerance = 15; // pixels
constexpr int kFallPixels = 20;      // a drop that no wobble gives
constexpr int kMinGreyPixels = 2000;
constexpr double kFlatAbove = 0.35; // share of pixels that equal both side neighbours
constexpr double kSmoothBelow = 0.25;

struct Pixel {
    int x, y;
};

// Where a world point falls in the window while the cube is at rest.
Pixel restPixel(double x, double y, double z) {
    const double depth = kCameraDistance - z;
    const double nx = kNearPlane * x / depth / kNearHalfWidth;
    const double ny = kNearPlane * y / depth / kNearHalfHeight;
    return {static_cast<int>(std::floor((nx + 1.0) * 0.5 * kWinWidth)),
            static_cast<int>(std::floor((1.0 - ny) * 0.5 * kWinHeight))};
}

struct Rect {
    int x0, y0, x1, y1; // inclusive
};

// The back wall as the camera sees it, less a margin for its edge lines.
Rect backWallRect() {
    const Pixel a = restPixel(-kHalfEdge, kHalfEdge, -kHalfEdge);
    const Pixel b = restPixel(kHalfEdge, -kHalfEdge, -kHalfEdge);
    return {a.x + kEdgeMargin, a.y + kEdgeMargin, b.x - kEdgeMargin, b.y - kEdgeMargin};
}

// A point of the back wall that the body never hides.
const Pixel kBackPoint = restPixel(0.0, 12.0, -kHalfEdge);

bool sameRgb(const XRgb& a, const XRgb& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

std::string rgbText(const XRgb& c) {
    return format("(%d, %d, %d)", c.r, c.g, c.b);
}

// A wall lit any way shows its file's colour scaled: the channels the file
// leaves empty stay exactly 0, the others are lit.
bool showsFile(const XRgb& c, int file) {
    const XRgb& f = kFaceColour[file];
    const int got[3] = {c.r, c.g, c.b}, want[3] = {f.r, f.g, f.b};
    for (int i = 0; i < 3; ++i)
        if (want[i] ? got[i] <= kLitChannel : got[i] != 0) return false;
    return true;
}

bool isBlack(const XRgb& c) {
    return c.r == 0 && c.g == 0 && c.b == 0;
}

bool isGrey(const XRgb& c) {
    return c.r > 0 && c.r == c.g && c.g == c.b;
}

bool grabFrame(Display* dpy, Window w, XImageRgb& frame) {
    return xGrab(dpy, w, frame) && frame.width == kWinWidth && frame.height == kWinHeight;
}

// The body against the back wall: the pixels of the back wall's rectangle
// that are not the wall's own colour (read where the body never is).
struct BodyView {
    int pixels = 0;
    int top = -1; // first row holding the body
    double centreX = 0.0;
};

BodyView bodyOnBackWall(const XImageRgb& frame, const XRgb& wall) {
    const Rect r = backWallRect();
    BodyView v;
    double sumX = 0.0;
    for (int y = r.y0; y <= r.y1; ++y) {
        for (int x = r.x0; x <= r.x1; ++x) {
            if (sameRgb(frame.pixel(x, y), wall)) continue;
            if (v.top < 0) v.top = y;
            ++v.pixels;
            sumX += x;
        }
    }
    if (v.pixels) v.centreX = sumX / v.pixels;
    return v;
}

// The body drawn without environment mapping is grey; walls and reflections
// never are. Pixels count when their whole 3 x 3 neighbourhood is grey, which
// leaves out the one-pixel edge lines whatever their colour.
struct GreyView {
    int pixels = 0;
    double flatShare = 0.0; // share equal to both their left and right neighbours
};

GreyView greyBody(const XImageRgb& frame) {
    GreyView v;
    int flat = 0;
    for (int y = 1; y + 1 < frame.height; ++y) {
        for (int x = 1; x + 1 < frame.width; ++x) {
            bool grey = true;
            for (int dy = -1; dy <= 1 && grey; ++dy)
                for (int dx = -1; dx <= 1 && grey; ++dx)
                    grey = isGrey(frame.pixel(x + dx, y + dy));
            if (!grey) continue;
            ++v.pixels;
            const XRgb c = frame.pixel(x, y);
            if (sameRgb(c, frame.pixel(x - 1, y)) && sameRgb(c, frame.pixel(x + 1, y))) ++flat;
        }
    }
    if (v.pixels) v.flatShare = static_cast<double>(flat) / v.pixels;
    return v;
}

bool sameRows(const XImageRgb& a, const XImageRgb& b, int y0, int y1) {
    const size_t from = static_cast<size_t>(y0) * a.width * 3;
    const size_t to = static_cast<size_t>(y1 + 1) * a.width * 3;
    return std::equal(a.rgb.begin() + from, a.rgb.begin() + to, b.rgb.begin() + from);
}

// The back wall's run of pixels along one row: its middle column, or -1.
double backRunMiddle(const XImageRgb& frame, int y) {
    int first = -1, last = -1;
    for (int x = 0; x < frame.width; ++x) {
        if (!showsFile(frame.pixel(x, y), kBackFile)) continue;
        if (first < 0) first = x;
        last = x;
    }
    return first < 0 ? -1.0 : 0.5 * (first + last);
}

// The back wall's run of pixels down one column: the sum of its first and
// last rows. The cube is symmetric about the camera's level, and so is its
// picture under any turn about the vertical axis: the sum is the window's
// last row (up to rounding). A turn about any other axis tilts it.
int backColumnEnds(const XImageRgb& frame, int x) {
    int first = -1, last = -1;
    for (int y = 0; y < frame.height; ++y) {
        if (!showsFile(frame.pixel(x, y), kBackFile)) continue;
        if (first < 0) first = y;
        last = y;
    }
    return first < 0 ? -1 : first + last;
}

// The body's first row when it stands where start-up puts it: every mass
// scaled and turned as the conversion and the start-up turn do.
int startTopRow(const Scene& scene) {
    int top = kWinHeight;
    const double cb = std::cos(kBodyTurnY), sb = std::sin(kBodyTurnY);
    for (const FxMesh& mesh : scene.meshes) {
        for (const std::array<float, 3>& v : mesh.verts) {
            const double x = FX_LOAD_SCALE * v[0], y = FX_LOAD_SCALE * v[1],
                         z = FX_LOAD_SCALE * v[2];
            // Half a turn about x, then the turn about y.
            const Pixel p = restPixel(x * cb - z * sb, -y, -z * cb - x * sb);
            top = std::min(top, p.y);
        }
    }
    return top;
}

} // namespace

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------
namespace {

constexpr int kDragSteps = 8;
constexpr int kTurnOffset = 40;    // pixels right of the centre: a slow turn about y
constexpr int kStopFrom = 10;      // a stopping drag starts this far right of the centre
constexpr int kTurnPixels = 5;     // a shift that shows the back wall has turned
constexpr int kSymmetryPixels = 2; // rounding of a mirrored edge
constexpr int kNextFrameMs = 10000;
constexpr int kStopFrames = 3;   // frames let pass before the cube must stand still
constexpr int kStillFrames = 40; // frames over which it must not move

class ZibbetE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfbReady()) GTEST_SKIP() << xvfbMissingReason();
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
        dir = makeRunDir();
    }

    void TearDown() override {
        runKill(run);
        if (dpy) XCloseDisplay(dpy);
        if (dir.empty()) return;
        if (HasFailure())
            std::printf("The run's files are kept in %s; its stderr:\n%s\n", dir.c_str(),
                        readFile(dir + "/" + kErrorFile).c_str());
        else
            std::filesystem::remove_all(dir);
    }

    // Writes the scene and the face files but the missing ones, starts the
    // program and waits for its window; 0 when none came.
    Window startWith(const Scene& scene, unsigned missing = 0) {
        if (!writeScene(dir, scene) || !writeSolidFaces(dir, missing)) {
            ADD_FAILURE() << "cannot write the run's files in " << dir;
            return 0;
        }
        if (!runStart(run, dir)) return 0;
        Window w = 0;
        fxPollUntil(kStartTimeoutMs, kPollMs, [&] {
            w = xFindWindow(dpy, kTitlePrefix);
            return w || runEnded(run);
        });
        return w;
    }

    // Waits until the console holds the line (or the program has ended).
    bool waitLine(const std::string& line) {
        return fxPollUntil(kStartTimeoutMs, kPollMs,
                           [&] { return outputHasLine(run, line) || runEnded(run); }) &&
               outputHasLine(run, line);
    }

    // Grabs frames until done holds for one; false when none did in time.
    bool pollFrame(Window w, XImageRgb& frame, const std::function<bool()>& done,
                   int timeoutMs = kFrameTimeoutMs) {
        return fxPollUntil(timeoutMs, kPollMs,
                           [&] {
                               if (runEnded(run)) return true;
                               return grabFrame(dpy, w, frame) && done();
                           }) &&
               run.pid > 0;
    }

    // The first frame that differs from previous, or the last one grabbed
    // when nothing changed in time.
    XImageRgb nextFrame(Window w, const XImageRgb& previous) {
        XImageRgb frame;
        pollFrame(
            w, frame, [&] { return frame.rgb != previous.rgb; }, kNextFrameMs);
        return frame;
    }

    // Waits for the walls to be drawn: the wall at p shows its file.
    bool waitWall(Window w, XImageRgb& frame, Pixel p, int file) {
        return pollFrame(w, frame, [&] { return showsFile(frame.pixel(p.x, p.y), file); });
    }

    // Escape ends the program at once with status 0 and nothing more printed.
    void expectEscapeEnds(Window w) {
        const std::string before = runOutput(run);
        ASSERT_TRUE(xTapKeysym(dpy, w, XK_Escape));
        ASSERT_TRUE(runWaitExit(run, kExitTimeoutMs)) << "Escape did not end zibbet";
        ASSERT_TRUE(WIFEXITED(run.status)) << "zibbet ended by signal " << WTERMSIG(run.status);
        EXPECT_EQ(WEXITSTATUS(run.status), 0);
        const std::string after = runOutput(run);
        EXPECT_EQ(after.compare(0, before.size(), before), 0) << after;
        EXPECT_EQ(after.size(), before.size())
            << "printed after Escape: " << after.substr(std::min(before.size(), after.size()));
    }

    // Saves a frame beside the console, for a look after a failure.
    void keepFrame(const char* name, const XImageRgb& frame) {
        writePngRgb(dir + "/" + name + ".png", frame.width, frame.height, frame.rgb);
    }

    // The lines printed after the help text.
    std::vector<std::string> linesAfterHelp() {
        const std::vector<std::string> lines = splitLines(runOutput(run));
        auto help = std::find(lines.begin(), lines.end(), kHelpEnd);
        return help == lines.end() ? lines : std::vector<std::string>(help + 1, lines.end());
    }

    Display* dpy = nullptr;
    std::string dir;
    ZibbetRun run;
};

TEST_F(ZibbetE2e, StartsWithItsTranscriptWallsAndAFallingBodyAndEscapeEndsIt) {
    const Scene scene = moonScene();
    const Window w = startWith(scene);
    ASSERT_NE(w, 0u) << "no window; console:\n" << runOutput(run);

    // The window: titled with the program title, 500 x 600 at the top left.
    char* name = nullptr;
    ASSERT_TRUE(XFetchName(dpy, w, &name) && name);
    const std::string title = name;
    XFree(name);
    EXPECT_EQ(title.rfind("Zibbet v0.9 (", 0), 0u) << title;
    EXPECT_EQ(title.back(), ')') << title;
    int x = -1, y = -1, width = 0, height = 0;
    ASSERT_TRUE(xWindowGeometry(dpy, w, x, y, width, height));
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(width, kWinWidth);
    EXPECT_EQ(height, kWinHeight);

    ASSERT_TRUE(waitLine(kHelpEnd)) << runOutput(run);
    EXPECT_EQ(joinLines(transcript(run)), joinLines(expectedStartup(scene)));

    // Every wall shows its own file's colour.
    XImageRgb frame;
    ASSERT_TRUE(waitWall(w, frame, kBackPoint, kBackFile));
    const struct {
        double x, y, z;
        int file;
    } walls[] = {{-10, 10, -16, kBackFile}, {10, 10, -16, kBackFile}, {0, 12, -16, kBackFile},
                 {0, 16, 0, kCeilingFile},  {-16, 0, 0, kLeftFile},   {16, 0, 0, kRightFile},
                 {-10, -16, 0, kFloorFile}, {10, -16, 0, kFloorFile}};
    for (const auto& wall : walls) {
        const Pixel p = restPixel(wall.x, wall.y, wall.z);
        const XRgb c = frame.pixel(p.x, p.y);
        EXPECT_TRUE(showsFile(c, wall.file))
            << "(" << wall.x << ", " << wall.y << ", " << wall.z << ") at pixel " << p.x << ", "
            << p.y << " is " << rgbText(c) << ", not lit like " << wall.file << ".tga";
    }

    // The body hangs in the middle and falls.
    const XRgb wall = frame.pixel(kBackPoint.x, kBackPoint.y);
    BodyView body;
    ASSERT_TRUE(pollFrame(w, frame, [&] {
        body = bodyOnBackWall(frame, wall);
        return body.pixels >= kMinBodyPixels;
    })) << "no body in front of the back wall";
    EXPECT_NEAR(body.centreX, kWinWidth / 2.0, kCentreTolerance);
    const int startTop = startTopRow(scene);
    EXPECT_TRUE(pollFrame(w, frame,
                          [&] {
                              body = bodyOnBackWall(frame, wall);
                              return body.pixels >= kMinBodyPixels &&
                                     body.top >= startTop + kFallPixels;
                          }))
        << "the body's top stays at row " << body.top << ", it started at " << startTop;
    EXPECT_NEAR(body.centreX, kWinWidth / 2.0, kCentreTolerance);

    expectEscapeEnds(w);
}

TEST_F(ZibbetE2e, DragTurnsTheCubeAndADragEndingAtTheCentreStopsIt) {
    const Scene scene = moonScene();
    const Window w = startWith(scene);
    ASSERT_NE(w, 0u) << "no window; console:\n" << runOutput(run);
    XImageRgb frame;
    ASSERT_TRUE(waitWall(w, frame, kBackPoint, kBackFile));

    // The body falls from the middle and no bounce brings it back up to
    // where it started: the rows above that show only walls. The ceiling
    // above (0, 16, 4) stays the ceiling under any turn about y.
    const int upperEnd = startTopRow(scene) - kFallPixels;
    const int row = restPixel(0.0, 10.0, -kHalfEdge).y;
    const Pixel ceiling = restPixel(0.0, kHalfEdge, 4.0);
    const double restMiddle = backRunMiddle(frame, row);
    ASSERT_NEAR(restMiddle, kWinWidth / 2.0, 1.0);
    // A column of the back wall clear of the body.
    const int column = restPixel(-12.0, 0.0, -kHalfEdge).x;
    ASSERT_NEAR(backColumnEnds(frame, column), kWinHeight - 1, kSymmetryPixels);

    // Dragged right of the centre, the cube turns about the vertical axis:
    // the back wall swings to the left and the ceiling stays.
    const int cx = kWinWidth / 2, cy = kWinHeight / 2;
    ASSERT_TRUE(xDrag(dpy, w, cx, cy, cx + kTurnOffset, cy, kDragSteps));
    double middle = restMiddle;
    ASSERT_TRUE(pollFrame(w, frame,
                          [&] {
                              middle = backRunMiddle(frame, row);
                              return std::fabs(middle - restMiddle) > kTurnPixels;
                          }))
        << "the back wall stays at column " << middle;
    EXPECT_GE(middle, 0.0) << "the back wall has left its row";
    EXPECT_LT(middle, restMiddle) << "the back wall swings to the right";
    EXPECT_TRUE(showsFile(frame.pixel(ceiling.x, ceiling.y), kCeilingFile));
    EXPECT_NEAR(backColumnEnds(frame, column), kWinHeight - 1, kSymmetryPixels) << "the cube tilts";

    // With the button up it goes on turning.
    for (int i = 0; i < 2; ++i) {
        const XImageRgb before = frame;
        ASSERT_TRUE(pollFrame(w, frame, [&] { return !sameRows(before, frame, 0, upperEnd); }))
            << "the walls stopped moving after the drag";
        EXPECT_TRUE(showsFile(frame.pixel(ceiling.x, ceiling.y), kCeilingFile));
    }

    // A drag that ends at the centre stops it: from then on only the body
    // changes the frames. The first frames after the drag may have been begun
    // before the program read it; many frames later the walls must not have
    // moved by a pixel.
    ASSERT_TRUE(xDrag(dpy, w, cx + kStopFrom, cy, cx, cy, kDragSteps));
    XImageRgb stopped = frame;
    for (int i = 0; i < kStopFrames; ++i)
        stopped = nextFrame(w, stopped);
    XImageRgb later = stopped;
    for (int i = 0; i < kStillFrames; ++i) {
        const XImageRgb next = nextFrame(w, later);
        if (next.rgb == later.rgb) break; // nothing moves at all
        later = next;
    }
    EXPECT_TRUE(sameRows(stopped, later, 0, upperEnd)) << "the walls still move";
    if (HasFailure()) {
        keepFrame("stopped", stopped);
        keepFrame("later", later);
    }

    expectEscapeEnds(w);
}

TEST_F(ZibbetE2e, KeysToggleEnvironmentMappingAndShadingOfTheBody) {
    const Window w = startWith(moonScene());
    ASSERT_NE(w, 0u) << "no window; console:\n" << runOutput(run);
    XImageRgb frame;
    ASSERT_TRUE(waitWall(w, frame, kBackPoint, kBackFile));
    const XRgb wall = frame.pixel(kBackPoint.x, kBackPoint.y);
    ASSERT_TRUE(pollFrame(w, frame, [&] {
        return bodyOnBackWall(frame, wall).pixels >= kMinBodyPixels;
    })) << "no body in front of the back wall";
    // Mirroring the walls, the body shows no grey (once the cube map has
    // been filled: it is uploaded at every frame, the first uploads go
    // before the map's own texture is bound and set to make mipmaps).
    ASSERT_TRUE(waitLine(kHelpEnd));
    EXPECT_TRUE(pollFrame(w, frame, [&] { return greyBody(frame).pixels == 0; }))
        << "the body stays grey";

    const char* const envLine = "Toggling cube environment mapping mode.";
    const char* const shadeLine = "Toggling gouraud shading.";
    enum Look { MIRROR, SMOOTH_GREY, FLAT_GREY };
    const struct {
        KeySym key;
        const char* line;
        Look look;
    } steps[] = {{XK_e, envLine, SMOOTH_GREY},
                 {XK_s, shadeLine, FLAT_GREY},
                 {XK_S, shadeLine, SMOOTH_GREY},
                 {XK_E, envLine, MIRROR}};
    std::vector<std::string> printed;
    for (const auto& step : steps) {
        SCOPED_TRACE(XKeysymToString(step.key));
        ASSERT_TRUE(xTapKeysym(dpy, w, step.key));
        printed.push_back(step.line);
        EXPECT_TRUE(fxPollUntil(kFrameTimeoutMs, kPollMs,
                                [&] { return linesAfterHelp().size() >= printed.size(); }));
        EXPECT_EQ(linesAfterHelp(), printed);
        GreyView grey;
        EXPECT_TRUE(
            pollFrame(w, frame,
                      [&] {
                          grey = greyBody(frame);
                          switch (step.look) {
                          case MIRROR:
                              return grey.pixels == 0;
                          case SMOOTH_GREY:
                              return grey.pixels >= kMinGreyPixels && grey.flatShare < kSmoothBelow;
                          case FLAT_GREY:
                              return grey.pixels >= kMinGreyPixels && grey.flatShare > kFlatAbove;
                          }
                          return false;
                      }))
            << grey.pixels << " grey pixels, " << grey.flatShare << " of them flat";
    }

    expectEscapeEnds(w);
}

TEST_F(ZibbetE2e, MissingSceneEndsWithStatusOneBeforeAnyWindowOpens) {
    ASSERT_TRUE(writeSolidFaces(dir));
    // Every top-level window made from now on is reported.
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);
    ASSERT_TRUE(runStart(run, dir));
    ASSERT_TRUE(runWaitExit(run, kStartTimeoutMs)) << "zibbet goes on without its scene";
    ASSERT_TRUE(WIFEXITED(run.status)) << "zibbet ended by signal " << WTERMSIG(run.status);
    EXPECT_EQ(WEXITSTATUS(run.status), 1);

    std::vector<std::string> got = transcript(run);
    ASSERT_GE(got.size(), 2u);
    const std::string abort = ": ABORTING.";
    const std::string& last = got.back();
    ASSERT_GT(last.size(), abort.size());
    const std::string title = last.substr(0, last.size() - abort.size());
    EXPECT_EQ(title.rfind("Zibbet v0.9 (", 0), 0u) << title;
    EXPECT_EQ(title.back(), ')') << title;
    std::vector<std::string> want = expectedWorldAndCube();
    want.insert(want.end(),
                {std::string("Failed to open ") + kSceneFile,
                 title + ": *** ERROR *** simLoad3DS() FAILED to load scene.", title + abort});
    EXPECT_EQ(joinLines(got), joinLines(want));

    XSync(dpy, False);
    int created = 0;
    while (XPending(dpy)) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type == CreateNotify) ++created;
    }
    EXPECT_EQ(created, 0) << "zibbet made a window";
}

TEST_F(ZibbetE2e, MissingFaceFilesAreReportedAndTheProgramRunsOn) {
    const Scene scene = moonScene();
    const unsigned missing = (1u << kBackFile) | (1u << kLeftFile);
    const Window w = startWith(scene, missing);
    ASSERT_NE(w, 0u) << "no window; console:\n" << runOutput(run);
    ASSERT_TRUE(waitLine(kHelpEnd)) << runOutput(run);
    EXPECT_EQ(joinLines(transcript(run)), joinLines(expectedStartup(scene, missing)));

    // The walls whose files are missing stay black, the others show theirs.
    XImageRgb frame;
    const Pixel ceiling = restPixel(0.0, kHalfEdge, 0.0);
    ASSERT_TRUE(waitWall(w, frame, ceiling, kCeilingFile));
    const Pixel back = kBackPoint;
    const Pixel left = restPixel(-kHalfEdge, 0.0, 0.0);
    const Pixel right = restPixel(kHalfEdge, 0.0, 0.0);
    const Pixel floor = restPixel(-10.0, -kHalfEdge, 0.0);
    EXPECT_TRUE(isBlack(frame.pixel(back.x, back.y))) << rgbText(frame.pixel(back.x, back.y));
    EXPECT_TRUE(isBlack(frame.pixel(left.x, left.y))) << rgbText(frame.pixel(left.x, left.y));
    EXPECT_TRUE(showsFile(frame.pixel(right.x, right.y), kRightFile));
    EXPECT_TRUE(showsFile(frame.pixel(floor.x, floor.y), kFloorFile));

    // Frames keep coming: the body moves.
    const XImageRgb first = frame;
    EXPECT_TRUE(pollFrame(w, frame, [&] { return frame.rgb != first.rgb; }));

    expectEscapeEnds(w);
}

} // namespace
