// Reading two result files, checking that they did the same work, and the
// table of their figures side by side.
#include "zibbet-bench/bench_json.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// A result file: its first machine record and its work, pooled.
struct ResultFile {
    std::string machine; // one line
    int results = 0;     // JSON objects pooled
    std::vector<BenchWorkload> work;
};

// Adds b's samples to a's series of the same thread count.
void pool(BenchWorkload& a, const BenchWorkload& b) {
    for (const BenchSeries& s : b.series) {
        BenchSeries* same = nullptr;
        for (BenchSeries& t : a.series)
            if (t.threads == s.threads) same = &t;
        if (same)
            same->samples.insert(same->samples.end(), s.samples.begin(), s.samples.end());
        else
            a.series.push_back(s);
    }
}

// How a differs from b as work (scene, steps, drag, drag schedule, the
// bodies' size, digest): the first difference in words, or "" when none.
std::string workDifference(const BenchWorkload& a, const BenchWorkload& b) {
    namespace fs = std::filesystem;
    const std::string sceneA = fs::path(a.scene).filename().string();
    const std::string sceneB = fs::path(b.scene).filename().string();
    char why[160] = "";
    if (sceneA != sceneB)
        std::snprintf(why, sizeof why, "scene %s against %s", sceneA.c_str(), sceneB.c_str());
    else if (a.steps != b.steps)
        std::snprintf(why, sizeof why, "%ld steps against %ld", a.steps, b.steps);
    else if (a.drag[0] != b.drag[0] || a.drag[1] != b.drag[1])
        std::snprintf(why, sizeof why, "drag (%ld, %ld) against (%ld, %ld)", a.drag[0], a.drag[1],
                      b.drag[0], b.drag[1]);
    else if (a.schedule != b.schedule)
        std::snprintf(why, sizeof why, "drag schedule %ld against %ld", a.schedule, b.schedule);
    else if (a.masses != b.masses || a.springs != b.springs)
        std::snprintf(why, sizeof why,
                      "%" PRId64 " masses and %" PRId64 " springs against %" PRId64 " and %" PRId64,
                      a.masses, a.springs, b.masses, b.springs);
    else if (a.digest != b.digest)
        std::snprintf(why, sizeof why, "digest %016" PRIx64 " against %016" PRIx64, a.digest,
                      b.digest);
    return why;
}

// How the scenes of a differ from b's as work, "" when they do not.
std::string scenesDifference(const std::vector<BenchWorkload>& a,
                             const std::vector<BenchWorkload>& b) {
    std::string why = a.size() != b.size() ? "another number of scenes" : "";
    for (size_t k = 0; why.empty() && k < a.size(); ++k)
        why = workDifference(a[k], b[k]);
    return why;
}

// Reads, parses and pools a file; the exit status, 0 when it is read.
int readResults(const char* path, ResultFile& file) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "zibbet-bench: cannot read '%s': %s\n", path, std::strerror(errno));
        return kBenchCompareUnreadable;
    }
    std::string text;
    char buf[65536];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    const bool readError = std::ferror(f);
    std::fclose(f);
    if (readError) {
        std::fprintf(stderr, "zibbet-bench: cannot read '%s'\n", path);
        return kBenchCompareUnreadable;
    }
    std::vector<BenchJson> values;
    std::string error;
    if (!benchJsonParse(text, values, error)) {
        std::fprintf(stderr, "zibbet-bench: '%s' is not JSON: %s\n", path, error.c_str());
        return kBenchCompareRefused;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        BenchResult result;
        if (!benchJsonResult(values[i], result, error)) {
            std::fprintf(stderr, "zibbet-bench: '%s', result %zu: %s\n", path, i + 1,
                         error.c_str());
            return kBenchCompareRefused;
        }
        const std::vector<BenchWorkload>& work = result.work;
        if (i == 0) {
            file.work = work;
            file.machine = result.machine;
        } else {
            const std::string why = scenesDifference(file.work, work);
            if (!why.empty()) {
                std::fprintf(stderr,
                             "zibbet-bench: '%s' holds results of different work (result %zu: "
                             "%s): they cannot be pooled\n",
                             path, i + 1, why.c_str());
                return kBenchCompareRefused;
            }
            for (size_t k = 0; k < work.size(); ++k)
                pool(file.work[k], work[k]);
        }
        ++file.results;
    }
    return 0;
}

// The figures weighed, drawn from each sample; the phases per step.
struct FigureRow {
    BenchFigure figure;
    const char* name;
    bool rate; // higher is faster; else a time, lower is faster
};

const FigureRow kFigures[] = {
    {BENCH_STEP_RATE, "steps/s", true},
    {BENCH_SPRING_RATE, "springs/s", true},
    {BENCH_FORCES_SECONDS, "forces us/step", false},
    {BENCH_SPRINGS_SECONDS, "springs us/step", false},
    {BENCH_MOTION_SECONDS, "motion us/step", false},
};

