// The JSON writer and reader.
//
// Sections: writing; reading values; reading results.
#include "zibbet-bench/bench_json.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "zibbet-bench/bench_stats.h"

namespace {

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

// text as a JSON string, quotes included.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A string, or null when the system did not show it.
std::string stringOrNull(const std::string& text) {
    return text.empty() ? "null" : jsonString(text);
}

std::string countOrNull(int64_t n) {
    return n < 0 ? "null" : std::to_string(n);
}

std::string digestText(uint64_t digest) {
    char text[24];
    std::snprintf(text, sizeof text, "\"%016" PRIx64 "\"", digest);
    return text;
}

void writeMachine(std::FILE* f, const BenchMachine& m) {
    std::string paths;
    for (const std::string& name : m.paths)
        paths += (paths.empty() ? "" : ", ") + jsonString(name);
    std::string load = "null";
    if (m.load[0] >= 0.0) {
        char text[96];
        std::snprintf(text, sizeof text, "[%.2f, %.2f, %.2f]", m.load[0], m.load[1], m.load[2]);
        load = text;
    }
    std::fprintf(f, "  \"machine\": {\"cpu\": %s, \"processors\": %d, \"paths\": [%s],\n",
                 jsonString(m.cpu).c_str(), m.processors, paths.c_str());
    std::fprintf(f,
                 "    \"vendor\": %s, \"family\": %s, \"model\": %s, \"stepping\": %s, "
                 "\"implementer\": %s, \"part\": %s,\n",
                 stringOrNull(m.vendor).c_str(), stringOrNull(m.family).c_str(),
                 stringOrNull(m.model).c_str(), stringOrNull(m.stepping).c_str(),
                 stringOrNull(m.implementer).c_str(), stringOrNull(m.part).c_str());
    std::fprintf(f,
                 "    \"allowed\": %d, \"l1d_bytes\": %s, \"l2_bytes\": %s, \"l3_bytes\": %s, "
                 "\"memory_bytes\": %s,\n",
                 m.allowed, countOrNull(m.l1d).c_str(), countOrNull(m.l2).c_str(),
                 countOrNull(m.l3).c_str(), countOrNull(m.memory).c_str());
    std::fprintf(f, "    \"kernel\": %s, \"compiler\": %s, \"build_type\": %s, \"version\": %s,\n",
                 stringOrNull(m.kernel).c_str(), jsonString(m.compiler).c_str(),
                 jsonString(m.buildType).c_str(), jsonString(m.version).c_str());
    std::fprintf(f, "    \"governor\": %s, \"boost\": %s, \"load_average\": %s},\n",
                 stringOrNull(m.governor).c_str(), stringOrNull(m.boost).c_str(), load.c_str());
}

void writePlans(std::FILE* f, const std::vector<BenchPlan>& plans, const char* indent) {
    std::fprintf(f, "[");
    for (size_t p = 0; p < plans.size(); ++p) {
        const BenchPlan& plan = plans[p];
        // A plan refused for want of memory runs on the general loop.
        const std::string chosen = plan.chosen >= 0
                                       ? plan.candidates[static_cast<size_t>(plan.chosen)].way
                                       : (plan.refused ? "general" : "");
        std::string refused = "null";
        if (plan.refused)
            refused = "{\"needed\": " + std::to_string(plan.bytes) +
                      ", \"available\": " + std::to_string(plan.available) +
                      ", \"limit\": " + jsonString(plan.limit) + "}";
        std::fprintf(f,
                     "%s\n%s  {\"object\": %d, \"springs\": %" PRId64 ", \"bytes\": %" PRId64
                     ", \"chosen\": %s, \"refused\": %s, \"candidates\": [",
                     p ? "," : "", indent, plan.oid, plan.springs, plan.bytes,
                     jsonString(chosen).c_str(), refused.c_str());
        for (size_t i = 0; i < plan.candidates.size(); ++i) {
            const BenchCandidate& c = plan.candidates[i];
            std::fprintf(f,
                         "%s\n%s    {\"way\": %s, \"layout\": %s, \"path\": %s, \"threads\": %d, "
                         "\"seconds\": %.9g}",
                         i ? "," : "", indent, jsonString(c.way).c_str(),
                         jsonString(c.layout).c_str(), jsonString(c.path).c_str(), c.threads,
                         c.seconds);
        }
        std::fprintf(f, "]}");
    }
    std::fprintf(f, "%s%s]", plans.empty() ? "" : "\n", plans.empty() ? "" : indent);
}

std::string summaryJson(const std::vector<double>& figures) {
    const BenchSummary s = benchSummarize(figures);
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"median\": %.9g, \"min\": %.9g, \"max\": %.9g, \"spread\": %.6g}", s.median,
                  s.min, s.max, s.spread);
    return text;
}

