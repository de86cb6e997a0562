// A private X server for tests: starts Xvfb on a free display, points DISPLAY
// at it and stops it again. The X-side helpers (find a window by title, read
// its pixels, drag the mouse, press keys) are those of tests/harness/xclient.
#pragma once

// gtest first: Xlib defines macros (None, Bool, Status) that clash with it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>

#include "tests/harness/xclient.h"

struct XvfbServer {
    pid_t pid = -1;
    int display = -1; // the number N of ":N"
};

std::string xvfbPath(); // full path of the Xvfb program on PATH, or empty
// Starts Xvfb with one 1024x768x24 screen on a display number it picks itself.
// Returns false with a reason in *error when it does not come up.
bool xvfbStart(XvfbServer* server, std::string* error);
void xvfbStop(XvfbServer* server); // SIGTERM, then SIGKILL if it lingers; waits for it
std::string xvfbDisplayName(const XvfbServer& server); // ":N", for DISPLAY or XOpenDisplay

// Global test environment: one Xvfb for the whole test program, DISPLAY set
// for everything that runs in it. When Xvfb is not installed it starts
// nothing, and tests skip themselves with xvfbMissingReason().
class XvfbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
};
bool xvfbReady();                // the environment's server is up and DISPLAY names it
const char* xvfbMissingReason(); // why tests needing the server must skip
// Runs fn before the environment's server stops: X clients of the test program
// must close their connections first, or Xlib ends the program on the lost link.
void xvfbBeforeStop(void (*fn)());
