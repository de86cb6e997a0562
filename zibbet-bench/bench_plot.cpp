// The SVG picture of a zibbet-bench run, written by hand: three panels one
// above the other (energies, centre height, phase shares), each curve a
// polyline with one point per report and a label that names its unit.
//
// Sections: layout; text and numbers; axes; panels; picture.
#include "zibbet-bench/bench_plot.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>

namespace {

// ---------------------------------------------------------------------------
// Layout (SVG user units, one per pixel at the natural size)
// ---------------------------------------------------------------------------
constexpr double kWidth = 800;
constexpr double kHeight = 750;
constexpr double kLeft = 90; // plot areas, left and right edges
constexpr double kRight = 770;
constexpr double kEnergyTop = 100, kEnergyBottom = 320;
constexpr double kHeightTop = 410, kHeightBottom = 590;
constexpr double kBarTop = 665, kBarBottom = 700;
constexpr double kPad = 0.05;               // share of a value range left free above and below
constexpr int kTargetTicks = 5;             // about this many labelled ticks an axis
constexpr int kMaxTicks = 4 * kTargetTicks; // a bound for ranges too narrow for their size
constexpr double kTickLength = 5;
const char* const kFont = "font-family=\"sans-serif\" font-size=\"12\"";

const char* const kKineticColour = "#d9480f";
const char* const kSpringColour = "#1c7ed6";
const char* const kHeightColour = "#2b8a3e";
const char* const kPhaseColours[kBenchPhases] = {"#f59f00", "#1c7ed6", "#7048e8"};

// ---------------------------------------------------------------------------
// Text and numbers
// ---------------------------------------------------------------------------
// printf at the end of svg.
void add(std::string& svg, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& svg, const char* fmt, ...) {
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    const size_t at = svg.size();
    svg.resize(at + static_cast<size_t>(std::max(n, 0)) + 1); // and the terminating zero
    std::vsnprintf(svg.data() + at, svg.size() - at, fmt, again);
    svg.pop_back();
    va_end(again);
    va_end(args);
}

// Text as XML character data: the title carries a file name, which may hold
// anything.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
            out += '?'; // control characters are not allowed in XML 1.0 at all
        else
            out += c;
    }
    return out;
}

