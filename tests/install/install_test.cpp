// The installed program: the trees that tools/packaging/install_trees.sh made
// from this build (the default prefix through DESTDIR, a prefix given only at
// install time, the Debian package unpacked with dpkg -x), the package's own
// metadata and what lintian, the desktop entry and AppStream validators and
// man make of it, zibbet-bench finding the installed scene, the demo's
// reasons on standard error, and the launcher started from the unpacked
// package the way its desktop entry starts it, on Xvfb.
//
// Sections: files and commands; trees; package; the installed program.
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_command.h"
#include "tests/window/xvfb_harness.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Files and commands
// ---------------------------------------------------------------------------
const std::string kTrees = ZIBBET_INSTALL_TREES;
const std::string kDefaultPrefix = ZIBBET_DEFAULT_PREFIX;
const std::string kPackagePrefix = "/usr";
const int kIconSizes[] = {48, 256};
const std::string kDesktopEntry = "share/applications/org.zibbet.zibbet.desktop";
const std::string kMetainfo = "share/metainfo/org.zibbet.zibbet.metainfo.xml";
const std::string kManPages[] = {"share/man/man6/zibbet.6.gz", "share/man/man1/zibbet-bench.1.gz"};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The files an install puts under its prefix, relative to it.
std::set<std::string> expectedFiles() {
    std::set<std::string> files = {"bin/zibbet",
                                   "bin/zibbet-bench",
                                   "libexec/zibbet/zibbet",
                                   kDesktopEntry,
                                   kMetainfo,
                                   kManPages[0],
                                   kManPages[1],
                                   "share/doc/zibbet/copyright",
                                   "share/doc/zibbet/changelog.gz",
                                   "share/zibbet/bmoon1m.3ds"};
    for (int face = 0; face < 6; ++face)
        files.insert("share/zibbet/" + std::to_string(face) + ".tga");
    for (int size : kIconSizes)
        files.insert("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) +
                     "/apps/zibbet.png");
    return files;
}

// Every file below dir, relative to it.
std::set<std::string> filesUnder(const std::string& dir) {
    std::set<std::string> files;
    std::error_code err;
    for (auto it = fs::recursive_directory_iterator(dir, err); !err && it != fs::end(it);
         it.increment(err))
        if (!it->is_directory()) files.insert(fs::relative(it->path(), dir).string());
    return files;
}

// ---------------------------------------------------------------------------
// Desktop entry
// ---------------------------------------------------------------------------

// The keys of the [Desktop Entry] group, string escapes undone.
std::map<std::string, std::string> readDesktopEntry(const std::string& path) {
    std::map<std::string, std::string> keys;
    bool inGroup = false;
    for (const std::string& line : splitLines(readFile(path))) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const size_t eq = line.find('=');
        if (!inGroup || eq == std::string::npos) continue;
        std::string value;
        const std::string raw = line.substr(eq + 1);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const char c = raw[++i];
            value += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        }
        keys[line.substr(0, eq)] = value;
    }
    return keys;
}

// The program of an Exec value: its first word, double quotes and the
// backslashes inside them undone.
std::string execProgram(const std::string& exec) {
    if (exec.empty() || exec[0] != '"') return exec.substr(0, exec.find(' '));
    std::string program;
    for (size_t i = 1; i < exec.size() && exec[i] != '"'; ++i)
        program += exec[i] == '\\' && i + 1 < exec.size() ? exec[++i] : exec[i];
    return program;
}

// Width and height from a PNG file's header, or 0 x 0.
std::pair<int, int> pngSize(const std::string& path) {
    const std::string png = readFile(path);
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    auto be32 = [&](size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) |
               (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) |
               static_cast<unsigned char>(png[at + 3]);
    };
    return {static_cast<int>(be32(16)), static_cast<int>(be32(20))};
}

// ---------------------------------------------------------------------------
// Trees
// ---------------------------------------------------------------------------

