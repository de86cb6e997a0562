// libFuzzer target for the TGA reader: any input, read into a face-sized
// buffer and into a new one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "render/tga.h"

namespace {

constexpr size_t kFaceBytes = 256 * 256 * 4;
// Bounds the new buffer so that huge headers are refused rather than
// exhausting memory.
constexpr size_t kNewBufferLimit = 4 * kFaceBytes;

unsigned char faceBuffer[kFaceBytes];

const std::string& tempPath() {
    static const std::string path = "/tmp/zibbet_fuzz_loadtga_" + std::to_string(getpid()) + ".tga";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = tempPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);

    // The reader's messages would drown the fuzzer's own output.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    int w = 0, h = 0;
    loadTGA(path.c_str(), &w, &h, faceBuffer, sizeof faceBuffer);
    unsigned char* fresh = loadTGA(path.c_str(), &w, &h, nullptr, kNewBufferLimit);
    std::free(fresh);
    return 0;
}
