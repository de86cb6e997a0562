// zibbet-bench's result files: --json writes the figures and the machine
// they came from as one JSON object; --compare reads two files back and, for
// each figure both hold, gives B's median over A's with an interval, and
// whether the two differ by the Mann-Whitney U test over their samples, in
// one table. Read and written through nlohmann-json.
#pragma once

#include <cstdio>
#include <vector>

#include "zibbet-bench/bench_machine.h"
#include "zibbet-bench/bench_runs.h"

// A run's object. Its top level holds the first thread count's medians under
// the names scripts have always read (steps_per_second, phase_seconds,
// digest...); "runs" holds every thread count with every sample.
void benchWriteJson(std::FILE* f, const BenchMachine& machine, const BenchWorkload& work,
                    const BenchRunShape& shape);
// --suite's object: the machine, and each scene's work and runs under "suite".
void benchWriteSuiteJson(std::FILE* f, const BenchMachine& machine,
                         const std::vector<BenchWorkload>& suite, const BenchRunShape& shape);

constexpr int kBenchCompareRefused = 1;    // not results, or results of different work
constexpr int kBenchCompareUnreadable = 2; // a file that cannot be read

// Writes the table to out and returns 0, whatever the verdicts; refuses,
// with the reason on stderr, files that cannot be read (kBenchCompareUnreadable),
// that hold no result (a key missing or of the wrong kind), or whose work
// differs unless force (kBenchCompareRefused). A file may hold several
// results one after the other (runs appended to it): their samples are
// pooled when they are of the same work; a file from before repetitions
// gives one sample.
int benchCompare(const char* pathA, const char* pathB, bool force, std::FILE* out);
