// zibbet-bench's statistics against hand-computed values and against
// counting every relabelling; repetitions that must agree; --compare.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_dir.h"
#include "world_fixture.h"
#include "zibbet-bench/bench_runs.h"

namespace {

TEST(BenchStats, SummaryOfASeries) {
    struct Case {
        std::vector<double> figures;
        double median, min, max, spread;
    };
    const Case cases[] = {
        {{5, 1, 4, 2, 3}, 3, 1, 5, 4.0 / 3.0},
        {{10, 1, 3, 2}, 2.5, 1, 10, 9.0 / 2.5}, // an even count: the middle two's mean
        {{7}, 7, 7, 7, 0},
    };
    for (const Case& c : cases) {
        const BenchSummary s = benchSummarize(c.figures);
        EXPECT_EQ(std::tie(s.count, s.median, s.min, s.max),
                  std::tuple(static_cast<int>(c.figures.size()), c.median, c.min, c.max));
        EXPECT_DOUBLE_EQ(s.spread, c.spread);
    }
}

// Worked by hand. 1..5 against 6..10: U = 0, one split in C(10, 5) = 252 at
// each extreme, p = 2/252; P(U <= 2) = 4/252 is the largest tail within
// 2.5 %, so the interval runs from the 3rd smallest ratio b/a (6/4) to the
// 3rd largest (8/1). With ties, the variance 9/12 (7 - sum(t^3 - t)/30) and
// the continuity correction: {1, 2, 2} against {2, 3, 3} gives U = 1, a
// variance of 4.5, z = sqrt(2); {1, 2, 3} against {2, 3, 30}, whose nine
// ratios have 2 in the middle, gives U = 2, a variance of 4.95, z / sqrt(2) =
// 2 / sqrt(9.9).
TEST(BenchStats, UTestAndIntervalOnHandWorkedSamples) {
    struct Case {
        std::vector<double> a, b;
        double u, p;
        bool exact, significant;
        double ratio, pairs, lo, hi, level; // level 0: no interval
    };
    const double level = 1 - 8.0 / 252; // of the first case's interval
    const double p1 = 2.0 / 252, r1 = 8.0 / 3;
    const Case cases[] = {
        {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}, 0, p1, true, true, r1, r1, 1.5, 8, level},
        {{1, 2, 2}, {2, 3, 3}, 1, std::erfc(1.0), false, false, 1.5, 1.5, 0, 0, 0},
        {{1, 2, 3}, {2, 3, 30}, 2, std::erfc(2 / std::sqrt(9.9)), false, false, 1.5, 2, 0, 0, 0},
        {{3, 1, 2}, {2, 3, 1}, 4.5, 1, false, false, 1, 1, 0, 0, 0}, // a series against itself
        {{4}, {9}, 0, 1, true, false, 2.25, 2.25, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case with U " << c.u);
        const BenchUTest t = benchMannWhitney(c.a, c.b);
        EXPECT_DOUBLE_EQ(t.u, c.u);
        EXPECT_NEAR(t.p, c.p, 1e-12);
        EXPECT_EQ(t.exact, c.exact);
        EXPECT_EQ(t.significant, c.significant);
        const BenchRatio r = benchRatio(c.a, c.b);
        EXPECT_DOUBLE_EQ(r.ratio, c.ratio);
        EXPECT_DOUBLE_EQ(r.pairs, c.pairs);
        EXPECT_NEAR(r.level, c.level, 1e-12);
        if (c.level > 0) {
            EXPECT_DOUBLE_EQ(r.lo, c.lo);
            EXPECT_DOUBLE_EQ(r.hi, c.hi);
        }
    }
}

// The exact p against counting every way of splitting the pooled figures
// into two series of the same sizes; and the interval holds 1 exactly when
// the test finds no difference.
TEST(BenchStats, ExactTestAgreesWithEveryRelabellingAndTheInterval) {
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<double>((seed >> 8) % 100000) / 1000.0 + 1.0;
    };
    for (const int m : {2, 4, 5, 7}) {
        for (const int n : {3, 5, 6}) {
            std::vector<double> a, b;
            for (int i = 0; i < m; ++i)
                a.push_back(next());
            for (int i = 0; i < n; ++i)
                b.push_back(next() + ((m + n) % 2 ? 70.0 : 0.0)); // half of them differ
            std::vector<double> all = a;
            all.insert(all.end(), b.begin(), b.end());
            const auto uOf = [&](unsigned mask) { // U of the figures whose bits are set
                double u = 0;
                for (int i = 0; i < m + n; ++i)
                    for (int j = 0; j < m + n; ++j)
                        if ((mask >> i & 1) && !(mask >> j & 1) && all[i] > all[j]) ++u;
                return u;
            };
            const double u = uOf((1u << m) - 1);
            const double mean = m * n / 2.0;
            double extreme = 0, splits = 0;
            for (unsigned mask = 0; mask < 1u << (m + n); ++mask) {
                if (__builtin_popcount(mask) != m) continue;
                ++splits;
                // One tail, doubled: the distribution is symmetric.
                if (u <= mean ? uOf(mask) <= u : uOf(mask) >= u) ++extreme;
            }
            SCOPED_TRACE(testing::Message() << m << " against " << n);
            const BenchUTest t = benchMannWhitney(a, b);
            ASSERT_TRUE(t.exact);
            EXPECT_DOUBLE_EQ(t.u, u);
            EXPECT_NEAR(t.p, std::min(1.0, 2 * extreme / splits), 1e-12);
            const BenchRatio r = benchRatio(a, b);
            if (r.level > 0) {
                EXPECT_EQ(t.significant, r.lo > 1.0 || r.hi < 1.0);
            }
        }
    }
}

