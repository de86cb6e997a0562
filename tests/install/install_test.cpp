// The trees packaging/install_trees.sh made from this build (DESTDIR,
// a prefix given at install time, the unpacked Debian package), the package's
// metadata and checkers, and the installed programs run from them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/run_command.h"
#include "tests/unit/world_fixture.h" // has

namespace fs = std::filesystem;

namespace {

const std::string kTrees = ZIBBET_INSTALL_TREES;
const std::string kDebRoot = kTrees + "/deb-root";
const std::string kUsr = kDebRoot + "/usr";
const std::string kDesktopEntry = "share/applications/org.zibbet.zibbet.desktop";
const std::string kMetainfo = "share/metainfo/org.zibbet.zibbet.metainfo.xml";
const std::string kManPages[] = {"share/man/man6/zibbet.6.gz", "share/man/man1/zibbet-bench.1.gz"};

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
    for (const char* size : {"48x48", "256x256"})
        files.insert(std::string("share/icons/hicolor/") + size + "/apps/zibbet.png");
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

// A key's value in a desktop entry, "" when it has none: ours hold the one
// group, and no path made here needs a string escape.
std::string desktopKey(const std::string& path, const std::string& key) {
    for (const std::string& line : fxSplitLines(fxReadFile(path)))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "";
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
    const std::string png = fxReadFile(path);
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return {0, 0};
    int size[2] = {};
    for (size_t i = 0; i < 8; ++i) // big-endian, from byte 16
        size[i / 4] = size[i / 4] << 8 | static_cast<unsigned char>(png[16 + i]);
    return {size[0], size[1]};
}

} // namespace

// Each install holds exactly the files, its manifest lists them where they
// will be used, and its desktop entry names its launcher and icon.
TEST(Install, EachTreeHoldsTheFilesAndAnEntryThatNamesThem) {
    const struct {
        std::string root, prefix, manifest;
    } trees[] = {{kTrees + "/destdir", ZIBBET_DEFAULT_PREFIX, "destdir.manifest"},
                 {"", kTrees + "/pre fix", "prefix.manifest"}, // given at install time only
                 {kDebRoot, "/usr", ""}};
    for (const auto& tree : trees) {
        SCOPED_TRACE("install of " + tree.prefix + " under '" + tree.root + "'");
        const std::string top = tree.root + tree.prefix;
        std::set<std::string> staged, used;
        for (const std::string& f : expectedFiles()) {
            staged.insert(fs::relative(top + "/" + f, tree.root.empty() ? top : tree.root).string());
            used.insert(tree.prefix + "/" + f);
        }
        EXPECT_EQ(filesUnder(tree.root.empty() ? top : tree.root), staged);
        if (!tree.manifest.empty()) {
            const auto lines = fxSplitLines(fxReadFile(kTrees + "/" + tree.manifest));
            EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()), used);
        }
        const std::string entry = top + "/" + kDesktopEntry;
        EXPECT_EQ(desktopKey(entry, "Type"), "Application");
        EXPECT_EQ(execProgram(desktopKey(entry, "Exec")), tree.prefix + "/bin/zibbet");
        EXPECT_EQ(access((top + "/bin/zibbet").c_str(), X_OK), 0);
        EXPECT_EQ(access((top + "/libexec/zibbet/zibbet").c_str(), X_OK), 0);
        EXPECT_EQ(desktopKey(entry, "Icon"), "zibbet");
        for (int n : {48, 256}) {
            const std::string size = std::to_string(n) + "x" + std::to_string(n);
            EXPECT_EQ(pngSize(top + "/share/icons/hicolor/" + size + "/apps/zibbet.png"), std::pair(n, n));
        }
    }
}

