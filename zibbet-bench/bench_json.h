// zibbet-bench --json: the figures and the machine they came from, as one
// JSON object; and the reader that --compare takes result files back with.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "zibbet-bench/bench_machine.h"
#include "zibbet-bench/bench_runs.h"

// How the runs were made: timed runs and warm-ups per thread count.
struct BenchRunShape {
    int repeat = 1;
    int warmups = 1;
};

// A run's object. Its top level holds the first thread count's medians under
// the names scripts have always read (steps_per_second, phase_seconds,
// digest...); "runs" holds every thread count with every sample.
void benchWriteJson(std::FILE* f, const BenchMachine& machine, const BenchWorkload& work,
                    const BenchRunShape& shape);
// --suite's object: the machine, and each scene's work and runs under "suite".
void benchWriteSuiteJson(std::FILE* f, const BenchMachine& machine,
                         const std::vector<BenchWorkload>& suite, const BenchRunShape& shape);

// A JSON value as read back.
struct BenchJson {
    enum Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<std::string> keys; // of an object, one per item
    std::vector<BenchJson> items;  // an array's values or an object's members
};

// One or more JSON values, one after the other (runs appended to one file);
// false with the reason and where when the text is not that.
bool benchJsonParse(const std::string& text, std::vector<BenchJson>& values, std::string& error);
const BenchJson* benchJsonMember(const BenchJson& object, const char* key); // or null
// The work and samples a result object holds: the scenes of a suite, or a
// run's one scene (a file from before repetitions gives one sample). False
// with the reason when the object is not a result.
bool benchJsonWorkloads(const BenchJson& result, std::vector<BenchWorkload>& out,
                        std::string& error);