// The medians of a series, for the top level's figures.
struct SeriesMedians {
    double run = 0.0, forces = 0.0, springs = 0.0, motion = 0.0;
    double stepRate = 0.0, springRate = 0.0;
};

SeriesMedians mediansOf(const BenchWorkload& work, const BenchSeries& s) {
    std::vector<double> run, forces, springs, motion;
    for (const BenchSample& x : s.samples) {
        run.push_back(x.runSeconds);
        forces.push_back(x.forces);
        springs.push_back(x.springs);
        motion.push_back(x.motion);
    }
    SeriesMedians m;
    m.run = benchSummarize(run).median;
    m.forces = benchSummarize(forces).median;
    m.springs = benchSummarize(springs).median;
    m.motion = benchSummarize(motion).median;
    m.stepRate = benchSummarize(benchStepRates(s.samples, work.steps)).median;
    m.springRate = benchSummarize(benchSpringRates(s.samples, work.steps, work.springs)).median;
    return m;
}

// "runs": every thread count with its samples. indent: the array's own.
void writeSeries(std::FILE* f, const BenchWorkload& work, const std::string& indent) {
    const double first = work.series.empty() ? 0.0 : mediansOf(work, work.series.front()).stepRate;
    std::fprintf(f, "[");
    for (size_t i = 0; i < work.series.size(); ++i) {
        const BenchSeries& s = work.series[i];
        const std::string in = indent + "  ";
        std::fprintf(f, "%s\n%s{\"threads\": %d, \"path\": %s, \"plan_seconds\": %.9g, ",
                     i ? "," : "", in.c_str(), s.threads, jsonString(s.engine.path).c_str(),
                     s.planSeconds);
        std::fprintf(f, "\"threaded_phases\": %" PRId64 ", \"tiled_phases\": %" PRId64 ",\n",
                     s.engine.threadedPhases, s.engine.tiledPhases);
        const std::vector<double> steps = benchStepRates(s.samples, work.steps);
        const double speedup = first > 0.0 ? benchSummarize(steps).median / first : 0.0;
        std::fprintf(f, "%s \"steps_per_second\": %s,\n", in.c_str(), summaryJson(steps).c_str());
        std::fprintf(f, "%s \"springs_per_second\": %s,\n", in.c_str(),
                     summaryJson(benchSpringRates(s.samples, work.steps, work.springs)).c_str());
        std::fprintf(f, "%s \"speedup_over_first\": %.6g,\n", in.c_str(), speedup);
        std::fprintf(f, "%s \"plans\": ", in.c_str());
        writePlans(f, s.engine.plans, (in + " ").c_str());
        std::fprintf(f, ",\n%s \"samples\": [", in.c_str());
        for (size_t k = 0; k < s.samples.size(); ++k) {
            const BenchSample& x = s.samples[k];
            std::fprintf(f,
                         "%s\n%s   {\"run_seconds\": %.9g, \"steps_per_second\": %.9g, "
                         "\"springs_per_second\": %.9g, \"phase_seconds\": {\"forces\": %.9g, "
                         "\"springs\": %.9g, \"motion\": %.9g}, \"digest\": %s}",
                         k ? "," : "", in.c_str(), x.runSeconds, steps[k],
                         benchSpringRates({x}, work.steps, work.springs)[0], x.forces, x.springs,
                         x.motion, digestText(x.digest).c_str());
        }
        std::fprintf(f, "]}");
    }
    std::fprintf(f, "\n%s]", indent.c_str());
}

