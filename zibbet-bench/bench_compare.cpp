// --compare: reads two result files back, checks that they did the same
// work, and prints the table of their figures side by side.
//
// Sections: reading; the work; the table.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "zibbet-bench/bench_json.h"

namespace {

using Json = nlohmann::json;

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

// The library's message without its "[json.exception...] " tag.
std::string reason(const std::exception& e) {
    const std::string what = e.what();
    const size_t tag = what.rfind("] ", what.find(' '));
    return tag == std::string::npos ? what : what.substr(tag + 2);
}

// object[key] as a T; throws with the key's name when it is missing or of
// another kind.
template <class T> T get(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) throw std::runtime_error(std::string("no \"") + key + "\"");
    try {
        return it->template get<T>();
    } catch (const Json::exception& e) {
        throw std::runtime_error(std::string("\"") + key + "\": " + reason(e));
    }
}

uint64_t digestOf(const Json& object) {
    const std::string text = get<std::string>(object, "digest");
    char* end = nullptr;
    const uint64_t digest = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0')
        throw std::runtime_error("\"digest\": \"" + text + "\" is not a hexadecimal digest");
    return digest;
}

// A sample from an object with run_seconds, phase_seconds and digest.
BenchSample sampleOf(const Json& object) {
    BenchSample s;
    s.runSeconds = get<double>(object, "run_seconds");
    const Json phases = get<Json>(object, "phase_seconds");
    for (int p = 0; p < kBenchPhases; ++p)
        s.phase[p] = get<double>(phases, kBenchPhaseNames[p]);
    s.digest = digestOf(object);
    return s;
}

// The work's own fields; a file from before the drag schedule was written
// had none.
BenchWorkload workOf(const Json& object) {
    BenchWorkload w;
    w.scene = get<std::string>(object, "scene");
    w.steps = get<long>(object, "steps");
    const std::vector<long> drag = get<std::vector<long>>(object, "drag");
    if (drag.size() != 2) throw std::runtime_error("\"drag\" is not two numbers");
    w.drag[0] = drag[0];
    w.drag[1] = drag[1];
    w.schedule = object.contains("schedule") ? get<long>(object, "schedule") : 0;
    w.masses = get<int64_t>(object, "masses");
    w.springs = get<int64_t>(object, "springs");
    w.digest = digestOf(object);
    return w;
}

void seriesOf(const Json& runs, BenchWorkload& w) {
    if (!runs.is_array()) throw std::runtime_error("\"runs\" is not an array");
    for (const Json& run : runs) {
        BenchSeries s;
        s.threads = get<int>(run, "threads");
        for (const Json& item : get<Json>(run, "samples"))
            s.samples.push_back(sampleOf(item));
        w.series.push_back(s);
    }
}

// The scenes of a result object: a suite's, or a run's one; throws with what
// is wrong when it is no result.
std::vector<BenchWorkload> resultOf(const Json& value) {
    if (!value.is_object()) throw std::runtime_error("not an object");
    std::vector<BenchWorkload> work;
    if (value.contains("suite")) {
        for (const Json& scene : get<Json>(value, "suite")) {
            work.push_back(workOf(scene));
            seriesOf(get<Json>(scene, "runs"), work.back());
        }
        if (work.empty()) throw std::runtime_error("an empty suite");
        return work;
    }
    work.push_back(workOf(value));
    if (value.contains("runs")) {
        seriesOf(value["runs"], work.back());
    } else {
        // One run, written before repetitions: its figures are one sample.
        BenchSeries s;
        s.threads = value.contains("threads") ? get<int>(value, "threads") : 1;
        s.samples.push_back(sampleOf(value));
        work.back().series.push_back(s);
    }
    return work;
}

