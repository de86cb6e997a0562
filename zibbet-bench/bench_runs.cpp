// Repetitions, the figures drawn from them, medians, the U test and the
// ratio's interval.
#include "zibbet-bench/bench_runs.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>

namespace {

constexpr int kSpringPhase = 1; // in kBenchPhaseNames

double medianOfSorted(const std::vector<double>& v) {
    const size_t n = v.size();
    if (n == 0) return 0.0;
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// How many of the C(m + n, m) orders of two series without ties give each
// U from 0 to m n. The largest figure of all belongs either to a, where it
// beats all n of b (f(m - 1, n) shifted by n), or to b, where it beats none
// (f(m, n - 1)). The counts do not change when m and n swap, so the table
// runs over the smaller.
std::vector<double> uCounts(int m, int n) {
    if (m > n) std::swap(m, n);
    // prev[j] = f(i - 1, j) and cur[j] = f(i, j), for j up to n.
    std::vector<std::vector<double>> prev(static_cast<size_t>(n) + 1, std::vector<double>{1.0});
    std::vector<std::vector<double>> cur = prev;
    for (int i = 1; i <= m; ++i) {
        cur[0] = {1.0};
        for (int j = 1; j <= n; ++j) {
            std::vector<double>& f = cur[static_cast<size_t>(j)];
            f.assign(static_cast<size_t>(i) * j + 1, 0.0);
            const std::vector<double>& aWins = prev[static_cast<size_t>(j)];    // f(i - 1, j)
            const std::vector<double>& bWins = cur[static_cast<size_t>(j) - 1]; // f(i, j - 1)
            for (size_t u = 0; u < aWins.size(); ++u)
                f[u + static_cast<size_t>(j)] += aWins[u];
            for (size_t u = 0; u < bWins.size(); ++u)
                f[u] += bWins[u];
        }
        std::swap(prev, cur);
    }
    return prev[static_cast<size_t>(n)];
}

// P(U <= u) for each u from 0 to m n, from the exact counts.
std::vector<double> exactAtMost(int m, int n) {
    std::vector<double> below = uCounts(m, n);
    std::partial_sum(below.begin(), below.end(), below.begin());
    const double total = below.back();
    for (double& p : below)
        p /= total;
    return below;
}

double normalBelow(double z) {
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// z with normalBelow(z) = q, by bisection (q in (0, 1)).
double normalQuantile(double q) {
    double lo = -40.0, hi = 40.0;
    for (int i = 0; i < 200; ++i) {
        const double mid = (lo + hi) / 2.0;
        (normalBelow(mid) < q ? lo : hi) = mid;
    }
    return (lo + hi) / 2.0;
}

bool exactCountable(size_t m, size_t n) {
    return m * n <= static_cast<size_t>(kBenchExactPairs);
}

} // namespace

BenchSummary benchSummarize(const std::vector<double>& figures) {
    BenchSummary s;
    if (figures.empty()) return s;
    std::vector<double> sorted = figures;
    std::sort(sorted.begin(), sorted.end());
    s.count = static_cast<int>(sorted.size());
    s.median = medianOfSorted(sorted);
    s.min = sorted.front();
    s.max = sorted.back();
    s.spread = s.median != 0.0 ? (s.max - s.min) / s.median : 0.0;
    return s;
}

BenchUTest benchMannWhitney(const std::vector<double>& a, const std::vector<double>& b) {
    BenchUTest t;
    const size_t m = a.size(), n = b.size();
    if (m == 0 || n == 0) return t;
    // Mid-ranks over both series, each figure with whether it is a's; ties
    // within and across them counted for the variance's correction.
    std::vector<std::pair<double, bool>> all;
    for (double v : a)
        all.push_back({v, true});
    for (double v : b)
        all.push_back({v, false});
    std::sort(all.begin(), all.end());
    const double total = static_cast<double>(m + n);
    double rankSumA = 0.0, tieTerm = 0.0;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        while (j < all.size() && all[j].first == all[i].first)
            ++j;
        const double midRank = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2.0;
        for (size_t k = i; k < j; ++k)
            if (all[k].second) rankSumA += midRank;
        const double tied = static_cast<double>(j - i);
        tieTerm += tied * tied * tied - tied;
        i = j;
    }
    const double md = static_cast<double>(m), nd = static_cast<double>(n);
    t.u = rankSumA - md * (md + 1.0) / 2.0;
    const double mean = md * nd / 2.0;
    if (tieTerm == 0.0 && exactCountable(m, n)) {
        const std::vector<double> atMost = exactAtMost(static_cast<int>(m), static_cast<int>(n));
        // The counts are symmetric about the mean: the nearer tail, twice.
        const double tail = atMost[static_cast<size_t>(std::min(t.u, md * nd - t.u))];
        t.p = std::min(1.0, 2.0 * tail);
        t.exact = true;
    } else {
        const double variance =
            md * nd / 12.0 * ((total + 1.0) - tieTerm / (total * (total - 1.0)));
        if (variance > 0.0) {
            const double z = std::max(0.0, std::fabs(t.u - mean) - 0.5) / std::sqrt(variance);
            t.p = std::min(1.0, std::erfc(z / std::sqrt(2.0)));
        }
    }
    t.significant = t.p < kBenchSignificance;
    return t;
}

BenchRatio benchRatio(const std::vector<double>& a, const std::vector<double>& b) {
    BenchRatio r;
    const size_t m = a.size(), n = b.size();
    if (m == 0 || n == 0) return r;
    const double medianA = benchSummarize(a).median;
    r.ratio = medianA != 0.0 ? benchSummarize(b).median / medianA : 0.0;
    std::vector<double> pairs;
    pairs.reserve(m * n);
    for (double x : a)
        for (double y : b)
            pairs.push_back(y / x);
    std::sort(pairs.begin(), pairs.end());
    r.pairs = medianOfSorted(pairs);
    // c: the largest U whose lower tail stays within half the miss allowed;
    // the interval runs from the (c + 1)-th smallest ratio to the (c + 1)-th
    // largest.
    const double halfMiss = (1.0 - kBenchIntervalLevel) / 2.0;
    const double mn = static_cast<double>(m * n);
    long c = -1;
    double tail = 0.0;
    if (exactCountable(m, n)) {
        const std::vector<double> atMost = exactAtMost(static_cast<int>(m), static_cast<int>(n));
        for (size_t u = 0; u < atMost.size() && atMost[u] <= halfMiss; ++u) {
            c = static_cast<long>(u);
            tail = atMost[u];
        }
    } else {
        const double sigma = std::sqrt(mn * static_cast<double>(m + n + 1) / 12.0);
        c = static_cast<long>(std::floor(mn / 2.0 - 0.5 - normalQuantile(1.0 - halfMiss) * sigma));
        tail = normalBelow((static_cast<double>(c) + 0.5 - mn / 2.0) / sigma);
    }
    if (c < 0) return r;
    r.lo = pairs[static_cast<size_t>(c)];
    r.hi = pairs[pairs.size() - 1 - static_cast<size_t>(c)];
    r.level = 1.0 - 2.0 * tail;
    return r;
}

bool benchRepeat(int timed, bool warmup, const BenchRunFn& run, BenchAgreement& agreement,
                 std::vector<BenchSample>& samples) {
    for (int i = warmup ? -1 : 0; i < timed; ++i) {
        const BenchSample sample = run(i < 0);
        if (agreement.runs++ == 0) agreement.digest = sample.digest;
        if (sample.digest != agreement.digest) {
            std::fprintf(stderr,
                         "zibbet-bench: run %d ended with digest %016" PRIx64
                         ", the first with %016" PRIx64
                         ": the runs did not do the same work, so no figure stands\n",
                         agreement.runs, sample.digest, agreement.digest);
            return false;
        }
        if (i >= 0) samples.push_back(sample);
    }
    return true;
}

BenchFigures benchFigures(const BenchWorkload& work, const BenchSeries& s) {
    BenchFigures f;
    const double steps = static_cast<double>(work.steps);
    const double springSteps = static_cast<double>(work.springs) * steps;
    for (const BenchSample& x : s.samples) {
        f.samples[BENCH_STEP_RATE].push_back(x.runSeconds > 0.0 ? steps / x.runSeconds : 0.0);
        const double springs = x.phase[kSpringPhase];
        f.samples[BENCH_SPRING_RATE].push_back(springs > 0.0 ? springSteps / springs : 0.0);
        f.samples[BENCH_RUN_SECONDS].push_back(x.runSeconds);
        for (int p = 0; p < kBenchPhases; ++p)
            f.samples[BENCH_FORCES_SECONDS + p].push_back(x.phase[p]);
    }
    for (int i = 0; i < BENCH_FIGURE_COUNT; ++i)
        f.summary[i] = benchSummarize(f.samples[i]);
    return f;
}

BenchPhaseSeconds benchPhaseMedians(const BenchFigures& f) {
    BenchPhaseSeconds out{};
    for (int p = 0; p < kBenchPhases; ++p)
        out[p] = f.summary[BENCH_FORCES_SECONDS + p].median;
    return out;
}

std::string benchWayName(const SimSpringWay& way) {
    if (way.layout != SIM_LAYOUT_TILED) return "general";
    return std::string("tiles ") + simSpringsPathName(way.path) + " x" +
           std::to_string(way.threads);
}
