// The options through getopt_long, their values and the usage text.
#include "zibbet-bench/bench_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/springs.h"
#include "zibbet-bench/bench_machine.h"

#ifndef ZIBBET_VERSION
#define ZIBBET_VERSION "unknown"
#endif

namespace {

// getopt_long's values for the long options that have no letter.
enum OptionId {
    OPT_STEPS = 256,
    OPT_SCENE,
    OPT_DRAG,
    OPT_REPORT,
    OPT_PLOT,
    OPT_SCHEDULE,
    OPT_SOAK,
    OPT_THREADS,
    OPT_REPEAT,
    OPT_JSON,
    OPT_SUITE,
    OPT_COMPARE,
    OPT_FORCE,
    OPT_VERBOSE,
    OPT_VERSION,
    OPT_HELP = 'h',
};

const option kOptions[] = {
    {"steps", required_argument, nullptr, OPT_STEPS},
    {"scene", required_argument, nullptr, OPT_SCENE},
    {"drag", required_argument, nullptr, OPT_DRAG},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"plot", required_argument, nullptr, OPT_PLOT},
    {"schedule", required_argument, nullptr, OPT_SCHEDULE},
    {"soak", no_argument, nullptr, OPT_SOAK},
    {"threads", required_argument, nullptr, OPT_THREADS},
    {"repeat", required_argument, nullptr, OPT_REPEAT},
    {"json", required_argument, nullptr, OPT_JSON},
    {"suite", no_argument, nullptr, OPT_SUITE},
    {"compare", required_argument, nullptr, OPT_COMPARE},
    {"force", no_argument, nullptr, OPT_FORCE},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

const char* nameOf(int id) {
    for (const option& o : kOptions)
        if (o.name && o.val == id) return o.name;
    return "?";
}

void usage() {
    std::printf(
        "usage: zibbet-bench [--steps N] [--scene FILE] [--drag DX DY] [--report K]\n"
        "                    [--plot FILE] [--schedule N] [--soak]\n"
        "                    [--threads N|all|LIST] [--repeat N] [--json FILE] [--suite]\n"
        "                    [--compare A.json B.json] [--force] [--verbose] [--version]\n"
        "                    [--help]\n"
        "  --steps N      whole steps to run (default %ld)\n"
        "  --scene FILE   3DS scene to load (default %s in the working directory,\n"
        "                 else the one installed with the program)\n"
        "  --drag DX DY   mouse offset from the window centre that a drag left, pixels\n"
        "  --report K     every K steps: energies, distance moved, centre, stray masses\n"
        "  --plot FILE    draw the reports (every %ld steps unless --report) as SVG\n"
        "  --schedule N   the cube still for N steps, then every N steps the next of:\n"
        "                 turning by the --drag offset, still, turning back, still...\n"
        "  --soak         check the bodies after every step; end with a summary and\n"
        "                 exit status 1 when a check fails\n"
        "  --threads N|all|LIST threads for the spring phase: a count, all (the processors\n"
        "                 this process may use) or a list such as 1,2,all; by default\n"
        "                 1 and all; same results; a phase leaves them while one\n"
        "                 thread is faster\n"
        "  --repeat N     timed runs after one warm-up, each from the world as\n"
        "                 loaded (default %ld); all must end with the same digest\n"
        "  --json FILE    also write the run's figures to FILE as JSON; with -, the\n"
        "                 JSON on standard output and the text report on standard error\n"
        "  --suite        the default scene and a sphere of about 25 million springs,\n"
        "                 both built in memory, at 1 thread and all: one table in\n"
        "                 springs per second, for comparing machines\n"
        "  --compare A.json B.json B's figures against A's: ratio of medians, interval,\n"
        "                 Mann-Whitney U test; refuses results of different work\n"
        "  --force        with --compare: compare results of different work\n"
        "  --verbose      show the start-up console output (silenced by default)\n"
        "  --version      the program's version\n"
        "  -h, --help     this text\n"
        "The environment variable ZIBBET_ISA=baseline|scalar|sse2|neon|avx2|avx512 forces a "
        "vector path.\n",
        kBenchDefaultSteps, kBenchDefaultScene, kBenchPlotReport, kBenchDefaultRepeat);
}

bool parseLong(const char* text, long lo, long hi, long* out) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "4", "all" or a list such as "1,2,all" into counts, each once, in the
// order given; all is the processors this process may use, at most hi.
bool parseThreads(const char* text, long lo, long hi, BenchThreadCounts& out) {
    out.clear();
    if (!text) return false;
    const std::string list = text;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string part =
            list.substr(start, comma == std::string::npos ? comma : comma - start);
        const bool all = part == "all";
        long n = all ? std::min<long>(benchAllowedProcessors(), hi) : 0;
        if (!all && !parseLong(part.c_str(), lo, hi, &n)) return false;
        if (std::ranges::find(out, n, &BenchThreadCount::n) == out.end()) {
            if (out.size() == kBenchMaxThreadCounts) return false;
            out.push_back({static_cast<int>(n), all});
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The modes that run otherwise than one scene's timed runs, and the options
// that have no meaning in them.
struct Mode {
    int id;
    const char* why;
    int excludes[12]; // ends at the first 0
};
const Mode kModes[] = {
    {OPT_SOAK, "a soak is one run", {OPT_REPEAT, OPT_SUITE, OPT_COMPARE}},
    {OPT_SUITE,
     "the suite runs its own scenes",
     {OPT_SCENE, OPT_STEPS, OPT_DRAG, OPT_REPORT, OPT_PLOT, OPT_SCHEDULE, OPT_SOAK, OPT_COMPARE}},
    {OPT_COMPARE,
     "a comparison runs nothing",
     {OPT_STEPS, OPT_SCENE, OPT_DRAG, OPT_REPORT, OPT_PLOT, OPT_SCHEDULE, OPT_SOAK, OPT_THREADS,
      OPT_REPEAT, OPT_JSON, OPT_SUITE}},
};

// False, after saying why, when the options given do not go together.
bool optionsAgree(const std::vector<int>& given, const BenchOptions& opt) {
    auto has = [&](int id) { return std::find(given.begin(), given.end(), id) != given.end(); };
    for (const Mode& mode : kModes) {
        if (!has(mode.id)) continue;
        for (int other : mode.excludes) {
            if (!other) break;
            if (!has(other)) continue;
            std::fprintf(stderr, "zibbet-bench: --%s does not go with --%s: %s\n", nameOf(mode.id),
                         nameOf(other), mode.why);
            return false;
        }
    }
    if (opt.soak && opt.threads.size() > 1) {
        std::fprintf(stderr, "zibbet-bench: --soak is one run: give --threads one count\n");
        return false;
    }
    if (opt.force && !opt.compare[0]) {
        std::fprintf(stderr, "zibbet-bench: --force goes with --compare\n");
        return false;
    }
    return true;
}

// The word after the option's value, for the options that take two; null
// when there is none.
const char* secondValue(int argc, char** argv) {
    return optind < argc ? argv[optind++] : nullptr;
}

// Reads the value of option id (its first word in value) into opt; false
// after saying what the option needs.
bool takeValue(int id, const char* value, int argc, char** argv, BenchOptions& opt) {
    const char* name = nameOf(id);
    long* number = id == OPT_STEPS      ? &opt.steps
                   : id == OPT_REPORT   ? &opt.report
                   : id == OPT_SCHEDULE ? &opt.schedule
                   : id == OPT_REPEAT   ? &opt.repeat
                                        : nullptr;
    if (number) {
        const long hi = id == OPT_REPEAT ? kBenchMaxRepeat : kBenchMaxSteps;
        if (parseLong(value, 1, hi, number)) return true;
        std::fprintf(stderr, "zibbet-bench: --%s needs a whole number from %ld to %ld\n", name, 1L,
                     hi);
        return false;
    }
    switch (id) {
    case OPT_DRAG: {
        const char* second = value ? secondValue(argc, argv) : nullptr;
        if (parseLong(value, -kBenchMaxDrag, kBenchMaxDrag, &opt.drag[0]) &&
            parseLong(second, -kBenchMaxDrag, kBenchMaxDrag, &opt.drag[1]))
            return true;
        std::fprintf(stderr, "zibbet-bench: --%s needs two whole numbers from %ld to %ld\n", name,
                     -kBenchMaxDrag, kBenchMaxDrag);
        return false;
    }
    case OPT_COMPARE:
        opt.compare[0] = value;
        opt.compare[1] = value ? secondValue(argc, argv) : nullptr;
        if (value && *value && opt.compare[1] && *opt.compare[1]) return true;
        std::fprintf(stderr, "zibbet-bench: --%s needs two file names\n", name);
        return false;
    case OPT_THREADS:
        if (parseThreads(value, 1, SIM_MAX_SPRING_THREADS, opt.threads)) return true;
        std::fprintf(stderr,
                     "zibbet-bench: --%s needs a count from %d to %d, all, or a list of them "
                     "such as 1,2,all\n",
                     name, 1, SIM_MAX_SPRING_THREADS);
        return false;
    default: // a file name
        if (!value || !*value) {
            std::fprintf(stderr, "zibbet-bench: --%s needs a file name\n", name);
            return false;
        }
        (id == OPT_SCENE ? opt.scene : id == OPT_PLOT ? opt.plot : opt.json) = value;
        opt.sceneGiven = opt.sceneGiven || id == OPT_SCENE;
        return true;
    }
}

} // namespace

BenchParse benchParseOptions(int argc, char** argv, BenchOptions& opt) {
    std::vector<int> given;
    opterr = 0; // the messages below are ours
    optind = 0; // from the start, whoever read options before
    // "+": the first word that is no option ends them; ":": a missing value
    // is told apart from an unknown option.
    for (int id; (id = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1;) {
        if (id == '?') {
            // An option that takes no value given one ("--soak=1"), or no option.
            if (optopt == OPT_HELP || optopt >= OPT_STEPS)
                std::fprintf(stderr, "zibbet-bench: --%s takes no value\n", nameOf(optopt));
            else
                std::fprintf(stderr, "zibbet-bench: unknown option '%s' (try --help)\n",
                             argv[optind - 1]);
            return BenchParse::Bad;
        }
        if (id == ':') {
            takeValue(optopt, nullptr, argc, argv, opt);
            return BenchParse::Bad;
        }
        switch (id) {
        case OPT_HELP:
            usage();
            return BenchParse::Done;
        case OPT_VERSION:
            std::printf("zibbet-bench %s\n", ZIBBET_VERSION);
            return BenchParse::Done;
        case OPT_SOAK:
        case OPT_SUITE:
        case OPT_FORCE:
        case OPT_VERBOSE:
            (id == OPT_SOAK    ? opt.soak
             : id == OPT_SUITE ? opt.suite
             : id == OPT_FORCE ? opt.force
                               : opt.verbose) = true;
            break;
        default:
            if (!takeValue(id, optarg, argc, argv, opt)) return BenchParse::Bad;
        }
        given.push_back(id);
    }
    if (optind < argc) {
        std::fprintf(stderr, "zibbet-bench: unknown option '%s' (try --help)\n", argv[optind]);
        return BenchParse::Bad;
    }
    return optionsAgree(given, opt) ? BenchParse::Run : BenchParse::Bad;
}

BenchThreadCounts benchThreadCounts(const BenchOptions& opt) {
    if (!opt.threads.empty()) return opt.threads;
    BenchThreadCounts counts{{1, false}};
    const int all = std::min(benchAllowedProcessors(), SIM_MAX_SPRING_THREADS);
    if (all > 1 && !opt.soak) counts.push_back({all, true});
    return counts;
}