// A short number for an axis label: no trailing zeros, no "-0".
std::string label(double v) {
    if (v == 0.0) v = 0.0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// ---------------------------------------------------------------------------
// Axes
// ---------------------------------------------------------------------------

// A value range mapped onto an interval of pixels; lo maps to p0.
struct Axis {
    double lo, hi;
    double p0, p1;
};

double place(const Axis& a, double v) {
    if (std::isnan(v) || v == HUGE_VAL) return a.p1; // off the scale: drawn at the far edge
    if (v == -HUGE_VAL) return a.p0;
    return a.p0 + (v - a.lo) / (a.hi - a.lo) * (a.p1 - a.p0);
}

// The finite values' range with some room on both sides; a flat or empty
// set of values still gets a range of some width.
void valueRange(const std::vector<double>& values, double& lo, double& hi) {
    lo = HUGE_VAL;
    hi = -HUGE_VAL;
    for (double v : values) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (lo > hi) {
        lo = 0.0;
        hi = 1.0;
        return;
    }
    const double span = hi - lo;
    const double room = span > 0.0 ? span * kPad : std::max(std::fabs(lo) * kPad, 1.0);
    // Both ends stay finite even for values near the largest double.
    lo = std::max(lo - room, -DBL_MAX / 4);
    hi = std::min(hi + room, DBL_MAX / 4);
    if (!(hi > lo)) hi = lo + 1.0;
}

// Tick spacing of 1, 2 or 5 times a power of ten, about kTargetTicks a range.
double tickStep(double lo, double hi) {
    const double raw = (hi - lo) / kTargetTicks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (raw <= m * power) return m * power;
    return 10.0 * power;
}

// Grid lines, ticks and labels for the vertical axis of a plot area.
void verticalAxis(std::string& svg, const Axis& y, double left, double right) {
    const double step = tickStep(y.lo, y.hi);
    if (!std::isfinite(step) || step <= 0.0) return;
    double v = std::ceil(y.lo / step) * step;
    for (int n = 0; n < kMaxTicks && v <= y.hi; ++n, v += step) {
        const double py = place(y, v);
        add(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#e9ecef\"/>\n",
            left, py, right, py);
        add(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#495057\"/>\n",
            left - kTickLength, py, left, py);
        add(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\" %s>%s</text>\n",
            left - kTickLength - 3, py + 4, kFont,
            label(std::fabs(v) < step * 1e-9 ? 0.0 : v).c_str());
    }
}

// Ticks and labels for the step axis under a plot area.
void stepAxis(std::string& svg, const Axis& x, double bottom) {
    const double step = std::max(1.0, std::ceil(tickStep(x.lo, x.hi)));
    double v = std::ceil(x.lo / step) * step;
    for (int n = 0; n < kMaxTicks && v <= x.hi; ++n, v += step) {
        const double px = place(x, v);
        add(svg, "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"#495057\"/>\n", px,
            bottom, px, bottom + kTickLength);
        add(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\" %s>%s</text>\n", px,
            bottom + kTickLength + 13, kFont, label(v).c_str());
    }
    add(svg, "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\" %s>step</text>\n", kRight,
        bottom + kTickLength + 28, kFont);
}

// ---------------------------------------------------------------------------
// Panels
// ---------------------------------------------------------------------------
void frame(std::string& svg, double top, double bottom) {
    add(svg,
        "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"none\" "
        "stroke=\"#495057\"/>\n",
        kLeft, top, kRight - kLeft, bottom - top);
}

void curve(std::string& svg, const char* id, const char* colour, const Axis& x, const Axis& y,
           const std::vector<PlotSample>& samples, double PlotSample::*field) {
    add(svg, "<polyline id=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"", id,
        colour);
    for (size_t i = 0; i < samples.size(); ++i)
        add(svg, "%s%.2f,%.2f", i ? " " : "", place(x, static_cast<double>(samples[i].step)),
            place(y, samples[i].*field));
    svg += "\"/>\n";
}

// A short stroke in the curve's colour and its name with its unit.
void legend(std::string& svg, double x, double y, const char* colour, const char* text) {
    add(svg,
        "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"%s\" "
        "stroke-width=\"3\"/>\n",
        x, y - 4, x + 18, y - 4, colour);
    add(svg, "<text x=\"%.2f\" y=\"%.2f\" %s>%s</text>\n", x + 24, y, kFont, text);
}

void heading(std::string& svg, double y, const char* text) {
    add(svg,
        "<text x=\"%.2f\" y=\"%.2f\" font-family=\"sans-serif\" font-size=\"14\" "
        "font-weight=\"bold\">%s</text>\n",
        kLeft, y, text);
}

// A curve of a panel: its id, colour, legend and the figure it draws.
struct Curve {
    const char* id;
    const char* colour;
    const char* legend;
    double PlotSample::*field;
};
constexpr double kLegendGap = 340; // from one legend to the next

Axis stepRange(const std::vector<PlotSample>& samples) {
    double lo = samples.empty() ? 0.0 : static_cast<double>(samples.front().step);
    double hi = samples.empty() ? 1.0 : static_cast<double>(samples.back().step);
    if (!(hi > lo)) hi = lo + 1.0;
    return {lo, hi, kLeft, kRight};
}

// A panel of curves against the step, all on one vertical scale.
void curvePanel(std::string& svg, const char* id, const char* title, double top, double bottom,
                std::initializer_list<Curve> curves, const std::vector<PlotSample>& samples) {
    std::vector<double> values;
    for (const Curve& c : curves)
        for (const PlotSample& s : samples)
            values.push_back(s.*c.field);
    Axis y{0, 0, bottom, top};
    valueRange(values, y.lo, y.hi);
    const Axis x = stepRange(samples);

    add(svg, "<g id=\"%s\">\n", id);
    heading(svg, top - 42, title);
    double legendX = kLeft;
    for (const Curve& c : curves) {
        legend(svg, legendX, top - 12, c.colour, c.legend);
        legendX += kLegendGap;
    }
    verticalAxis(svg, y, kLeft, kRight);
    for (const Curve& c : curves)
        curve(svg, c.id, c.colour, x, y, samples, c.field);
    frame(svg, top, bottom);
    stepAxis(svg, x, bottom);
    svg += "</g>\n";
}

// One bar across the width, a segment per phase in proportion to its time.
void phasePanel(std::string& svg, const BenchPhaseSeconds& times) {
    double total = 0.0;
    for (double t : times)
        if (std::isfinite(t) && t > 0.0) total += t;

    svg += "<g id=\"phases\">\n";
    heading(svg, kBarTop - 16, "Share of the step's time by phase (%)");
    double x = kLeft;
    for (int i = 0; i < kBenchPhases; ++i) {
        const double share =
            total > 0.0 && std::isfinite(times[i]) && times[i] > 0.0 ? times[i] / total : 0.0;
        const double w = share * (kRight - kLeft);
        add(svg,
            "<rect id=\"phase-%s\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
            "fill=\"%s\"/>\n",
            kBenchPhaseNames[i], x, kBarTop, w, kBarBottom - kBarTop, kPhaseColours[i]);
        // Labels sit under the bar, evenly spaced: a thin segment has no room.
        const double lx = kLeft + i * (kRight - kLeft) / 3.0;
        add(svg,
            "<rect x=\"%.2f\" y=\"%.2f\" width=\"12\" height=\"12\" fill=\"%s\"/>\n"
            "<text x=\"%.2f\" y=\"%.2f\" %s>%s %.1f %%</text>\n",
            lx, kBarBottom + 12, kPhaseColours[i], lx + 18, kBarBottom + 23, kFont,
            kBenchPhaseNames[i], 100.0 * share);
        x += w;
    }
    if (total <= 0.0)
        add(svg, "<text x=\"%.2f\" y=\"%.2f\" %s>no phase time was measured</text>\n", kLeft + 8,
            kBarTop + 22, kFont);
    frame(svg, kBarTop, kBarBottom);
    svg += "</g>\n";
}

} // namespace

