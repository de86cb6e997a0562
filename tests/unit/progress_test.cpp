// Progress lines: on standard error when it is a terminal, never on a pipe,
// and never a byte on standard output.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "import/conv3ds.h"
#include "import/load3ds.h"
#include "scenegen/moon_scene.h"
#include "startup/progress.h"
#include "world_fixture.h"

namespace {

struct ChildRun {
    std::string out; // standard output
    std::string err; // standard error
    int status = -1;
};

// Reads fd until its end; a pseudo-terminal whose other side has closed
// reports EIO instead.
std::string drain(int fd) {
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
        got.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return got;
}

// Runs work in a child process whose standard output goes to a file and
// standard error to a pseudo-terminal or to a pipe.
template <typename Work> ChildRun runChild(bool terminal, Work work) {
    ChildRun run;
    int err[2] = {-1, -1}; // read end, write end
    std::FILE* out = std::tmpfile();
    const bool opened = terminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) == 0
                                 : pipe(err) == 0;
    if (!opened || !out) {
        ADD_FAILURE() << "no pseudo-terminal, pipe or scratch file";
        return run;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(err[0]);
        dup2(fileno(out), STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        work();
        std::fflush(stdout);
        _exit(0);
    }
    close(err[1]);
    run.err = drain(err[0]);
    close(err[0]);
    waitpid(pid, &run.status, 0);
    std::rewind(out); // the child wrote past our stream's buffer
    run.out = drain(fileno(out));
    std::fclose(out);
    return run;
}

// Reads the moon and makes its body with every notice on, progress listened
// to once the work has run for `delay` seconds.
void loadAndConvertMoon(const std::string& path, double delay) {
    appProgressInstall(delay, 0.0);
    verbosity = 3;
    simFreeWorld();
    simInitWorld("Progress");
    Scene3DS* scene = simLoad3DS(path.c_str());
    if (!scene) return;
    simConvHasExtension = [](const char*) { return 1; }; // no driver to ask here
    simConv3DSobj(-1, scene, 0, 0.0, 0.0, 0.0, FX_LOAD_SCALE, 5.0, 1.0, 0.0, 1.2,
                  SIMF_MKSPRINGS | SIMF_MKPOLYS, 1);
    simFree3DS(scene);
}

// Seconds within which the moon is surely made, even under the sanitizers.
constexpr double kQuickWork = 60.0;

} // namespace

TEST(ProgressTest, OnATerminalOnlyAndNeverOnStandardOutput) {
    const std::string path = testDir() + "/moon.3ds";
    ASSERT_TRUE(fxWriteFile(path, fxDefaultScene()));

    const ChildRun tty = runChild(true, [&] { loadAndConvertMoon(path, 0.0); });
    const ChildRun piped = runChild(false, [&] { loadAndConvertMoon(path, 0.0); });
    const ChildRun quick = runChild(true, [&] { loadAndConvertMoon(path, kQuickWork); });
    for (const ChildRun* run : {&tty, &piped, &quick})
        ASSERT_TRUE(WIFEXITED(run->status) && WEXITSTATUS(run->status) == 0);

    // The transcript is the same, notices and all, and holds no progress.
    EXPECT_TRUE(has(tty.out, "simAddSpring(): Expanding size of springs structure"));
    EXPECT_EQ(tty.out, piped.out);
    EXPECT_EQ(quick.out, piped.out);
    EXPECT_FALSE(has(tty.out, "\r") || has(tty.out, "springs  "));

    // On the terminal: each stage with its percentage, springs and time
    // left, rewritten in place and wiped at the end.
    EXPECT_EQ(piped.err, "");
    // Work that ends within the delay leaves the terminal alone.
    EXPECT_EQ(quick.err, "");
    for (const char* shown : {"\rReading scene ", "\rFinding springs ", "\rAllocating springs ",
                              "\rBuilding springs ", "100%", " springs  ", " left"})
        EXPECT_TRUE(has(tty.err, shown)) << shown;
    ASSERT_FALSE(tty.err.empty());
    EXPECT_EQ(tty.err.back(), '\r');
    EXPECT_EQ(tty.err.find('\n'), std::string::npos);
    std::remove(path.c_str());
}

TEST(ProgressTest, TimeLeftNeverClimbsAndEndsAtZero) {
    // A task whose middle stage is slow for its share, as allocating the
    // springs is on memory the system has to find first: 15 % in 0.5 s,
    // 20 % in 3 s, 65 % in 1.5 s, reported every 50 ms.
    const struct {
        double share, seconds;
    } stages[] = {{0.15, 0.5}, {0.2, 3.0}, {0.65, 1.5}};
    constexpr double kTick = 0.05;
    AppTimeLeft t;
    double fraction = 0.0, seconds = 0.0, before = -1.0;
    for (const auto& stage : stages) {
        const int ticks = static_cast<int>(stage.seconds / kTick + 0.5);
        for (int i = 0; i < ticks; ++i) {
            fraction += stage.share / ticks;
            seconds += kTick;
            const double left = appProgressTimeLeft(t, fraction, seconds);
            // No rate from the first few reports; one from a quarter second on.
            if (seconds < 0.2) {
                EXPECT_EQ(left, -1.0);
            }
            if (seconds < 0.3) continue;
            ASSERT_GE(left, 0.0) << seconds;
            if (before >= 0.0) {
                EXPECT_LE(left, before) << "climbed at " << seconds << " s";
            }
            before = left;
        }
    }
    EXPECT_LT(appProgressTimeLeft(t, 1.0, seconds), 0.5);
}