// No error or warning from lintian, the desktop entry and AppStream
// validators and man; the manual pages carry the sections a user looks for.
TEST(Package, CheckersFindNothingToSay) {
    if (fxRunCommand("command -v lintian", false).status != 0)
        GTEST_SKIP() << "lintian is not installed (scripts/deps.sh installs it; apt-get could not?)";
    const std::string deb = quoted(kTrees + "/package/") + "*.deb";
    const FxScopedDir tmp("zibbet_lintian"); // for its cache, which it leaves behind
    const std::string checks[] = {
        // Its complaint about root goes to stderr.
        "TMPDIR=" + quoted(tmp.path) + " lintian --fail-on error,warning " + deb,
        "desktop-file-validate " + quoted(kUsr + "/" + kDesktopEntry) + " 2>&1",
        "appstreamcli validate --no-net --pedantic " + quoted(kUsr + "/" + kMetainfo) +
            " 2>&1 | grep -E '^[EWIP]: '; test ${PIPESTATUS[0]} -eq 0",
        "man --warnings -l " + quoted(kUsr + "/" + kManPages[0]) + " 2>&1 >/dev/null",
        "man --warnings -l " + quoted(kUsr + "/" + kManPages[1]) + " 2>&1 >/dev/null"};
    for (const std::string& check : checks) {
        const FxRunResult r = fxRunCommand("bash -c " + quoted(check), false);
        EXPECT_EQ(r.status, 0) << check << "\n" << r.out;
        EXPECT_EQ(r.out, "") << check;
    }
    for (const std::string& page : kManPages) {
        const std::string text = fxRunCommand("MANWIDTH=80 man -l " + quoted(kUsr + "/" + page)).out;
        for (const char* part : {"SYNOPSIS", "ENVIRONMENT", "ZIBBET_ISA", "EXIT STATUS", "EXAMPLES"})
            EXPECT_TRUE(has(text, part)) << page << ": " << part << " missing";
    }
}

// Without a scene the demo ends with status 1 and says on standard error
// why and where the installed scene lies. It runs with no X display: a
// window opened at any point would end it with the toolkit's complaint on
// standard error instead.
TEST(Package, DemoWithoutASceneSaysWhyAndWhereTheInstalledOneIs) {
    const std::string dir = fxFreshDir(kTrees + "/no-scene");
    const std::string demo = quoted(kUsr + "/libexec/zibbet/zibbet");
    const FxRunResult run =
        fxRunCommand("cd " + quoted(dir) + " && env -u DISPLAY " + demo + " 2>stderr.txt", false);
    EXPECT_EQ(run.status, 1) << run.out;
    const std::string title = "Zibbet v0.9 (the Zibbet developers, zibbet@zibbet.org)";
    const std::string tail = "simSetBCube(): Setting Bounding Cube (oid=1).\n"
                             "Failed to open bmoon1m.3ds\n" +
                             title + ": *** ERROR *** simLoad3DS() FAILED to load scene.\n" +
                             title + ": ABORTING.\n";
    EXPECT_TRUE(run.out.size() > tail.size() && run.out.ends_with(tail)) << run.out;
    EXPECT_FALSE(has(run.out, "cannot open"));
    EXPECT_EQ(fxReadFile(dir + "/stderr.txt"),
              "zibbet: cannot open bmoon1m.3ds: No such file or directory; the installed copy is " +
                  kUsr + "/share/zibbet/bmoon1m.3ds (the zibbet command starts there)\n");
}

// The launcher as the desktop entry starts it: from an empty folder it runs
// in the installed data folder, which holds every face; from one holding a
// scene it runs there, and says of each face that it is missing.
TEST(Package, LauncherRunsInTheInstalledFolderOrInOneThatHoldsAScene) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display (scripts/with-xvfb.sh gives one)";
    const std::string exec = desktopKey(kUsr + "/" + kDesktopEntry, "Exec");
    const std::string program = kDebRoot + execProgram(exec);
    for (const bool ownScene : {false, true}) {
        const std::string dir = fxFreshDir(kTrees + (ownScene ? "/own-scene" : "/home"));
        if (ownScene) fs::copy_file(kUsr + "/share/zibbet/bmoon1m.3ds", dir + "/bmoon1m.3ds");
        const std::string out = dir + "/out.txt", err = dir + "/err.txt"; // fresh with the folder
        const pid_t pid = fxStartDemo(program, dir, out, err);
        ASSERT_GT(pid, 0);
        int status = -1;
        EXPECT_TRUE(fxPollUntil(120000, 50, [&] {
            return has(fxReadFile(out), " s: Toggle Flat/Gouraud.\n") ||
                   waitpid(pid, &status, WNOHANG) == pid;
        }) && status == -1) << fxReadFile(out) << fxReadFile(err);
        if (status == -1) kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        const std::string errors = fxReadFile(err);
        std::string missing; // every face, in order
        for (int face = 0; face < 6; ++face)
            missing += "zibbet: cannot open " + std::to_string(face) + ".tga: No such file or directory\n";
        EXPECT_TRUE(ownScene ? has(errors, missing) : !has(errors, "cannot open")) << dir << ": " << errors;
    }
}
