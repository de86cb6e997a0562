// The option table, its usage text and its reader.
#include "zibbet-bench/bench_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zibbet-bench/bench_machine.h"
#include "zibbet-bench/bench_springs.h"

#ifndef ZIBBET_VERSION
#define ZIBBET_VERSION "unknown"
#endif

namespace {

enum class Kind {
    Flag,    // sets a bool
    Number,  // one whole number in [lo, hi]
    Pair,    // two whole numbers in [lo, hi]
    Text,    // one word, e.g. a file name
    Texts,   // two words
    Threads, // a thread count, "all", or a list of them: 1,2,all
    Help,    // prints the usage
    Version, // prints the version
};

struct Option {
    const char* name; // long name, without the dashes
    char letter;      // short name, or 0
    Kind kind;
    void* dest;        // bool*, long*, long[2] for Pair, const char** (two for Texts),
                       // BenchThreadCounts*
    long lo, hi;       // Number, Pair and Threads
    const char* value; // the value's name in the usage, e.g. "N"
    const char* help;  // lines after the first indented under it
};

constexpr int kHelpColumn = 17; // where the help text starts in the usage
constexpr int kUsageWidth = 80; // the synopsis wraps before this column

// The table, its destinations in opt; --threads takes its range from the
// engine.
using Table = std::vector<Option>;

Table optionTable(BenchOptions& opt) {
    static std::string stepsHelp, sceneHelp, plotHelp, repeatHelp;
    char text[256];
    std::snprintf(text, sizeof text, "whole steps to run (default %ld)", kBenchDefaultSteps);
    stepsHelp = text;
    std::snprintf(text, sizeof text,
                  "3DS scene to load (default %s in the working directory,\n"
                  "else the one installed with the program)",
                  kBenchDefaultScene);
    sceneHelp = text;
    std::snprintf(text, sizeof text, "draw the reports (every %ld steps unless --report) as SVG",
                  kBenchPlotReport);
    plotHelp = text;
    std::snprintf(text, sizeof text,
                  "timed runs after one warm-up, each from the world as\n"
                  "loaded (default %ld); all must end with the same digest",
                  kBenchDefaultRepeat);
    repeatHelp = text;
    const long maxThreads = benchSpringsMaxThreads();
    return Table{
        {"steps", 0, Kind::Number, &opt.steps, 1, kBenchMaxSteps, "N", stepsHelp.c_str()},
        {"scene", 0, Kind::Text, &opt.scene, 0, 0, "FILE", sceneHelp.c_str()},
        {"drag", 0, Kind::Pair, opt.drag, -kBenchMaxDrag, kBenchMaxDrag, "DX DY",
         "mouse offset from the window centre that a drag left, pixels"},
        {"report", 0, Kind::Number, &opt.report, 1, kBenchMaxSteps, "K",
         "every K steps: energies, distance moved, centre, stray masses"},
        {"plot", 0, Kind::Text, &opt.plot, 0, 0, "FILE", plotHelp.c_str()},
        {"schedule", 0, Kind::Number, &opt.schedule, 1, kBenchMaxSteps, "N",
         "the cube still for N steps, then every N steps the next of:\n"
         "turning by the --drag offset, still, turning back, still..."},
        {"soak", 0, Kind::Flag, &opt.soak, 0, 0, nullptr,
         "check the bodies after every step; end with a summary and\n"
         "exit status 1 when a check fails"},
        {"threads", 0, Kind::Threads, &opt.threads, 1, maxThreads, "N|all|LIST",
         "threads for the spring phase: a count, all (the processors\n"
         "this process may use) or a list such as 1,2,all; by default\n"
         "1 and all; same results; a phase leaves them while one\n"
         "thread is faster"},
        {"repeat", 0, Kind::Number, &opt.repeat, 1, kBenchMaxRepeat, "N", repeatHelp.c_str()},
        {"json", 0, Kind::Text, &opt.json, 0, 0, "FILE",
         "also write the run's figures to FILE as JSON; with -, the\n"
         "JSON on standard output and the text report on standard error"},
        {"suite", 0, Kind::Flag, &opt.suite, 0, 0, nullptr,
         "the default scene and a sphere of about 25 million springs,\n"
         "both built in memory, at 1 thread and all: one table in\n"
         "springs per second, for comparing machines"},
        {"compare", 0, Kind::Texts, opt.compare, 0, 0, "A.json B.json",
         "B's figures against A's: ratio of medians, interval,\n"
         "Mann-Whitney U test; refuses results of different work"},
        {"force", 0, Kind::Flag, &opt.force, 0, 0, nullptr,
         "with --compare: compare results of different work"},
        {"verbose", 0, Kind::Flag, &opt.verbose, 0, 0, nullptr,
         "show the start-up console output (silenced by default)"},
        {"version", 0, Kind::Version, nullptr, 0, 0, nullptr, "the program's version"},
        {"help", 'h', Kind::Help, nullptr, 0, 0, nullptr, "this text"},
    };
}

void usage(const Table& table) {
    std::string line = "usage: zibbet-bench";
    const std::string indent(std::strlen("usage: zibbet-bench"), ' ');
    for (const Option& o : table) {
        std::string item =
            std::string(" [--") + o.name + (o.value ? " " : "") + (o.value ? o.value : "") + "]";
        if (line.size() + item.size() >= static_cast<size_t>(kUsageWidth)) {
            std::printf("%s\n", line.c_str());
            line = indent;
        }
        line += item;
    }
    std::printf("%s\n", line.c_str());
    for (const Option& o : table) {
        std::string head = std::string("  ") + (o.letter ? "-" : "") +
                           (o.letter ? std::string(1, o.letter) + ", " : "") + "--" + o.name +
                           (o.value ? " " : "") + (o.value ? o.value : "");
        if (head.size() + 1 > static_cast<size_t>(kHelpColumn))
            head += ' ';
        else
            head.resize(kHelpColumn, ' ');
        // Each further line of the help under the first.
        std::string help = o.help;
        for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
            help.insert(at + 1, std::string(kHelpColumn, ' '));
        std::printf("%s%s\n", head.c_str(), help.c_str());
    }
    std::printf("The environment variable ZIBBET_ISA=baseline|scalar|sse2|neon|avx2|avx512 "
                "forces a vector path.\n");
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
    out = BenchThreadCounts{};
    if (!text) return false;
    const std::string list = text;
    for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string part =
            list.substr(start, comma == std::string::npos ? comma : comma - start);
        const bool all = part == "all";
        long n = all ? std::min<long>(benchAllowedProcessors(), hi) : 0;
        if (!all && !parseLong(part.c_str(), lo, hi, &n)) return false;
        bool seen = false;
        for (int i = 0; i < out.count; ++i)
            seen = seen || out.n[i] == n;
        if (!seen) {
            if (out.count == kBenchMaxThreadCounts) return false;
            out.n[out.count] = static_cast<int>(n);
            out.all[out.count++] = all;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The modes that run otherwise than one scene's timed runs, and the options
// that have no meaning in them.
struct Mode {
    const char* name;
    const char* why;
    const char* excludes[12]; // ends at the first null
};
const Mode kModes[] = {
    {"soak", "a soak is one run", {"repeat", "suite", "compare"}},
    {"suite",
     "the suite runs its own scenes",
     {"scene", "steps", "drag", "report", "plot", "schedule", "soak", "compare"}},
    {"compare",
     "a comparison runs nothing",
     {"steps", "scene", "drag", "report", "plot", "schedule", "soak", "threads", "repeat", "json",
      "suite"}},
};

// False, after saying why, when the options given do not go together.
bool optionsAgree(const std::vector<std::string>& given, const BenchOptions& opt) {
    auto has = [&](const char* name) {
        for (const std::string& g : given)
            if (g == name) return true;
        return false;
    };
    for (const Mode& mode : kModes) {
        if (!has(mode.name)) continue;
        for (const char* other : mode.excludes) {
            if (!other) break;
            if (!has(other)) continue;
            std::fprintf(stderr, "zibbet-bench: --%s does not go with --%s: %s\n", mode.name, other,
                         mode.why);
            return false;
        }
    }
    if (opt.soak && opt.threads.count > 1) {
        std::fprintf(stderr, "zibbet-bench: --soak is one run: give --threads one count\n");
        return false;
    }
    if (opt.force && !opt.compare[0]) {
        std::fprintf(stderr, "zibbet-bench: --force goes with --compare\n");
        return false;
    }
    return true;
}

// The row that arg names ("--name", "--name=value", "-x"), or null; the
// value after "=" goes to inlineValue.
const Option* findOption(const Table& table, const char* arg, const char** inlineValue) {
    *inlineValue = nullptr;
    for (const Option& o : table) {
        if (o.letter && arg[0] == '-' && arg[1] == o.letter && arg[2] == '\0') return &o;
        if (std::strncmp(arg, "--", 2) != 0) continue;
        const size_t n = std::strlen(o.name);
        if (std::strncmp(arg + 2, o.name, n) != 0) continue;
        if (arg[2 + n] == '\0') return &o;
        if (arg[2 + n] == '=') {
            *inlineValue = arg + 3 + n;
            return &o;
        }
    }
    return nullptr;
}

} // namespace

BenchParse benchParseOptions(int argc, char** argv, BenchOptions& opt) {
    const Table table = optionTable(opt);
    std::vector<std::string> named; // the options given, by name
    for (int i = 1; i < argc; ++i) {
        const char* given = nullptr;
        const Option* o = findOption(table, argv[i], &given);
        if (!o) {
            std::fprintf(stderr, "zibbet-bench: unknown option '%s' (try --help)\n", argv[i]);
            return BenchParse::Bad;
        }
        // The values: the one after "=" first, then the words that follow.
        auto value = [&](int ahead) -> const char* {
            if (given) {
                if (ahead == 0) return given;
                ahead -= 1;
            }
            return i + 1 + ahead < argc ? argv[i + 1 + ahead] : nullptr;
        };
        auto consume = [&](int values) { i += given ? values - 1 : values; };
        switch (o->kind) {
        case Kind::Help:
        case Kind::Version:
        case Kind::Flag:
            if (given) {
                std::fprintf(stderr, "zibbet-bench: --%s takes no value\n", o->name);
                return BenchParse::Bad;
            }
            if (o->kind == Kind::Help) {
                usage(table);
                return BenchParse::Done;
            }
            if (o->kind == Kind::Version) {
                std::printf("zibbet-bench %s\n", ZIBBET_VERSION);
                return BenchParse::Done;
            }
            *static_cast<bool*>(o->dest) = true;
            break;
        case Kind::Number:
            if (!parseLong(value(0), o->lo, o->hi, static_cast<long*>(o->dest))) {
                std::fprintf(stderr, "zibbet-bench: --%s needs a whole number from %ld to %ld\n",
                             o->name, o->lo, o->hi);
                return BenchParse::Bad;
            }
            consume(1);
            break;
        case Kind::Pair: {
            long* pair = static_cast<long*>(o->dest);
            if (!parseLong(value(0), o->lo, o->hi, &pair[0]) ||
                !parseLong(value(1), o->lo, o->hi, &pair[1])) {
                std::fprintf(stderr, "zibbet-bench: --%s needs two whole numbers from %ld to %ld\n",
                             o->name, o->lo, o->hi);
                return BenchParse::Bad;
            }
            consume(2);
            break;
        }
        case Kind::Text:
            if (!value(0) || !*value(0)) {
                std::fprintf(stderr, "zibbet-bench: --%s needs a file name\n", o->name);
                return BenchParse::Bad;
            }
            *static_cast<const char**>(o->dest) = value(0);
            if (o->dest == &opt.scene) opt.sceneGiven = true;
            consume(1);
            break;
        case Kind::Texts: {
            const char** pair = static_cast<const char**>(o->dest);
            if (!value(0) || !*value(0) || !value(1) || !*value(1)) {
                std::fprintf(stderr, "zibbet-bench: --%s needs two file names\n", o->name);
                return BenchParse::Bad;
            }
            pair[0] = value(0);
            pair[1] = value(1);
            consume(2);
            break;
        }
        case Kind::Threads:
            if (!parseThreads(value(0), o->lo, o->hi, *static_cast<BenchThreadCounts*>(o->dest))) {
                std::fprintf(stderr,
                             "zibbet-bench: --%s needs a count from %ld to %ld, all, or a list "
                             "of them such as 1,2,all\n",
                             o->name, o->lo, o->hi);
                return BenchParse::Bad;
            }
            consume(1);
            break;
        }
        named.emplace_back(o->name);
    }
    return optionsAgree(named, opt) ? BenchParse::Run : BenchParse::Bad;
}

BenchThreadCounts benchThreadCounts(const BenchOptions& opt) {
    if (opt.threads.count > 0) return opt.threads;
    BenchThreadCounts counts;
    counts.count = 1;
    counts.n[0] = 1;
    const int all = std::min(benchAllowedProcessors(), benchSpringsMaxThreads());
    if (all > 1 && !opt.soak) {
        counts.n[1] = all;
        counts.all[1] = true;
        counts.count = 2;
    }
    return counts;
}
