// zibbet-bench's text report of its runs: the spring plans, each thread
// count's medians and spread, the scaling between counts, the suite's table
// and the peak memory.
#pragma once

#include <string>
#include <vector>

#include "zibbet-bench/bench_options.h"
#include "zibbet-bench/bench_runs.h"

std::string benchThreadsText(const BenchThreadCounts& counts); // "1 and 2 threads"
// Each object's planned ways and times, the chosen one starred.
void benchPrintPlans(const std::vector<BenchPlan>& plans);
// Says on stderr which objects run on the general loop for want of memory.
void benchTellRefusedPlans(const std::vector<BenchPlan>& plans);
// The head line of one thread count's runs: timed runs after a warm-up, or
// the one checked run of a soak.
void benchPrintSeriesHead(int threads, bool all, int timed, bool warmup);
// A series' lines: the medians of its runs, their range and spread, the
// phases, and a warning when the spread says the machine was busy.
void benchPrintSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions& opt);
void benchPrintSuiteSeries(const BenchWorkload& work, const BenchSeries& s, const BenchOptions&);
void benchPrintScaling(const BenchWorkload& work); // each count's steps/s against the first's
void benchPrintSuiteTable(const std::vector<BenchWorkload>& suite, int repeat);
void benchPrintPeakMemory(); // the most memory the process held at once
