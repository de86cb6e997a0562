// The result files, written and read through nlohmann-json.
//
// Sections: writing; reading.
#include "zibbet-bench/bench_json.h"

#include <cinttypes>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

namespace {

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

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
    static const BenchSeries kNone;
    const BenchSeries& head = work.series.empty() ? kNone : work.series.front();
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

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------
namespace {

// The library's message without its "[json.exception...] " tag.
std::string reason(const std::exception& e) {
    const std::string what = e.what();
    const size_t tag = what.rfind("] ", what.find(' '));
    return tag == std::string::npos ? what : what.substr(tag + 2);
}

// object[key] as a T; throws with the key's name when it is missing or of
// another kind.
template <class T> T get(const BenchJson& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) throw std::runtime_error(std::string("no \"") + key + "\"");
    try {
        return it->template get<T>();
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(std::string("\"") + key + "\": " + reason(e));
    }
}

uint64_t digestOf(const BenchJson& object) {
    const std::string text = get<std::string>(object, "digest");
    char* end = nullptr;
    const uint64_t digest = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0')
        throw std::runtime_error("\"digest\": \"" + text + "\" is not a hexadecimal digest");
    return digest;
}

// A sample from an object with run_seconds, phase_seconds and digest.
BenchSample sampleOf(const BenchJson& object) {
    BenchSample s;
    s.runSeconds = get<double>(object, "run_seconds");
    const BenchJson phases = get<BenchJson>(object, "phase_seconds");
    for (int p = 0; p < kBenchPhases; ++p)
        s.phase[p] = get<double>(phases, kBenchPhaseNames[p]);
    s.digest = digestOf(object);
    return s;
}

// The work's own fields; a file from before the drag schedule was written
// had none.
BenchWorkload workOf(const BenchJson& object) {
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

void seriesOf(const BenchJson& runs, BenchWorkload& w) {
    if (!runs.is_array()) throw std::runtime_error("\"runs\" is not an array");
    for (const BenchJson& run : runs) {
        BenchSeries s;
        s.threads = get<int>(run, "threads");
        if (run.contains("plan_seconds")) s.planSeconds = get<double>(run, "plan_seconds");
        for (const BenchJson& item : get<BenchJson>(run, "samples"))
            s.samples.push_back(sampleOf(item));
        w.series.push_back(s);
    }
}

std::string textOf(const BenchJson& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end()) return "";
    if (it->is_string()) return it->get<std::string>();
    return it->is_number() ? it->dump() : "";
}

// "AMD EPYC (AuthenticAMD family 25 model 1 stepping 1), g++ 12.2.0, Release,
// zibbet 0.9.0", from what the record holds.
std::string machineLine(const BenchJson& result) {
    const auto m = result.find("machine");
    if (m == result.end()) return "no machine record";
    auto field = [&](const char* key) { return textOf(*m, key); };
    std::string line = field("cpu");
    if (!field("family").empty())
        line += " (" + field("vendor") + " family " + field("family") + " model " + field("model") +
                " stepping " + field("stepping") + ")";
    else if (!field("implementer").empty())
        line += " (implementer " + field("implementer") + " part " + field("part") + ")";
    for (const char* key : {"compiler", "build_type"})
        if (!field(key).empty()) line += ", " + field(key);
    if (!field("version").empty()) line += ", zibbet " + field("version");
    return line;
}

} // namespace

bool benchJsonParse(const std::string& text, std::vector<BenchJson>& values, std::string& error) {
    values.clear();
    std::istringstream in(text);
    while ((in >> std::ws).peek() != std::char_traits<char>::eof()) {
        try {
            values.emplace_back();
            in >> values.back();
        } catch (const nlohmann::json::exception& e) {
            error = (values.size() > 1 ? "value " + std::to_string(values.size()) + ": " : "") +
                    reason(e);
            return false;
        }
    }
    if (values.empty()) error = "no JSON value";
    return !values.empty();
}

bool benchJsonResult(const BenchJson& value, BenchResult& out, std::string& error) {
    out = BenchResult{};
    try {
        if (!value.is_object()) throw std::runtime_error("not an object");
        out.machine = machineLine(value);
        if (value.contains("suite")) {
            for (const BenchJson& scene : get<BenchJson>(value, "suite")) {
                out.work.push_back(workOf(scene));
                seriesOf(get<BenchJson>(scene, "runs"), out.work.back());
            }
            if (out.work.empty()) throw std::runtime_error("an empty suite");
            return true;
        }
        BenchWorkload w = workOf(value);
        if (value.contains("runs")) {
            seriesOf(value["runs"], w);
        } else {
            // One run, written before repetitions: its figures are one sample.
            BenchSeries s;
            s.threads = value.contains("threads") ? get<int>(value, "threads") : 1;
            s.samples.push_back(sampleOf(value));
            w.series.push_back(s);
        }
        out.work.push_back(w);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}
