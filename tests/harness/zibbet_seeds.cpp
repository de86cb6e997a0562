// zibbet-seeds: writes the seed corpus of a fuzz target, made by our own
// writers (fuzz/run.sh runs it before each target).
//   zibbet-seeds NAME DIR    seeds of fuzz/fuzz_NAME.cpp into DIR as seed_*
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/seeds3ds.h"
#include "tests/support/seedsscene.h"
#include "tests/support/seedstga.h"

namespace {

struct Seed {
    std::string name;
    const FxBytes& bytes;
};

std::vector<Seed> seedsOf(const std::string& target) {
    static const std::vector<FxSeed> threeDs = fxSeeds3DS();
    static const std::vector<FxTgaSeed> tga = fxSeedsTGA();
    static const std::vector<FxSceneSeed> scene = fxSeedsScene();
    std::vector<Seed> out;
    if (target == "load3ds")
        for (const FxSeed& s : threeDs)
            out.push_back({s.name, s.bytes});
    if (target == "loadtga")
        for (const FxTgaSeed& s : tga)
            out.push_back({s.name, s.bytes});
    if (target == "scene")
        for (const FxSceneSeed& s : scene)
            out.push_back({s.name, s.bytes});
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zibbet-seeds load3ds|loadtga|scene DIR\n");
        return 2;
    }
    const std::vector<Seed> seeds = seedsOf(argv[1]);
    if (seeds.empty()) {
        std::fprintf(stderr, "zibbet-seeds: no seeds for fuzz target %s\n", argv[1]);
        return 2;
    }
    std::error_code err;
    std::filesystem::create_directories(argv[2], err);
    for (const Seed& seed : seeds) {
        const std::string path = std::string(argv[2]) + "/seed_" + seed.name;
        if (err || !fxWriteFile(path, seed.bytes)) {
            std::fprintf(stderr, "zibbet-seeds: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
