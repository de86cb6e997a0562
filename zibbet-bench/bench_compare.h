// zibbet-bench --compare A.json B.json: for each figure both result files
// hold, B's median over A's with an interval, and whether the two differ by
// the Mann-Whitney U test over their samples, in one table.
#pragma once

#include <cstdio>
#include <string>

#include "zibbet-bench/bench_runs.h"

constexpr int kBenchCompareRefused = 1;    // not results, or results of different work
constexpr int kBenchCompareUnreadable = 2; // a file that cannot be read

// How a differs from b as work (scene, steps, drag, drag schedule, the
// bodies' size, digest): the first difference in words, or "" when none.
std::string benchWorkDifference(const BenchWorkload& a, const BenchWorkload& b);

// Writes the table to out and returns 0, whatever the verdicts; refuses,
// with the reason on stderr, files that cannot be read (kBenchCompareUnreadable),
// that hold no result, or whose work differs unless force
// (kBenchCompareRefused). A file may hold several results one after the
// other (runs appended to it): their samples are pooled when they are of the
// same work.
int benchCompare(const char* pathA, const char* pathB, bool force, std::FILE* out);
