// zibbet-bench's command line, read by getopt_long: "--name value" or
// "--name=value"; --drag and --compare take the word after their value too.
#pragma once

#include <cstddef>
#include <vector>

constexpr long kBenchDefaultSteps = 1000;
constexpr long kBenchMaxSteps = 1000000000L;
constexpr long kBenchMaxDrag = 100000;                // pixels
const char* const kBenchDefaultScene = "bmoon1m.3ds"; // start-up's scene, in the working directory
constexpr long kBenchPlotReport = 10;                 // steps between reports when --plot sets them
constexpr long kBenchDefaultRepeat = 5;               // timed runs after the warm-up
constexpr long kBenchMaxRepeat = 1000;
constexpr size_t kBenchMaxThreadCounts = 16; // thread counts in one --threads list

// A thread count to run; the counts given are run in their order, and none
// means the default (one thread, and all processors when there is more than
// one).
struct BenchThreadCount {
    int n = 1;
    bool all = false; // given as "all"
};
using BenchThreadCounts = std::vector<BenchThreadCount>;

struct BenchOptions {
    long steps = kBenchDefaultSteps;
    const char* scene = kBenchDefaultScene;
    bool sceneGiven = false;
    long drag[2] = {0, 0}; // x and y
    long report = 0;       // 0: no periodic report
    bool verbose = false;
    const char* plot = nullptr; // SVG file to draw the reports into
    long schedule = 0;          // 0: the drag stays; else steps between drag changes
    bool soak = false;
    BenchThreadCounts threads; // spring phase threads
    long repeat = kBenchDefaultRepeat;
    const char* json = nullptr; // file for the run's figures as JSON, "-" for standard output
    bool suite = false;         // the machine suite instead of one scene
    const char* compare[2] = {nullptr, nullptr}; // two result files to compare instead of a run
    bool force = false;                          // compare results of different work
};

enum class BenchParse {
    Run,  // options read: run
    Done, // help or version shown: exit 0
    Bad,  // a message on stderr: exit with the usage status
};

BenchParse benchParseOptions(int argc, char** argv, BenchOptions& opt); // reads argv into opt
// The counts to run: those given, else one thread and, when this process may
// use more than one processor, all of them.
BenchThreadCounts benchThreadCounts(const BenchOptions& opt);
