// Shared test fixture: a fresh world per test, and console capture.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "sim/bcube.h"
#include "sim/world.h"
#include "startup/frame.h"
#include "tests/support/run_command.h"

// A sanitized build runs many times slower and finds nothing in thousands of
// steps that a few hundred miss: long runs are cut short there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
constexpr int fxSteps(int full, int sanitized) {
    return kSanitizedBuild ? sanitized : full;
}

// A fresh world, the cube at rest and the mouse centred, each test.
class WorldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WorldTest::TearDown();
        ASSERT_EQ(simInitWorld("Test_World"), 1);
    }
    void TearDown() override {
        simMalloc = std::malloc;
        simRealloc = std::realloc;
        verbosity = 0;
        cubeAngleX = cubeAngleY = cubeAngleZ = 0.0;
        mouseDx = mouseDy = 0;
        simFreeWorld();
    }
    static SimObject& obj(int oid) { return simWorld.objects[oid]; }
};

// Adds to oid an active mass at (x, y, z) with the flags; its index.
inline int fxMassAt(int oid, double x, double y, double z = 0.0, int32_t flags = 0) {
    SimMass* m = nullptr;
    const int i = simAddMass(oid, &m);
    EXPECT_GE(i, 0);
    if (i < 0) return i;
    m->pos[0] = x;
    m->pos[1] = y;
    m->pos[2] = z;
    m->flags = flags | SIMF_ACTIVE;
    return i;
}

// A fresh directory under the test temp dir named after the test.
inline std::string testDir() {
    return fxFreshDir(::testing::TempDir() + "zibbet_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                      std::to_string(getpid()));
}

// Runs fn with stdout captured and returns what it printed.
template <typename Fn> std::string captureStdout(Fn&& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}

// Whether text holds part; a failed check prints both.
inline ::testing::AssertionResult has(const std::string& text, const std::string& part) {
    const bool holds = text.find(part) != std::string::npos;
    return (holds ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << (holds ? "holds \"" : "lacks \"") << part << "\":\n" << text;
}

// How many times what occurs in text.
inline size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The headless runner's "digest ..." line, or "" when it printed none.
inline std::string digestLine(const std::string& out) {
    const size_t at = out.find("\ndigest ");
    return at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}
