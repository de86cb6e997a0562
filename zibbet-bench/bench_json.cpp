// The result files, written through nlohmann-json; bench_compare.cpp reads
// them back.
#include "zibbet-bench/bench_json.h"

#include <cinttypes>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace {

// Keys stay in the order they were written.
using BenchJson = nlohmann::ordered_json;

// A figure with the significant digits the files have always given it.
double digits(double v, int n = 9) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", n, v);
    return std::strtod(text, nullptr);
}

BenchJson orNull(const std::string& text) {
    return text.empty() ? BenchJson() : BenchJson(text);
}

BenchJson countOrNull(int64_t n) {
    return n < 0 ? BenchJson() : BenchJson(n);
}

std::string digestText(uint64_t digest) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, digest);
    return text;
}

BenchJson machineJson(const BenchMachine& m) {
    BenchJson load; // null when the system did not show it
    for (double l : m.load)
        if (m.load[0] >= 0.0) load.push_back(std::round(l * 100.0) / 100.0);
    return {{"cpu", m.cpu},
            {"processors", m.processors},
            {"paths", m.paths},
            {"vendor", orNull(m.vendor)},
            {"family", orNull(m.family)},
            {"model", orNull(m.model)},
            {"stepping", orNull(m.stepping)},
            {"implementer", orNull(m.implementer)},
            {"part", orNull(m.part)},
            {"allowed", m.allowed},
            {"l1d_bytes", countOrNull(m.l1d)},
            {"l2_bytes", countOrNull(m.l2)},
            {"l3_bytes", countOrNull(m.l3)},
            {"memory_bytes", countOrNull(m.memory)},
            {"kernel", orNull(m.kernel)},
            {"compiler", m.compiler},
            {"build_type", m.buildType},
            {"version", m.version},
            {"governor", orNull(m.governor)},
            {"boost", orNull(m.boost)},
            {"load_average", load}};
}

BenchJson plansJson(const std::vector<BenchPlan>& plans) {
    BenchJson out = BenchJson::array();
    for (const BenchPlan& plan : plans) {
        const SimSpringsPlanFigures& f = plan.figures;
        BenchJson candidates = BenchJson::array();
        for (int i = 0; i < f.ways; ++i) {
            const SimSpringWay& w = f.way[i];
            const bool tiled = w.layout == SIM_LAYOUT_TILED;
            candidates.push_back({{"way", benchWayName(w)},
                                  {"layout", tiled ? "tiles" : "general"},
                                  {"path", tiled ? simSpringsPathName(w.path) : ""},
                                  {"threads", w.threads},
                                  {"seconds", digits(w.nanos * 1e-9)}});
        }
        // A plan refused for want of memory runs on the general loop.
        const std::string chosen =
            f.chosen >= 0 ? benchWayName(f.way[f.chosen]) : (f.planRefused ? "general" : "");
        BenchJson refused;
        if (f.planRefused)
            refused = {
                {"needed", f.planBytes}, {"available", f.availableBytes}, {"limit", f.limit}};
        out.push_back({{"object", plan.oid},
                       {"springs", plan.springs},
                       {"bytes", f.planBytes},
                       {"chosen", chosen},
                       {"refused", refused},
                       {"candidates", candidates}});
    }
    return out;
}

BenchJson summaryJson(const BenchSummary& s) {
    return {{"median", digits(s.median)},
            {"min", digits(s.min)},
            {"max", digits(s.max)},
            {"spread", digits(s.spread, 6)}};
}

BenchJson phasesJson(const double* seconds) {
    BenchJson out;
    for (int p = 0; p < kBenchPhases; ++p)
        out[kBenchPhaseNames[p]] = digits(seconds[p]);
    return out;
}

