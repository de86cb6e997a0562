// zibbet-bench's statistics: a series of repeated figures summed up, and two
// series weighed against each other with the Mann-Whitney U test and an
// interval for their ratio. Both are rank methods: one run slowed by another
// program moves them by one rank, not by its size.
#pragma once

#include <vector>

constexpr double kBenchBusySpread = 0.05;    // a wider spread: the machine was busy
constexpr double kBenchSignificance = 0.05;  // a smaller two-sided p: the series differ
constexpr double kBenchIntervalLevel = 0.95; // the least confidence of a ratio's interval

// A series of figures of one kind (steps/s, say).
struct BenchSummary {
    int count = 0;
    double median = 0.0; // of an even count, the mean of the middle two
    double min = 0.0;
    double max = 0.0;
    double spread = 0.0; // (max - min) / median; 0 for a single figure
};

// The Mann-Whitney U test of two series against the hypothesis that both
// come from one distribution.
struct BenchUTest {
    double u = 0.0;           // pairs (a, b) with a > b, a tie counting one half
    double p = 1.0;           // two-sided
    bool exact = false;       // exact distribution; else the normal approximation
    bool significant = false; // p < kBenchSignificance
};

// b's figures over a's: the ratio of the medians, and the median of the
// ratios of all pairs (b_j / a_i) with a distribution-free interval drawn
// from those ratios by the U statistic's distribution (the Hodges-Lehmann
// estimate and interval, on ratios). The interval holds 1 exactly when the
// exact U test finds no difference at the same level; it is the pairs'
// interval, so with skewed figures the ratio of the medians may lie outside.
struct BenchRatio {
    double ratio = 0.0; // median(b) / median(a)
    double pairs = 0.0; // median of b_j / a_i over all pairs
    double lo = 0.0;    // the interval, when level > 0
    double hi = 0.0;
    double level = 0.0; // its confidence, at least kBenchIntervalLevel; 0: too few figures
};

BenchSummary benchSummarize(const std::vector<double>& figures); // median, range and spread
// Exact when neither series has a tie with the other or itself and the
// pairs are few enough to count (kBenchExactPairs); else the normal
// approximation with the tie correction and a continuity correction.
BenchUTest benchMannWhitney(const std::vector<double>& a, const std::vector<double>& b);
BenchRatio benchRatio(const std::vector<double>& a,
                      const std::vector<double>& b); // positive figures

constexpr int kBenchExactPairs = 2500; // a's count times b's, at most, for exact counts