// A run that returns the digests it is given, one per call.
struct Script {
    std::vector<uint64_t> digests;
    size_t calls = 0;
    BenchSample operator()(bool) {
        BenchSample x;
        x.runSeconds = 1.0 + static_cast<double>(calls);
        x.digest = digests[calls++];
        return x;
    }
};

TEST(BenchRepeat, EveryRunMustEndAsTheFirstDid) {
    // A warm-up and three timed runs that agree: the warm-up is not kept.
    Script same{{7, 7, 7, 7}};
    BenchAgreement agreement;
    std::vector<BenchSample> samples;
    ASSERT_TRUE(benchRepeat(3, true, std::ref(same), agreement, samples));
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(std::tie(samples.front().runSeconds, agreement.runs, agreement.digest),
              std::tuple(2.0, 4, 7u));

    // The next thread count's runs answer to the same first digest.
    Script other{{7, 8, 7}};
    EXPECT_FALSE(benchRepeat(2, true, std::ref(other), agreement, samples));
    EXPECT_EQ(other.calls, 2u) << "stops at the run that differs";
    EXPECT_EQ(samples.size(), 3u);

    Script late{{5, 5, 5, 6}};
    BenchAgreement fresh;
    std::vector<BenchSample> none;
    EXPECT_FALSE(benchRepeat(3, true, std::ref(late), fresh, none));
}

class BenchCompare : public BenchDir {};

// Repeated runs at two thread counts agree, their file holds every sample
// and the machine record, and compares with itself.
TEST_F(BenchCompare, RepeatedRunsAgreeAndTheirFilesCompare) {
    const FxRunResult run =
        bench("--steps 30 --drag 40 -30 --repeat 3 --threads 1,2 --json a.json", true);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has(run.out, "1 and 2 threads\n"));
    EXPECT_TRUE(has(run.out, "\nruns       all 8 ended with this digest\n"));

    const nlohmann::json result = nlohmann::json::parse(fxReadFile(dir + "/a.json"));
    EXPECT_EQ(result["steps"], 30);
    ASSERT_EQ(result["runs"].size(), 2u);
    for (const nlohmann::json& s : result["runs"]) {
        ASSERT_EQ(s["samples"].size(), 3u) << s["threads"];
        for (const nlohmann::json& x : s["samples"]) {
            EXPECT_EQ(x["digest"], result["digest"]);
            EXPECT_GT(x["run_seconds"].get<double>(), 0.0);
        }
    }
    // The machine record: every field, and a value in each field that every
    // machine shows (the processor's identity, governor and boost vary).
    const nlohmann::json& machine = result["machine"];
    for (const char* key :
         {"vendor", "family", "model", "stepping", "implementer", "part", "governor", "boost"})
        ASSERT_TRUE(machine.contains(key)) << key;
    for (const char* key :
         {"cpu", "processors", "paths", "allowed", "l1d_bytes", "l2_bytes", "l3_bytes",
          "memory_bytes", "kernel", "compiler", "build_type", "version", "load_average"}) {
        ASSERT_TRUE(machine.contains(key)) << key;
        EXPECT_FALSE(machine[key].is_null()) << key;
    }
    EXPECT_TRUE(machine["family"].is_string() || machine["part"].is_string())
        << "neither family and model nor implementer and part";

    const FxRunResult self = bench("--compare a.json a.json");
    EXPECT_EQ(self.status, 0) << self.out;
    // Five figures at two thread counts.
    EXPECT_EQ(countOf(self.out, "no significant difference"), 10u) << self.out;
    EXPECT_FALSE(has(self.out, "B faster") || has(self.out, "B slower")) << self.out;
}