void writeShape(std::FILE* f, const BenchRunShape& shape) {
    std::fprintf(f, "  \"repeat\": %d,\n", shape.repeat);
    std::fprintf(f, "  \"warmups\": %d,\n", shape.warmups);
}

} // namespace

void benchWriteJson(std::FILE* f, const BenchMachine& machine, const BenchWorkload& work,
                    const BenchRunShape& shape) {
    static const BenchSeries kNone;
    const BenchSeries& head = work.series.empty() ? kNone : work.series.front();
    const SeriesMedians m = mediansOf(work, head);
    std::fprintf(f, "{\n");
    writeMachine(f, machine);
    std::fprintf(f, "  \"scene\": %s,\n", jsonString(work.scene).c_str());
    std::fprintf(f, "  \"path\": %s,\n", jsonString(head.engine.path).c_str());
    std::fprintf(f, "  \"threads\": %d,\n", head.threads);
    std::fprintf(f, "  \"threaded_phases\": %" PRId64 ",\n", head.engine.threadedPhases);
    std::fprintf(f, "  \"tiled_phases\": %" PRId64 ",\n", head.engine.tiledPhases);
    std::fprintf(f, "  \"steps\": %ld,\n", work.steps);
    std::fprintf(f, "  \"drag\": [%ld, %ld],\n", work.drag[0], work.drag[1]);
    std::fprintf(f, "  \"schedule\": %ld,\n", work.schedule);
    std::fprintf(f, "  \"masses\": %" PRId64 ",\n", work.masses);
    std::fprintf(f, "  \"springs\": %" PRId64 ",\n", work.springs);
    std::fprintf(f, "  \"run_seconds\": %.9g,\n", m.run);
    std::fprintf(f, "  \"steps_per_second\": %.9g,\n", m.stepRate);
    std::fprintf(f,
                 "  \"phase_seconds\": {\"forces\": %.9g, \"springs\": %.9g, \"motion\": "
                 "%.9g},\n",
                 m.forces, m.springs, m.motion);
    std::fprintf(f, "  \"plan_seconds\": %.9g,\n", head.planSeconds);
    std::fprintf(f, "  \"plans\": ");
    writePlans(f, head.engine.plans, "  ");
    std::fprintf(f, ",\n");
    std::fprintf(f, "  \"springs_per_second\": %.9g,\n", m.springRate);
    writeShape(f, shape);
    std::fprintf(f, "  \"runs\": ");
    writeSeries(f, work, "  ");
    std::fprintf(f, ",\n");
    std::fprintf(f, "  \"peak_resident_bytes\": %" PRId64 ",\n", platPeakResidentBytes());
    std::fprintf(f, "  \"digest\": %s\n", digestText(work.digest).c_str());
    std::fprintf(f, "}\n");
}

void benchWriteSuiteJson(std::FILE* f, const BenchMachine& machine,
                         const std::vector<BenchWorkload>& suite, const BenchRunShape& shape) {
    std::fprintf(f, "{\n");
    writeMachine(f, machine);
    writeShape(f, shape);
    std::fprintf(f, "  \"suite\": [");
    for (size_t i = 0; i < suite.size(); ++i) {
        const BenchWorkload& w = suite[i];
        std::fprintf(f, "%s\n    {\"scene\": %s, \"steps\": %ld, \"drag\": [%ld, %ld], ",
                     i ? "," : "", jsonString(w.scene).c_str(), w.steps, w.drag[0], w.drag[1]);
        std::fprintf(f,
                     "\"schedule\": %ld, \"masses\": %" PRId64 ", \"springs\": %" PRId64
                     ", \"digest\": %s,\n     \"runs\": ",
                     w.schedule, w.masses, w.springs, digestText(w.digest).c_str());
        writeSeries(f, w, "     ");
        std::fprintf(f, "}");
    }
    std::fprintf(f, "\n  ],\n");
    std::fprintf(f, "  \"peak_resident_bytes\": %" PRId64 "\n", platPeakResidentBytes());
    std::fprintf(f, "}\n");
}

// ---------------------------------------------------------------------------
// Reading values
// ---------------------------------------------------------------------------
namespace {

constexpr int kMaxJsonDepth = 64; // deeper nesting is no result file of ours

struct Reader {
    const std::string& text;
    size_t at = 0;
    std::string error;

