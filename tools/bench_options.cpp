// The option table, its usage text and its reader.
#include "tools/bench_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/bench_springs.h"

#ifndef ZIBBET_VERSION
#define ZIBBET_VERSION "unknown"
#endif

namespace {

enum class Kind {
    Flag,    // sets a bool
    Number,  // one whole number in [lo, hi]
    Pair,    // two whole numbers in [lo, hi]
    Text,    // one word, e.g. a file name
    Help,    // prints the usage
    Version, // prints the version
};

struct Option {
    const char* name; // long name, without the dashes
    char letter;      // short name, or 0
    Kind kind;
    void* dest;        // bool*, long*, long[2] for Pair, const char**
    long lo, hi;       // Number and Pair
    const char* value; // the value's name in the usage, e.g. "N"
    const char* help;  // lines after the first indented under it
};

constexpr int kHelpColumn = 17; // where the help text starts in the usage
constexpr int kUsageWidth = 80; // the synopsis wraps before this column

// The table, its destinations in opt; --threads takes its range from the
// engine.
using Table = std::vector<Option>;

Table optionTable(BenchOptions& opt) {
    static std::string stepsHelp, sceneHelp, plotHelp;
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
        {"threads", 0, Kind::Number, &opt.threads, 1, maxThreads, "N",
         "threads for the spring phase (default 1; same results; a\n"
         "phase leaves them while one thread is faster)"},
        {"json", 0, Kind::Text, &opt.json, 0, 0, "FILE",
         "also write the run's figures to FILE as JSON; with -, the\n"
         "JSON on standard output and the text report on standard error"},
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
        }
    }
    return BenchParse::Run;
}
