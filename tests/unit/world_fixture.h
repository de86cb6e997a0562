// Shared test fixture: a fresh world per test, and console capture.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/world.h"

// A sanitized build runs a step many times slower, and thousands of steps
// find no memory fault that a few hundred miss: long numerical runs keep their
// full length in the Release build and are cut short there, checking what a
// short run can show.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
constexpr int fxSteps(int full, int sanitized) {
    return kSanitizedBuild ? sanitized : full;
}

class WorldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simFreeWorld();
        verbosity = 0;
        ASSERT_EQ(simInitWorld("Test_World"), 1);
    }
    void TearDown() override {
        simMalloc = std::malloc;
        simRealloc = std::realloc;
        verbosity = 0;
        simFreeWorld();
    }
    static SimObject& obj(int oid) { return simWorld.objects[oid]; }
};

// Runs fn with stdout captured and returns what it printed.
template <typename Fn> std::string captureStdout(Fn&& fn) {
    ::testing::internal::CaptureStdout();
    fn();
    return ::testing::internal::GetCapturedStdout();
}