// An install of prefix staged under root (empty when it went to the prefix
// itself): exactly the expected files, and a desktop entry whose program and
// icon are those files.
void expectInstallTree(const std::string& root, const std::string& prefix) {
    SCOPED_TRACE("install of " + prefix + " under '" + root + "'");
    const std::string top = root + prefix;
    std::set<std::string> want;
    for (const std::string& f : expectedFiles())
        want.insert(fs::relative(top + "/" + f, root.empty() ? "/" : root).string());
    EXPECT_EQ(filesUnder(root.empty() ? top : root), root.empty() ? expectedFiles() : want);

    const auto entry = readDesktopEntry(top + "/" + kDesktopEntry);
    ASSERT_EQ(entry.count("Exec"), 1u) << "no desktop entry with an Exec key";
    EXPECT_EQ(entry.at("Type"), "Application");
    const std::string program = execProgram(entry.at("Exec"));
    EXPECT_EQ(program, prefix + "/bin/zibbet");
    EXPECT_EQ(access((root + program).c_str(), X_OK), 0) << root + program;
    EXPECT_EQ(access((top + "/libexec/zibbet/zibbet").c_str(), X_OK), 0);
    ASSERT_EQ(entry.count("Icon"), 1u);
    EXPECT_EQ(entry.at("Icon"), "zibbet");
    for (int size : kIconSizes) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        const auto got = pngSize(top + "/share/icons/hicolor/" + dir + "/apps/zibbet.png");
        EXPECT_EQ(got, std::make_pair(size, size)) << dir;
    }
}

// The manifest of an install lists its files, where they will be used.
void expectManifest(const std::string& manifest, const std::string& prefix) {
    const std::vector<std::string> lines = splitLines(readFile(manifest));
    std::set<std::string> want;
    for (const std::string& f : expectedFiles())
        want.insert(prefix + "/" + f);
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), want) << manifest;
}

TEST(InstallTree, DefaultPrefixHoldsTheProgramsDataEntryAndIcons) {
    expectInstallTree(kTrees + "/destdir", kDefaultPrefix);
    expectManifest(kTrees + "/destdir.manifest", kDefaultPrefix);
}

// The prefix given only to cmake --install, blank and all, is the one the
// entry names.
TEST(InstallTree, PrefixGivenAtInstallTimeIsTheOneTheEntryNames) {
    const std::string prefix = kTrees + "/pre fix";
    expectInstallTree("", prefix);
    expectManifest(kTrees + "/prefix.manifest", prefix);
    const std::string exec = readDesktopEntry(prefix + "/" + kDesktopEntry).at("Exec");
    EXPECT_EQ(exec.front(), '"') << "a program path with a blank must be quoted: " << exec;
}

