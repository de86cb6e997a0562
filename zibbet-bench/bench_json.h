// zibbet-bench --json: the figures and the machine they came from, as one
// JSON object; and the result files read back for --compare. Both through
// nlohmann-json.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "zibbet-bench/bench_machine.h"
#include "zibbet-bench/bench_runs.h"

// Keys stay in the order they were written.
using BenchJson = nlohmann::ordered_json;

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

// One or more JSON values, one after the other (runs appended to one file);
// false with the parser's reason when the text is not that.
bool benchJsonParse(const std::string& text, std::vector<BenchJson>& values, std::string& error);

// A result object read back: the machine in one line, and the work and
// samples it holds: the scenes of a suite, or a run's one scene (a file from
// before repetitions gives one sample).
struct BenchResult {
    std::string
        machine; // "AMD EPYC (AuthenticAMD family 25 ...), g++ 12.2.0, Release, zibbet 0.9.0"
    std::vector<BenchWorkload> work;
};
// False with what is wrong (the key missing or of the wrong kind) when the
// object is not a result.
bool benchJsonResult(const BenchJson& value, BenchResult& out, std::string& error);