// "AMD EPYC (AuthenticAMD family 25 model 1 stepping 1), g++ 12.2.0, Release,
// zibbet 0.9.0", from what the record holds.
std::string machineLine(const Json& result) {
    const auto m = result.find("machine");
    if (m == result.end()) return "no machine record";
    auto field = [&](const char* key) -> std::string {
        const auto it = m->find(key);
        if (it == m->end()) return "";
        return it->is_string() ? it->get<std::string>() : it->is_number() ? it->dump() : "";
    };
    BenchMachine id;
    for (auto [key, member] : {std::pair{"cpu", &BenchMachine::cpu},
                               {"vendor", &BenchMachine::vendor},
                               {"family", &BenchMachine::family},
                               {"model", &BenchMachine::model},
                               {"stepping", &BenchMachine::stepping},
                               {"implementer", &BenchMachine::implementer},
                               {"part", &BenchMachine::part}})
        id.*member = field(key);
    std::string line = benchMachineName(id);
    for (const char* key : {"compiler", "build_type"})
        if (!field(key).empty()) line += ", " + field(key);
    if (!field("version").empty()) line += ", zibbet " + field("version");
    return line;
}

// The JSON values of a file, one after the other (runs appended to one
// file); false after saying why it cannot be read (the exit status in
// status).
bool readValues(const char* path, std::vector<Json>& values, int& status) {
    std::FILE* f = std::fopen(path, "rb");
    status = kBenchCompareUnreadable;
    if (!f) {
        std::fprintf(stderr, "zibbet-bench: cannot read '%s': %s\n", path, std::strerror(errno));
        return false;
    }
    std::string text;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    const bool readError = std::ferror(f);
    std::fclose(f);
    if (readError) {
        std::fprintf(stderr, "zibbet-bench: cannot read '%s'\n", path);
        return false;
    }
    status = kBenchCompareRefused;
    std::istringstream in(text);
    while ((in >> std::ws).peek() != std::char_traits<char>::eof()) {
        try {
            in >> values.emplace_back();
        } catch (const Json::exception& e) {
            const std::string at =
                values.size() > 1 ? "value " + std::to_string(values.size()) + ": " : "";
            std::fprintf(stderr, "zibbet-bench: '%s' is not JSON: %s%s\n", path, at.c_str(),
                         reason(e).c_str());
            return false;
        }
    }
    if (values.empty())
        std::fprintf(stderr, "zibbet-bench: '%s' is not JSON: no JSON value\n", path);
    return !values.empty();
}

// ---------------------------------------------------------------------------
// The work
// ---------------------------------------------------------------------------

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

// Reads and pools a file; the exit status, 0 when it is read.
int readResults(const char* path, ResultFile& file) {
    std::vector<Json> values;
    int status = 0;
    if (!readValues(path, values, status)) return status;
    for (size_t i = 0; i < values.size(); ++i) {
        std::vector<BenchWorkload> work;
        try {
            work = resultOf(values[i]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zibbet-bench: '%s', result %zu: %s\n", path, i + 1, e.what());
            return kBenchCompareRefused;
        }
        if (i == 0) {
            file.work = work;
            file.machine = machineLine(values[i]);
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

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

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

void printRow(std::FILE* out, const FigureRow& row, const std::vector<double>& a,
              const std::vector<double>& b) {
    const BenchUTest u = benchMannWhitney(a, b);
    const BenchRatio r = benchRatio(a, b);
    char interval[48] = "-";
    if (r.level > 0.0) std::snprintf(interval, sizeof interval, "%.3f-%.3f", r.lo, r.hi);
    const char* verdict = "no significant difference";
    if (u.significant) verdict = (r.pairs > 1.0) == row.rate ? "B faster" : "B slower";
    std::fprintf(out, "  %-15s %10s %10s %6.3f %6.3f %-12s %6.3f %-6s %s\n", row.name,
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
    for (const auto& [side, path, file] : {std::tuple{"A", pathA, &a}, {"B", pathB, &b}})
        std::fprintf(out, "%s          %s: %d result%s; %s\n", side, path, file->results,
                     file->results == 1 ? "" : "s pooled", file->machine.c_str());
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
                    printRow(out, row, figures(wa, sa, row), figures(wb, sb, row));
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
