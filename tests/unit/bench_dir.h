// A folder holding the default scene where zibbet-bench runs; removed after.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "scenegen/moon_scene.h"
#include "scenegen/writer3ds.h"
#include "tests/support/run_command.h"
#include "world_fixture.h"

class BenchDir : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = testDir();
        ASSERT_TRUE(fxWriteFile(dir + "/bmoon1m.3ds", fxDefaultScene()));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Standard error only when asked; env: assignments for the run's environment.
    FxRunResult bench(const std::string& args, bool withStderr = false,
                      const std::string& env = "") {
        return fxRunCommand("cd " + dir + " && " + env + " " + ZIBBET_BENCH_BINARY + " " + args +
                                (withStderr ? "" : " 2>/dev/null"),
                            withStderr);
    }
    std::string dir;
};