// Without --scene and with none in the working directory, the installed
// zibbet-bench runs the scene installed beside it, and says so; a scene in
// the working directory still comes first, and a scene named is never
// replaced.
TEST(InstallTree, BenchFallsBackToTheInstalledScene) {
    const std::string prefix = kTrees + "/pre fix";
    const std::string bench = quoted(prefix + "/bin/zibbet-bench");
    const std::string dir = kTrees + "/bench-run";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string cd = "cd " + quoted(dir) + " && ";

    FxRunResult installed = fxRunCommand(cd + bench + " --steps 3");
    EXPECT_EQ(installed.status, 0) << installed.out;
    EXPECT_NE(installed.out.find("zibbet-bench: scene " + prefix + "/share/zibbet/bmoon1m.3ds\n"),
              std::string::npos)
        << installed.out;
    EXPECT_NE(installed.out.find("3 objects, 650 masses"), std::string::npos) << installed.out;

    FxRunResult named = fxRunCommand(cd + bench + " --steps 1 --scene bmoon1m.3ds");
    EXPECT_EQ(named.status, 2) << named.out;
    EXPECT_NE(named.out.find("cannot read scene file 'bmoon1m.3ds'"), std::string::npos)
        << named.out;

    fs::copy_file(prefix + "/share/zibbet/bmoon1m.3ds", dir + "/bmoon1m.3ds");
    FxRunResult local = fxRunCommand(cd + bench + " --steps 3");
    EXPECT_EQ(local.status, 0) << local.out;
    EXPECT_NE(local.out.find("zibbet-bench: scene bmoon1m.3ds\n"), std::string::npos) << local.out;
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// Package
// ---------------------------------------------------------------------------
std::string packageFile() {
    std::error_code err;
    for (const auto& e : fs::directory_iterator(kTrees + "/package", err))
        if (e.path().extension() == ".deb") return e.path().string();
    return "";
}

// The package names of a Depends field, "a (>= 1), b | c": a, b and c.
std::set<std::string> dependencyNames(const std::string& depends) {
    std::set<std::string> names;
    std::string part;
    for (char c : depends + ",") {
        if (c != ',' && c != '|') {
            part += c;
            continue;
        }
        std::istringstream words(part);
        std::string name;
        if (words >> name) names.insert(name);
        part.clear();
    }
    return names;
}

TEST(Package, ListsTheInstalledFilesAndDeclaresTheLibrariesItNeeds) {
    const std::string deb = packageFile();
    ASSERT_FALSE(deb.empty()) << "no .deb in " << kTrees << "/package";

    // dpkg-deb -c: "-rwxr-xr-x root/root 68640 2026-01-01 12:00 ./usr/bin/zibbet"
    FxRunResult list = fxRunCommand("dpkg-deb -c " + quoted(deb), false);
    ASSERT_EQ(list.status, 0);
    std::set<std::string> files;
    for (const std::string& line : splitLines(list.out)) {
        std::istringstream in(line);
        std::string mode, owner, size, date, time, path;
        in >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        if (mode.empty() || mode[0] == 'd') continue;
        EXPECT_EQ(path.rfind("./usr/", 0), 0u) << line;
        files.insert(path.substr(std::string("./usr/").size()));
        if (path.find("/bin/") != std::string::npos) {
            EXPECT_EQ(mode, "-rwxr-xr-x") << line;
        }
    }
    EXPECT_EQ(files, expectedFiles());

    FxRunResult name = fxRunCommand("dpkg-deb -f " + quoted(deb) + " Package", false);
    EXPECT_EQ(name.out, "zibbet\n");
    FxRunResult depends = fxRunCommand("dpkg-deb -f " + quoted(deb) + " Depends", false);
    ASSERT_EQ(depends.status, 0);
    // freeglut, GL and GLU: the packages of the libraries the programs link.
    const std::set<std::string> names = dependencyNames(depends.out);
    for (const char* lib : {"libglut3.12", "libgl1", "libglu1-mesa", "libc6", "libstdc++6"})
        EXPECT_EQ(names.count(lib), 1u) << lib << " missing from: " << depends.out;
}

TEST(Package, UnpackedPackagePutsTheFilesWhereItsEntrySays) {
    expectInstallTree(kTrees + "/deb-root", kPackagePrefix);
}

// The lines a checker prints for its findings: "E: ...", "W: ...", and for
// appstreamcli "I: ..." and "P: ..." too.
std::string findings(const std::string& output) {
    std::string found;
    for (const std::string& line : splitLines(output))
        if (line.size() > 2 && line[1] == ':' && line[2] == ' ' &&
            std::string("EWIP").find(line[0]) != std::string::npos)
            found += line + "\n";
    return found;
}

// What Debian's archive would say of the package: no error, no warning (its
// informational notes are not shown).
TEST(Package, LintianFindsNoErrorOrWarning) {
    if (fxRunCommand("command -v lintian", false).status != 0)
        GTEST_SKIP() << "lintian is not installed (tools/deps.sh installs it; apt-get could not?)";
    const std::string deb = packageFile();
    ASSERT_FALSE(deb.empty());
    // Its complaint about running as root goes to standard error.
    FxRunResult r = fxRunCommand("lintian --fail-on error,warning " + quoted(deb), false);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
}

// Software centres and menus read these files; their validators say nothing.
TEST(Package, DesktopEntryAndMetainfoPassTheirValidators) {
    const std::string usr = kTrees + "/deb-root" + kPackagePrefix + "/";
    FxRunResult desktop = fxRunCommand("desktop-file-validate " + quoted(usr + kDesktopEntry));
    EXPECT_EQ(desktop.status, 0) << desktop.out;
    EXPECT_EQ(desktop.out, "");
    FxRunResult meta =
        fxRunCommand("appstreamcli validate --no-net --pedantic " + quoted(usr + kMetainfo));
    EXPECT_EQ(meta.status, 0) << meta.out;
    EXPECT_EQ(findings(meta.out), "") << meta.out;
}

// The installed manual pages render without a warning from groff or man,
// and carry the sections a user looks for.
TEST(Package, ManPagesRenderWithoutWarningsAndCoverTheUsualSections) {
    const std::string usr = kTrees + "/deb-root" + kPackagePrefix + "/";
    for (const std::string& page : kManPages) {
        SCOPED_TRACE(page);
        const std::string file = quoted(usr + page);
        FxRunResult warnings = fxRunCommand("man --warnings -l " + file + " 2>&1 >/dev/null", false);
        EXPECT_EQ(warnings.status, 0);
        EXPECT_EQ(warnings.out, "");
        FxRunResult text = fxRunCommand("MANWIDTH=80 man -l " + file, false);
        for (const char* part : {"SYNOPSIS", "ENVIRONMENT", "ZIBBET_ISA", "EXIT STATUS", "EXAMPLES"})
            EXPECT_NE(text.out.find(part), std::string::npos) << part << " missing:\n" << text.out;
    }
}

// Run from a folder without a scene, the demo fails as it always did, and
// says on standard error why and where the installed scene lies; standard
// output holds only its own lines.
TEST(Package, DemoWithoutASceneSaysWhyAndWhereTheInstalledOneIs) {
    const std::string usr = kTrees + "/deb-root" + kPackagePrefix;
    const std::string dir = kTrees + "/no-scene";
    fs::remove_all(dir);
    fs::create_directories(dir);
    FxRunResult run = fxRunCommand("cd " + quoted(dir) + " && " +
                                       quoted(usr + "/libexec/zibbet/zibbet") + " 2>stderr.txt",
                                   false);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("Failed to open bmoon1m.3ds\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("cannot open"), std::string::npos) << run.out;
    EXPECT_EQ(readFile(dir + "/stderr.txt"),
              "zibbet: cannot open bmoon1m.3ds: No such file or directory; the installed copy is " +
                  usr + "/share/zibbet/bmoon1m.3ds (the zibbet command starts there)\n");
    fs::remove_all(dir);
}

// ---------------------------------------------------------------------------
// The installed program
// ---------------------------------------------------------------------------
constexpr int kStartTimeoutMs = 120000; // window up, sanitizer build on a busy machine
constexpr int kFrameTimeoutMs = 60000;
constexpr int kExitTimeoutMs = 30000;
constexpr int kPollMs = 50;
const char* const kTitlePrefix = "Zibbet v0.9 ";

// Where a world point falls in the 500 x 600 window while the cube is at
// rest: the camera 48 units up the z axis looks at the origin, near plane 2
// with half sizes 1 by 1.2.
constexpr int kWinWidth = 500, kWinHeight = 600;
struct Pixel {
    int x, y;
};
Pixel restPixel(double x, double y, double z) {
    const double depth = 48.0 - z;
    const double nx = 2.0 * x / depth / 1.0, ny = 2.0 * y / depth / 1.2;
    return {static_cast<int>(std::floor((nx + 1.0) * 0.5 * kWinWidth)),
            static_cast<int>(std::floor((1.0 - ny) * 0.5 * kWinHeight))};
}

// The mean colour of the window at the world points of a wall's patch.
std::array<double, 3> meanColour(const XImageRgb& frame, const std::vector<Pixel>& points) {
    std::array<double, 3> sum{};
    for (const Pixel& p : points) {
        const XRgb c = frame.pixel(p.x, p.y);
        sum[0] += c.r;
        sum[1] += c.g;
        sum[2] += c.b;
    }
    for (double& v : sum)
        v /= static_cast<double>(points.size());
    return sum;
}

std::string colourText(const std::array<double, 3>& c) {
    char text[96];
    std::snprintf(text, sizeof text, "(%.1f, %.1f, %.1f)", c[0], c[1], c[2]);
    return text;
}

class InstalledProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!xvfbReady()) GTEST_SKIP() << xvfbMissingReason();
        dpy = XOpenDisplay(nullptr);
        ASSERT_NE(dpy, nullptr);
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (dpy) XCloseDisplay(dpy);
    }
    Display* dpy = nullptr;
    pid_t pid = -1;
};