// Every reason to refuse two files, or to pool a file's results: B is A's
// one result (written before repetitions: one sample) with one field
// changed. Forced, the work is compared all the same. Results of the same
// work are pooled.
TEST_F(BenchCompare, FilesOfDifferentWorkAreRefusedWithTheirReason) {
    const std::string work = "\"scene\": \"bmoon1m.3ds\", \"steps\": 30, \"drag\": [40, -30], "
                             "\"schedule\": 0, \"masses\": 650, \"springs\": 9000, \"digest\": "
                             "\"00000000000000ab\"";
    const std::string sample = "\"run_seconds\": 0.75, \"phase_seconds\": {\"forces\": 0.01, "
                               "\"springs\": 0.7, \"motion\": 0.04}";
    const std::string one = "{" + work + ", " + sample + "}\n";
    const std::string scene = "{" + work + ", \"runs\": [{\"threads\": 1, \"samples\": [{" + work +
                              ", " + sample + "}]}]}";
    std::ofstream(dir + "/a.json") << one;
    std::ofstream(dir + "/three.json") << one << one << one;
    const FxRunResult pooled = bench("--compare three.json a.json");
    EXPECT_EQ(pooled.status, 0) << pooled.out;
    EXPECT_TRUE(has(pooled.out, "three.json: 3 results pooled"));
    EXPECT_TRUE(has(pooled.out, "1 thread: A 3 runs, B 1 runs\n"));
    double medianA = 0; // 30 steps in 0.75 s
    const size_t at = pooled.out.find("\n  steps/s ");
    ASSERT_NE(at, std::string::npos) << pooled.out;
    EXPECT_EQ(std::sscanf(pooled.out.c_str() + at, "\n  steps/s %lf", &medianA), 1);
    EXPECT_EQ(medianA, 40.0) << pooled.out;
    const auto said = [this](const std::string& args) { // standard error alone
        return fxRunCommand("cd " + dir + " && " + ZIBBET_BENCH_BINARY + " --compare " + args +
                                " 2>&1 >/dev/null",
                            false);
    };
    const auto edited = [&one](const std::string& from, const std::string& to) {
        std::string text = one;
        return text.replace(text.find(from), from.size(), to);
    };
    const struct {
        std::string b;   // B's text
        const char* why; // the difference
    } rows[] = {
        {edited("bmoon1m", "other"), "scene bmoon1m.3ds against other.3ds"},
        {edited("30,", "31,"), "30 steps against 31"},
        {edited("-30]", "30]"), "drag (40, -30) against (40, 30)"},
        {edited("\"schedule\": 0", "\"schedule\": 7"), "drag schedule 0 against 7"},
        {edited("650", "651"), "650 masses and 9000 springs against 651 and 9000"},
        {edited("9000", "9001"), "650 masses and 9000 springs against 650 and 9001"},
        {edited("0ab", "0ac"), "digest 00000000000000ab against 00000000000000ac"},
        {"{\"suite\": [" + scene + ", " + scene + "]}\n", "another number of scenes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        std::ofstream(dir + "/b.json") << row.b;
        std::ofstream(dir + "/pool.json") << one << row.b;
        const std::string why = row.why;
        EXPECT_EQ(said("a.json b.json").out,
                  "zibbet-bench: 'a.json' and 'b.json' did different work (" + why +
                      "): their figures do not compare (--force compares them all the same)\n");
        EXPECT_EQ(said("pool.json a.json").out, "zibbet-bench: 'pool.json' holds results of "
                                                "different work (result 2: " +
                                                    why + "): they cannot be pooled\n");
        EXPECT_EQ(said("a.json b.json").status, 1);
        EXPECT_TRUE(has(bench("--compare a.json b.json --force").out,
                        "\nforced     different work: " + why + "\n"));
    }
    // Files that hold no results: the status, and the message's start.
    std::ofstream(dir + "/none.json") << "{\"steps\": 30}\n";
    std::ofstream(dir + "/bad.json") << "{\"steps\": \n";
    for (const auto& [b, status, says] :
         {std::tuple{"missing.json", 2, "cannot read 'missing.json': No such file or directory\n"},
          {"none.json", 1, "'none.json', result 1: no \"scene\"\n"},
          {"bad.json", 1, "'bad.json' is not JSON: "}}) {
        const FxRunResult r = said(std::string("a.json ") + b);
        EXPECT_EQ(r.status, status) << r.out;
        EXPECT_EQ(r.out.rfind(std::string("zibbet-bench: ") + says, 0), 0u) << r.out;
    }
}

} // namespace
