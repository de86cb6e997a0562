// zibbet-seeds: writes the seed corpus of a fuzz target, made by our own
// writers (fuzz/run.sh runs it before each target).
//   zibbet-seeds NAME DIR    seeds of fuzz/fuzz_NAME.cpp into DIR as seed_*
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/seeds3ds.h"
#include "tests/support/seedsscene.h"
#include "tests/support/seedstga.h"

namespace {

// Writes every seed of the list into dir as seed_NAME; false on the first
// that cannot be written.
template <typename SeedList> bool writeSeeds(const SeedList& seeds, const std::string& dir) {
    for (const auto& seed : seeds) {
        const std::string path = dir + "/seed_" + seed.name;
        if (!fxWriteFile(path, seed.bytes)) {
            std::fprintf(stderr, "zibbet-seeds: cannot write %s\n", path.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zibbet-seeds load3ds|loadtga|scene DIR\n");
        return 2;
    }
    const std::string target = argv[1], dir = argv[2];
    std::error_code err;
    std::filesystem::create_directories(dir, err);
    bool written = false;
    if (target == "load3ds")
        written = writeSeeds(fxSeeds3DS(), dir);
    else if (target == "loadtga")
        written = writeSeeds(fxSeedsTGA(), dir);
    else if (target == "scene")
        written = writeSeeds(fxSeedsScene(), dir);
    else {
        std::fprintf(stderr, "zibbet-seeds: no seeds for fuzz target %s\n", argv[1]);
        return 2;
    }
    return written ? 0 : 1;
}