// The launcher of the unpacked package, as its desktop entry names it.
std::string launcher() {
    const std::string root = kTrees + "/deb-root";
    const auto entry = readDesktopEntry(root + kPackagePrefix + "/" + kDesktopEntry);
    return entry.count("Exec") ? root + execProgram(entry.at("Exec")) : "";
}

// A folder of its own for one run, empty.
std::string emptyFolder(const std::string& name) {
    const std::string dir = kTrees + "/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Started from an empty folder, as from a user's home, the launcher runs the
// demo in the installed data folder: the cube's walls show the installed
// faces' own tints (the ceiling green, the back wall purple), and Escape ends
// it.
TEST_F(InstalledProgram, LauncherFromAnEmptyFolderShowsTheInstalledTexturedCube) {
    const std::string program = launcher();
    ASSERT_FALSE(program.empty()) << "no Exec key in the desktop entry";
    const std::string log = kTrees + "/installed-run.txt";
    pid = fxStartDemo(program, emptyFolder("home"), log, log);
    ASSERT_GT(pid, 0);

    Window w = 0;
    int status = 0;
    const bool up = fxPollUntil(kStartTimeoutMs, kPollMs, [&] {
        w = xFindWindow(dpy, kTitlePrefix);
        return w || waitpid(pid, &status, WNOHANG) == pid;
    });
    ASSERT_TRUE(up && w) << "no window; console:\n" << readFile(log);

    std::vector<Pixel> ceiling, back;
    for (double a = -10.0; a <= 10.0; a += 2.0) {
        for (double b = -10.0; b <= 10.0; b += 2.0)
            ceiling.push_back(restPixel(a, 16.0, b));
        for (double y = 8.0; y <= 14.0; y += 1.0)
            back.push_back(restPixel(a, y, -16.0)); // above where the body falls
    }
    XImageRgb frame;
    std::array<double, 3> top{}, rear{};
    const bool drawn = fxPollUntil(kFrameTimeoutMs, kPollMs, [&] {
        if (!xGrab(dpy, w, frame) || frame.width != kWinWidth || frame.height != kWinHeight)
            return false;
        top = meanColour(frame, ceiling);
        rear = meanColour(frame, back);
        return top[1] > top[0] && top[1] > top[2] && rear[1] < rear[0] && rear[1] < rear[2];
    });
    EXPECT_TRUE(drawn) << "ceiling " << colourText(top) << ", back wall " << colourText(rear)
                       << "; console:\n"
                       << readFile(log);

    const std::string console = readFile(log);
    EXPECT_NE(console.find("Textures load completed."), std::string::npos) << console;
    EXPECT_EQ(console.find("Error opening file."), std::string::npos) << console;
    EXPECT_EQ(console.find("cannot open"), std::string::npos) << console;

    ASSERT_TRUE(xTapKeysym(dpy, w, XK_Escape));
    ASSERT_TRUE(fxPollUntil(kExitTimeoutMs, kPollMs, [&] {
        return waitpid(pid, &status, WNOHANG) == pid;
    })) << "Escape did not end zibbet";
    pid = -1;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A folder that holds a scene is the one the launcher runs the demo in, even
// without faces: each missing face gets its usual console line, and a
// line on standard error that names the file and the reason.
TEST_F(InstalledProgram, LauncherRunsInAFolderThatHoldsASceneAndNamesMissingFaces) {
    const std::string program = launcher();
    ASSERT_FALSE(program.empty()) << "no Exec key in the desktop entry";
    const std::string dir = emptyFolder("own-scene");
    fs::copy_file(kTrees + "/deb-root" + kPackagePrefix + "/share/zibbet/bmoon1m.3ds",
                  dir + "/bmoon1m.3ds");
    const std::string out = kTrees + "/own-scene-out.txt", err = kTrees + "/own-scene-err.txt";
    pid = fxStartDemo(program, dir, out, err);
    ASSERT_GT(pid, 0);
    int status = 0;
    // The key help is printed last, after the textures.
    const bool started = fxPollUntil(kStartTimeoutMs, kPollMs, [&] {
        return readFile(out).find(" s: Toggle Flat/Gouraud.\n") != std::string::npos ||
               waitpid(pid, &status, WNOHANG) == pid;
    });
    const std::string console = readFile(out), errors = readFile(err);
    ASSERT_TRUE(started) << "console:\n" << console << "\nstandard error:\n" << errors;

    size_t openErrors = 0;
    for (size_t at = console.find("Error opening file."); at != std::string::npos;
         at = console.find("Error opening file.", at + 1))
        ++openErrors;
    EXPECT_EQ(openErrors, 6u) << console;
    EXPECT_EQ(console.find("cannot open"), std::string::npos) << console;
    for (int face = 0; face < 6; ++face)
        EXPECT_NE(errors.find("zibbet: cannot open " + std::to_string(face) +
                              ".tga: No such file or directory\n"),
                  std::string::npos)
            << errors;
}

} // namespace
