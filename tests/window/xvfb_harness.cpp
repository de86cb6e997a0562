// Xvfb is started with -displayfd so that it picks a free display number and
// reports it once it accepts connections; PR_SET_PDEATHSIG takes it down with
// a test program that dies before it can stop it.
#include "xvfb_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPollStepMs = 10;
const char* const kScreen = "1024x768x24";

constexpr int kMaxStopHooks = 4;

XvfbServer environmentServer;
bool environmentUp = false;
void (*stopHooks[kMaxStopHooks])();
int nStopHooks = 0;

bool waitExited(pid_t pid, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += kPollStepMs) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return false;
}

} // namespace

std::string xvfbPath() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/Xvfb";
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return "";
}

bool xvfbStart(XvfbServer* server, std::string* error) {
    const std::string program = xvfbPath();
    if (program.empty()) {
        *error = "Xvfb is not on PATH";
        return false;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        *error = "pipe() failed";
        return false;
    }
    // Everything the child needs is made before fork: between fork and exec
    // only async-signal-safe calls, since GL driver threads may hold locks.
    const std::string fd = std::to_string(fds[1]);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        *error = "fork() failed";
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        close(fds[0]);
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
        }
        // -noreset: without it the server resets whenever its last client
        // disconnects, and connections made during the reset fail.
        execl(program.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", kScreen,
              "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);

    // The display number arrives as a line of digits once the server is ready.
    std::string line;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (line.empty() || line.find('\n') == std::string::npos) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        *error = "Xvfb did not report a display number";
        return false;
    }
    server->pid = pid;
    server->display = std::atoi(line.c_str());
    return true;
}

void xvfbStop(XvfbServer* server) {
    if (server->pid <= 0) return;
    kill(server->pid, SIGTERM);
    if (!waitExited(server->pid, kStopTimeoutMs)) {
        kill(server->pid, SIGKILL);
        waitpid(server->pid, nullptr, 0);
    }
    server->pid = -1;
    server->display = -1;
}

std::string xvfbDisplayName(const XvfbServer& server) {
    char name[16];
    std::snprintf(name, sizeof name, ":%d", server.display);
    return name;
}

void XvfbEnvironment::SetUp() {
    if (xvfbPath().empty()) return; // every test skips with the reason below
    std::string error;
    ASSERT_TRUE(xvfbStart(&environmentServer, &error)) << error;
    const std::string display = xvfbDisplayName(environmentServer);
    setenv("DISPLAY", display.c_str(), 1);
    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr) << "cannot connect to Xvfb on " << display;
    XCloseDisplay(dpy);
    environmentUp = true;
}

void XvfbEnvironment::TearDown() {
    for (int i = nStopHooks - 1; i >= 0; --i)
        stopHooks[i]();
    nStopHooks = 0;
    environmentUp = false;
    xvfbStop(&environmentServer);
}

bool xvfbReady() {
    return environmentUp;
}

const char* xvfbMissingReason() {
    return xvfbPath().empty() ? "Xvfb is not installed (apt-get install xvfb)"
                              : "the Xvfb server did not start";
}

void xvfbBeforeStop(void (*fn)()) {
    if (nStopHooks < kMaxStopHooks) stopHooks[nStopHooks++] = fn;
}