    bool fail(const char* why) {
        if (error.empty()) error = std::string(why) + " at byte " + std::to_string(at);
        return false;
    }
    void skipSpace() {
        while (at < text.size() && std::strchr(" \t\r\n", text[at]))
            ++at;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (text.compare(at, n, word) != 0) return fail("unknown word");
        at += n;
        return true;
    }
    bool string(std::string& out) {
        ++at; // the opening quote
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
            if (c == '\\') {
                if (at >= text.size()) break;
                const char e = text[at++];
                const char* const from = "\"\\/bfnrt";
                const char* const to = "\"\\/\b\f\n\r\t";
                if (const char* hit = std::strchr(from, e); hit && e) {
                    c = to[hit - from];
                } else if (e == 'u' && at + 4 <= text.size()) {
                    const long code = std::strtol(text.substr(at, 4).c_str(), nullptr, 16);
                    at += 4;
                    c = code < 0x80 ? static_cast<char>(code) : '?'; // ours are plain ASCII
                } else {
                    return fail("bad escape in a string");
                }
            }
            out += c;
        }
        if (at >= text.size()) return fail("unterminated string");
        ++at;
        return true;
    }
    bool number(double& out) {
        const char* start = text.c_str() + at;
        char* end = nullptr;
        out = std::strtod(start, &end);
        if (end == start) return fail("not a value");
        at += static_cast<size_t>(end - start);
        return true;
    }
    bool value(BenchJson& v, int depth) {
        if (depth > kMaxJsonDepth) return fail("nested too deep");
        skipSpace();
        if (at >= text.size()) return fail("unexpected end");
        const char c = text[at];
        if (c == '{' || c == '[') {
            const bool object = c == '{';
            v.kind = object ? BenchJson::Object : BenchJson::Array;
            ++at;
            skipSpace();
            if (at < text.size() && text[at] == (object ? '}' : ']')) {
                ++at;
                return true;
            }
            for (;;) {
                skipSpace();
                if (object) {
                    std::string key;
                    if (at >= text.size() || text[at] != '"') return fail("expected a key");
                    if (!string(key)) return false;
                    skipSpace();
                    if (at >= text.size() || text[at] != ':') return fail("expected ':'");
                    ++at;
                    v.keys.push_back(key);
                }
                v.items.emplace_back();
                if (!value(v.items.back(), depth + 1)) return false;
                skipSpace();
                if (at < text.size() && text[at] == ',') {
                    ++at;
                    continue;
                }
                if (at < text.size() && text[at] == (object ? '}' : ']')) {
                    ++at;
                    return true;
                }
                return fail(object ? "expected ',' or '}'" : "expected ',' or ']'");
            }
        }
        if (c == '"') {
            v.kind = BenchJson::String;
            return string(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind = BenchJson::Bool;
            v.boolean = c == 't';
            return literal(v.boolean ? "true" : "false");
        }
        if (c == 'n') return literal("null");
        v.kind = BenchJson::Number;
        return number(v.number);
    }
};

} // namespace

bool benchJsonParse(const std::string& text, std::vector<BenchJson>& values, std::string& error) {
    Reader r{text, 0, ""};
    values.clear();
    for (r.skipSpace(); r.at < text.size(); r.skipSpace()) {
        values.emplace_back();
        if (!r.value(values.back(), 0)) {
            error = r.error;
            return false;
        }
    }
    if (values.empty()) error = "no JSON value";
    return !values.empty();
}

const BenchJson* benchJsonMember(const BenchJson& object, const char* key) {
    if (object.kind != BenchJson::Object) return nullptr;
    for (size_t i = 0; i < object.keys.size(); ++i)
        if (object.keys[i] == key) return &object.items[i];
    return nullptr;
}