std::vector<double> figures(const BenchWorkload& w, const BenchSeries& s, const FigureRow& row) {
    std::vector<double> out = benchFigures(w, s).samples[row.figure];
    if (!row.rate)
        for (double& x : out)
            x *= 1e6 / static_cast<double>(w.steps > 0 ? w.steps : 1);
    return out;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, v >= 1e7 ? "%.4e" : v >= 100.0 ? "%.1f" : "%.3f", v);
    return text;
}

void printRow(std::FILE* out, const std::string& label, const FigureRow& row,
              const std::vector<double>& a, const std::vector<double>& b) {
    const BenchUTest u = benchMannWhitney(a, b);
    const BenchRatio r = benchRatio(a, b);
    char interval[48] = "-";
    if (r.level > 0.0) std::snprintf(interval, sizeof interval, "%.3f-%.3f", r.lo, r.hi);
    const char* verdict = "no significant difference";
    if (u.significant) verdict = (r.pairs > 1.0) == row.rate ? "B faster" : "B slower";
    std::fprintf(out, "%-17s %10s %10s %6.3f %6.3f %-12s %6.3f %-6s %s\n", label.c_str(),
                 number(benchSummarize(a).median).c_str(), number(benchSummarize(b).median).c_str(),
                 r.ratio, r.pairs, interval, u.p, u.exact ? "exact" : "normal", verdict);
}

void printWork(std::FILE* out, const BenchWorkload& w, const char* side) {
    std::fprintf(out,
                 "work%s  %s, %ld steps, drag (%ld, %ld)%s, %" PRId64 " springs, digest %016" PRIx64
                 "\n",
                 side, w.scene.c_str(), w.steps, w.drag[0], w.drag[1],
                 w.schedule ? (", schedule " + std::to_string(w.schedule)).c_str() : "", w.springs,
                 w.digest);
}

} // namespace

int benchCompare(const char* pathA, const char* pathB, bool force, std::FILE* out) {
    ResultFile a, b;
    if (int status = readResults(pathA, a)) return status;
    if (int status = readResults(pathB, b)) return status;
    const std::string why = scenesDifference(a.work, b.work);
    if (!why.empty() && !force) {
        std::fprintf(stderr,
                     "zibbet-bench: '%s' and '%s' did different work (%s): their figures do not "
                     "compare (--force compares them all the same)\n",
                     pathA, pathB, why.c_str());
        return kBenchCompareRefused;
    }
    std::fprintf(out, "A          %s: %d result%s; %s\n", pathA, a.results,
                 a.results == 1 ? "" : "s pooled", a.machine.c_str());
    std::fprintf(out, "B          %s: %d result%s; %s\n", pathB, b.results,
                 b.results == 1 ? "" : "s pooled", b.machine.c_str());
    if (!why.empty()) std::fprintf(out, "forced     different work: %s\n", why.c_str());
    const size_t scenes = std::min(a.work.size(), b.work.size());
    for (size_t k = 0; k < scenes; ++k) {
        const BenchWorkload& wa = a.work[k];
        const BenchWorkload& wb = b.work[k];
        printWork(out, wa, why.empty() ? "      " : " A    ");
        if (!why.empty()) printWork(out, wb, " B    ");
        std::fprintf(out, "%-17s %10s %10s %6s %6s %-12s %6s %-6s %s\n", "figure", "A median",
                     "B median", "B/A", "pairs", "interval", "p", "test", "verdict");
        int common = 0;
        for (const BenchSeries& sa : wa.series) {
            for (const BenchSeries& sb : wb.series) {
                if (sa.threads != sb.threads) continue;
                ++common;
                std::fprintf(out, "%d thread%s: A %zu runs, B %zu runs\n", sa.threads,
                             sa.threads == 1 ? "" : "s", sa.samples.size(), sb.samples.size());
                for (const FigureRow& row : kFigures)
                    printRow(out, std::string("  ") + row.name, row, figures(wa, sa, row),
                             figures(wb, sb, row));
            }
        }
        if (common == 0) std::fprintf(out, "(no thread count in both files)\n");
    }
    std::fprintf(out,
                 "B/A: the ratio of the medians; above 1 for a rate, below 1 for a time, B is "
                 "faster.\n"
                 "pairs: the median of B's samples over A's, over all pairs; interval: around it, "
                 "from the\n"
                 "same ratios, at least %.0f %% confident.\n"
                 "p: two-sided Mann-Whitney U test over the samples (exact without ties and for "
                 "few samples,\n"
                 "else the normal approximation with the tie correction); significant below "
                 "%.2f.\n",
                 kBenchIntervalLevel * 100.0, kBenchSignificance);
    return 0;
}