// ---------------------------------------------------------------------------
// Picture
// ---------------------------------------------------------------------------
bool plotWriteSvg(std::FILE* out, const std::string& title, const std::vector<PlotSample>& samples,
                  const BenchPhaseSeconds& phases) {
    std::string svg;
    svg.reserve(4096 + samples.size() * 48);
    add(svg,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
        "viewBox=\"0 0 %.0f %.0f\">\n",
        kWidth, kHeight, kWidth, kHeight);
    add(svg, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    add(svg, "<text x=\"%.2f\" y=\"22\" font-family=\"sans-serif\" font-size=\"15\">%s</text>\n",
        kLeft, escaped(title).c_str());
    curvePanel(
        svg, "energy", "Energy of the soft bodies", kEnergyTop, kEnergyBottom,
        {{"kinetic", kKineticColour, "kinetic energy (mass \xC2\xB7 units\xC2\xB2 / step\xC2\xB2)",
          &PlotSample::kinetic},
         {"spring", kSpringColour, "spring energy (mass \xC2\xB7 units\xC2\xB2 / step\xC2\xB2)",
          &PlotSample::spring}},
        samples);
    curvePanel(
        svg, "height", "Height of the soft bodies' centre", kHeightTop, kHeightBottom,
        {{"centre-height", kHeightColour, "centre height, y (world units)", &PlotSample::height}},
        samples);
    phasePanel(svg, phases);
    svg += "</svg>\n";
    return std::fwrite(svg.data(), 1, svg.size(), out) == svg.size() && std::fflush(out) == 0;
}
