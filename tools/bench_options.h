// zibbet-bench's command line: one table of options (name, kind, where the
// value goes, help), read as "--name value" or "--name=value".
#pragma once

constexpr long kBenchDefaultSteps = 1000;
constexpr long kBenchMaxSteps = 1000000000L;
constexpr long kBenchMaxDrag = 100000;                // pixels
const char* const kBenchDefaultScene = "bmoon1m.3ds"; // start-up's scene, in the working directory
constexpr long kBenchPlotReport = 10;                 // steps between reports when --plot sets them

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
    long threads = 1;           // spring phase threads
    const char* json = nullptr; // file for the run's figures as JSON, "-" for standard output
};

enum class BenchParse {
    Run,  // options read: run
    Done, // help or version shown: exit 0
    Bad,  // a message on stderr: exit with the usage status
};

BenchParse benchParseOptions(int argc, char** argv, BenchOptions& opt); // reads argv into opt
