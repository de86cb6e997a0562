// The JSON writer and what it says about the machine.
#include "tools/bench_json.h"

#include <cinttypes>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// The processor's model name as Linux reports it, or "unknown".
std::string cpuModel() {
    std::string model = "unknown";
    std::FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return model;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "model name", 10) != 0) continue;
        const char* colon = std::strchr(line, ':');
        if (!colon) continue;
        model = colon + 1;
        while (!model.empty() && (model.front() == ' ' || model.front() == '\t'))
            model.erase(model.begin());
        while (!model.empty() && (model.back() == '\n' || model.back() == ' '))
            model.pop_back();
        break;
    }
    std::fclose(f);
    return model;
}

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

// A rate, or 0 when the time is too short to measure.
double perSecond(double count, double seconds) {
    return seconds > 0.0 ? count / seconds : 0.0;
}

} // namespace

void benchWriteJson(std::FILE* f, const BenchRunFigures& run) {
    std::string paths;
    for (const std::string& name : benchSpringsPaths()) {
        if (!paths.empty()) paths += ", ";
        paths += jsonString(name);
    }
    const double springSteps = static_cast<double>(run.springs) * run.steps;
    std::fprintf(f, "{\n");
    std::fprintf(f, "  \"machine\": {\"cpu\": %s, \"processors\": %d, \"paths\": [%s]},\n",
                 jsonString(cpuModel()).c_str(), platProcessorCount(), paths.c_str());
    std::fprintf(f, "  \"scene\": %s,\n", jsonString(run.scene).c_str());
    std::fprintf(f, "  \"path\": %s,\n", jsonString(run.engine.path).c_str());
    std::fprintf(f, "  \"threads\": %d,\n", run.engine.threads);
    std::fprintf(f, "  \"threaded_phases\": %" PRId64 ",\n", run.engine.threadedPhases);
    std::fprintf(f, "  \"tiled_phases\": %" PRId64 ",\n", run.engine.tiledPhases);
    std::fprintf(f, "  \"steps\": %ld,\n", run.steps);
    std::fprintf(f, "  \"drag\": [%ld, %ld],\n", run.drag[0], run.drag[1]);
    std::fprintf(f, "  \"masses\": %" PRId64 ",\n", run.masses);
    std::fprintf(f, "  \"springs\": %" PRId64 ",\n", run.springs);
    std::fprintf(f, "  \"run_seconds\": %.9g,\n", run.runSeconds);
    std::fprintf(f, "  \"steps_per_second\": %.9g,\n", perSecond(run.steps, run.runSeconds));
    std::fprintf(f,
                 "  \"phase_seconds\": {\"forces\": %.9g, \"springs\": %.9g, \"motion\": "
                 "%.9g},\n",
                 run.forces, run.springPhase, run.motion);
    std::fprintf(f, "  \"plan_seconds\": %.9g,\n", run.plans);
    std::fprintf(f, "  \"plans\": [");
    for (size_t p = 0; p < run.engine.plans.size(); ++p) {
        const BenchPlan& plan = run.engine.plans[p];
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
                     "%s\n    {\"object\": %d, \"springs\": %" PRId64 ", \"bytes\": %" PRId64
                     ", \"chosen\": %s, \"refused\": %s, \"candidates\": [",
                     p ? "," : "", plan.oid, plan.springs, plan.bytes, jsonString(chosen).c_str(),
                     refused.c_str());
        for (size_t i = 0; i < plan.candidates.size(); ++i) {
            const BenchCandidate& c = plan.candidates[i];
            std::fprintf(f,
                         "%s\n      {\"way\": %s, \"layout\": %s, \"path\": %s, \"threads\": %d, "
                         "\"seconds\": %.9g}",
                         i ? "," : "", jsonString(c.way).c_str(), jsonString(c.layout).c_str(),
                         jsonString(c.path).c_str(), c.threads, c.seconds);
        }
        std::fprintf(f, "]}");
    }
    std::fprintf(f, "%s],\n", run.engine.plans.empty() ? "" : "\n  ");
    std::fprintf(f, "  \"springs_per_second\": %.9g,\n", perSecond(springSteps, run.springPhase));
    std::fprintf(f, "  \"peak_resident_bytes\": %" PRId64 ",\n", platPeakResidentBytes());
    std::fprintf(f, "  \"digest\": \"%016" PRIx64 "\"\n", run.digest);
    std::fprintf(f, "}\n");
}
