#include "face_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {
constexpr int kSide = 256;
constexpr int kHeaderBytes = 18;
constexpr unsigned char kTrueColour = 2;
constexpr unsigned char kBitsPerPixel = 32;
} // namespace

void writeFaceTga(const std::string& path, int file, FacePixelFn fn) {
    std::vector<unsigned char> bytes(kHeaderBytes, 0);
    bytes[2] = kTrueColour;
    bytes[12] = kSide & 0xFF;
    bytes[13] = kSide >> 8;
    bytes[14] = kSide & 0xFF;
    bytes[15] = kSide >> 8;
    bytes[16] = kBitsPerPixel;
    for (int row = 0; row < kSide; ++row) {
        for (int column = 0; column < kSide; ++column) {
            const FaceRgba c = fn(file, column, row);
            bytes.insert(bytes.end(), {c[2], c[1], c[0], c[3]}); // stored blue first
        }
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string writeFaceFiles(const char* name, FacePixelFn fn) {
    const std::string dir =
        ::testing::TempDir() + "zibbet_faces_" + name + "_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    for (int k = 0; k < 6; ++k)
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
