// Shared test fixture: a fresh world per test, and console capture.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/world.h"

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