// "runs": every thread count with its samples.
BenchJson seriesJson(const BenchWorkload& work) {
    BenchJson out = BenchJson::array();
    double first = 0.0; // the first count's median steps per second
    for (const BenchSeries& s : work.series) {
        const BenchFigures f = benchFigures(work, s);
        const double rate = f.summary[BENCH_STEP_RATE].median;
        if (out.empty()) first = rate;
        BenchJson samples = BenchJson::array();
        for (size_t k = 0; k < s.samples.size(); ++k) {
            const BenchSample& x = s.samples[k];
            samples.push_back({{"run_seconds", digits(x.runSeconds)},
                               {"steps_per_second", digits(f.samples[BENCH_STEP_RATE][k])},
                               {"springs_per_second", digits(f.samples[BENCH_SPRING_RATE][k])},
                               {"phase_seconds", phasesJson(x.phase)},
                               {"digest", digestText(x.digest)}});
        }
        out.push_back({{"threads", s.threads},
                       {"path", simSpringsPathName(s.path)},
                       {"plan_seconds", digits(s.planSeconds)},
                       {"threaded_phases", s.counters.threadedPhases},
                       {"tiled_phases", s.counters.tiledPhases},
                       {"steps_per_second", summaryJson(f.summary[BENCH_STEP_RATE])},
                       {"springs_per_second", summaryJson(f.summary[BENCH_SPRING_RATE])},
                       {"speedup_over_first", digits(first > 0.0 ? rate / first : 0.0, 6)},
                       {"plans", plansJson(s.plans)},
                       {"samples", samples}});
    }
    return out;
}

void write(std::FILE* f, const BenchJson& j) {
    std::fprintf(f, "%s\n", j.dump(2).c_str());
}

} // namespace

void benchWriteJson(std::FILE* f, const BenchMachine& machine, const BenchWorkload& work,
                    const BenchRunShape& shape) {
    const BenchSeries& head = work.series.front();
    const BenchFigures m = benchFigures(work, head);
    BenchJson j;
    j["machine"] = machineJson(machine);
    j["scene"] = work.scene;
    j["path"] = simSpringsPathName(head.path);
    j["threads"] = head.threads;
    j["threaded_phases"] = head.counters.threadedPhases;
    j["tiled_phases"] = head.counters.tiledPhases;
    j["steps"] = work.steps;
    j["drag"] = {work.drag[0], work.drag[1]};
    j["schedule"] = work.schedule;
    j["masses"] = work.masses;
    j["springs"] = work.springs;
    j["run_seconds"] = digits(m.summary[BENCH_RUN_SECONDS].median);
    j["steps_per_second"] = digits(m.summary[BENCH_STEP_RATE].median);
    j["phase_seconds"] = phasesJson(benchPhaseMedians(m).data());
    j["plan_seconds"] = digits(head.planSeconds);
    j["plans"] = plansJson(head.plans);
    j["springs_per_second"] = digits(m.summary[BENCH_SPRING_RATE].median);
    j["repeat"] = shape.repeat;
    j["warmups"] = shape.warmups;
    j["runs"] = seriesJson(work);
    j["peak_resident_bytes"] = platPeakResidentBytes();
    j["digest"] = digestText(work.digest);
    write(f, j);
}

void benchWriteSuiteJson(std::FILE* f, const BenchMachine& machine,
                         const std::vector<BenchWorkload>& suite, const BenchRunShape& shape) {
    BenchJson scenes = BenchJson::array();
    for (const BenchWorkload& w : suite)
        scenes.push_back({{"scene", w.scene},
                          {"steps", w.steps},
                          {"drag", {w.drag[0], w.drag[1]}},
                          {"schedule", w.schedule},
                          {"masses", w.masses},
                          {"springs", w.springs},
                          {"digest", digestText(w.digest)},
                          {"runs", seriesJson(w)}});
    write(f, {{"machine", machineJson(machine)},
              {"repeat", shape.repeat},
              {"warmups", shape.warmups},
              {"suite", scenes},
              {"peak_resident_bytes", platPeakResidentBytes()}});
}