// ---------------------------------------------------------------------------
// Reading results
// ---------------------------------------------------------------------------
namespace {

bool numberOf(const BenchJson& object, const char* key, double& out) {
    const BenchJson* v = benchJsonMember(object, key);
    if (!v || v->kind != BenchJson::Number) return false;
    out = v->number;
    return true;
}

bool digestOf(const BenchJson& object, uint64_t& out) {
    const BenchJson* v = benchJsonMember(object, "digest");
    if (!v || v->kind != BenchJson::String || v->text.empty()) return false;
    char* end = nullptr;
    out = std::strtoull(v->text.c_str(), &end, 16);
    return *end == '\0';
}

// A sample from an object with run_seconds, phase_seconds and digest.
bool sampleOf(const BenchJson& object, BenchSample& s) {
    const BenchJson* phases = benchJsonMember(object, "phase_seconds");
    return numberOf(object, "run_seconds", s.runSeconds) && phases &&
           numberOf(*phases, "forces", s.forces) && numberOf(*phases, "springs", s.springs) &&
           numberOf(*phases, "motion", s.motion) && digestOf(object, s.digest);
}

// The work's own fields; a file from before the drag schedule was written
// had none.
bool workOf(const BenchJson& object, BenchWorkload& w) {
    double steps = 0, masses = 0, springs = 0, schedule = 0;
    const BenchJson* scene = benchJsonMember(object, "scene");
    const BenchJson* drag = benchJsonMember(object, "drag");
    if (!scene || scene->kind != BenchJson::String || !numberOf(object, "steps", steps) ||
        !numberOf(object, "masses", masses) || !numberOf(object, "springs", springs) || !drag ||
        drag->kind != BenchJson::Array || drag->items.size() != 2 || !digestOf(object, w.digest))
        return false;
    numberOf(object, "schedule", schedule);
    w.scene = scene->text;
    w.steps = static_cast<long>(steps);
    w.drag[0] = static_cast<long>(drag->items[0].number);
    w.drag[1] = static_cast<long>(drag->items[1].number);
    w.schedule = static_cast<long>(schedule);
    w.masses = static_cast<int64_t>(masses);
    w.springs = static_cast<int64_t>(springs);
    return true;
}

bool seriesOf(const BenchJson& runs, BenchWorkload& w) {
    if (runs.kind != BenchJson::Array) return false;
    for (const BenchJson& run : runs.items) {
        BenchSeries s;
        double threads = 0;
        const BenchJson* samples = benchJsonMember(run, "samples");
        if (!numberOf(run, "threads", threads) || !samples || samples->kind != BenchJson::Array)
            return false;
        s.threads = static_cast<int>(threads);
        numberOf(run, "plan_seconds", s.planSeconds);
        for (const BenchJson& item : samples->items) {
            BenchSample x;
            if (!sampleOf(item, x)) return false;
            s.samples.push_back(x);
        }
        w.series.push_back(s);
    }
    return true;
}

} // namespace

bool benchJsonWorkloads(const BenchJson& result, std::vector<BenchWorkload>& out,
                        std::string& error) {
    out.clear();
    if (const BenchJson* suite = benchJsonMember(result, "suite")) {
        for (const BenchJson& item :
             suite->kind == BenchJson::Array ? suite->items : std::vector<BenchJson>{}) {
            BenchWorkload w;
            const BenchJson* runs = benchJsonMember(item, "runs");
            if (!workOf(item, w) || !runs || !seriesOf(*runs, w)) {
                error = "a scene of the suite lacks its work or its runs";
                return false;
            }
            out.push_back(w);
        }
        if (out.empty()) error = "an empty suite";
        return !out.empty();
    }
    BenchWorkload w;
    if (!workOf(result, w)) {
        error = "no zibbet-bench result (scene, steps, drag, masses, springs, digest)";
        return false;
    }
    if (const BenchJson* runs = benchJsonMember(result, "runs")) {
        if (!seriesOf(*runs, w)) {
            error = "a run without its thread count or samples";
            return false;
        }
    } else {
        // One run, written before repetitions: its figures are one sample.
        BenchSeries s;
        double threads = 1;
        numberOf(result, "threads", threads);
        s.threads = static_cast<int>(threads);
        BenchSample x;
        if (!sampleOf(result, x)) {
            error = "a run without its seconds or phases";
            return false;
        }
        s.samples.push_back(x);
        w.series.push_back(s);
    }
    out.push_back(w);
    return true;
}
