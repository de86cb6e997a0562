#include "face_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/tga_writer.h"

namespace {
constexpr int kSide = 256;
constexpr int kFaces = 6;
} // namespace

void writeFaceTga(const std::string& path, int file, FacePixelFn fn) {
    FxBytes rgba;
    rgba.reserve(static_cast<size_t>(kSide) * kSide * 4);
    for (int row = 0; row < kSide; ++row) {
        for (int column = 0; column < kSide; ++column) {
            const FaceRgba c = fn(file, column, row);
            rgba.insert(rgba.end(), c.begin(), c.end());
        }
    }
    ASSERT_TRUE(fxWriteFile(path, fxTgaRgba(kSide, kSide, rgba))) << path;
}

std::string writeFaceFiles(const char* name, FacePixelFn fn) {
    const std::string dir =
        ::testing::TempDir() + "zibbet_faces_" + name + "_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    for (int k = 0; k < kFaces; ++k)
        writeFaceTga(dir + "/" + std::to_string(k) + ".tga", k, fn);
    return dir;
}

ScopedWorkDir::ScopedWorkDir(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf)) previous = buf;
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
}

ScopedWorkDir::~ScopedWorkDir() {
    if (!previous.empty() && chdir(previous.c_str()) != 0) ADD_FAILURE() << previous;
}
