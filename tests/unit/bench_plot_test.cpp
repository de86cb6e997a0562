// zibbet-bench --plot: the SVG picture of a run, read back with an XML parser
// (xmllint): well formed, three panels, curves labelled with their units, one
// point per report, the height curve the right way up.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "bench_dir.h"

namespace {

class BenchPlot : public BenchDir {
  protected:
    // An XPath expression evaluated on the plot: its string value.
    std::string xpath(const std::string& expr) {
        FxRunResult r = fxRunCommand("xmllint --xpath \"" + expr + "\" " + dir + "/plot.svg");
        EXPECT_EQ(r.status, 0) << expr << ": " << r.out;
        if (!r.out.empty() && r.out.back() == '\n') r.out.pop_back();
        return r.out;
    }
};

struct Report {
    long step;
    double height;
};

// The report lines of a run: "step N  kinetic ...  centre (x y z) ...".
std::vector<Report> reports(const std::string& out) {
    std::vector<Report> got;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        long step = 0;
        double x = 0, y = 0;
        const size_t centre = line.find("centre (");
        if (line.rfind("step ", 0) != 0 || centre == std::string::npos) continue;
        if (std::sscanf(line.c_str(), "step %ld", &step) != 1) continue;
        if (std::sscanf(line.c_str() + centre, "centre (%lf %lf", &x, &y) != 2) continue;
        got.push_back({step, y});
    }
    return got;
}

// "x,y x,y ..." from a polyline's points attribute.
std::vector<std::pair<double, double>> points(const std::string& attr) {
    std::vector<std::pair<double, double>> got;
    std::istringstream in(attr);
    for (std::string pair; in >> pair;) {
        double x = 0, y = 0;
        if (std::sscanf(pair.c_str(), "%lf,%lf", &x, &y) == 2) got.push_back({x, y});
    }
    return got;
}

// Without --report, --plot takes a report every ten steps, which the console
// shows too.
TEST_F(BenchPlot, DrawsEveryReportInThreeLabelledPanels) {
    FxRunResult r = bench("--steps 65 --drag 40 -30 --plot plot.svg");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<Report> reported = reports(r.out);
    ASSERT_EQ(reported.size(), 7u) << r.out; // steps 0, 10, ... 60
    EXPECT_EQ(reported.back().step, 60);

    FxRunResult parsed = fxRunCommand("xmllint --noout " + dir + "/plot.svg");
    ASSERT_EQ(parsed.status, 0) << "not well formed: " << parsed.out;
    EXPECT_EQ(xpath("local-name(/*)"), "svg");
    for (const char* panel : {"energy", "height", "phases"})
        EXPECT_EQ(xpath(std::string("count(//*[@id='") + panel + "'])"), "1") << panel;
    for (const char* phase : {"forces", "springs", "motion"})
        EXPECT_EQ(xpath(std::string("count(//*[@id='phases']/*[@id='phase-") + phase + "'])"), "1")
            << phase;
    // Each curve's label names its unit.
    EXPECT_EQ(xpath("count(//*[@id='energy']//*[local-name()='text'][contains(., 'kinetic "
                    "energy (mass') or contains(., 'spring energy (mass')])"),
              "2");
    EXPECT_EQ(xpath("count(//*[@id='height']//*[local-name()='text'][contains(., '(world "
                    "units)')])"),
              "1");

    for (const char* id : {"kinetic", "spring", "centre-height"}) {
        SCOPED_TRACE(id);
        const auto curve = points(xpath(std::string("string(//*[@id='") + id + "']/@points)"));
        ASSERT_EQ(curve.size(), reported.size());
        for (size_t i = 1; i < curve.size(); ++i)
            EXPECT_GT(curve[i].first, curve[i - 1].first) << "point " << i;
    }
    // Up is up: a higher centre is drawn higher, that is at a smaller y.
    const auto height = points(xpath("string(//*[@id='centre-height']/@points)"));
    ASSERT_EQ(height.size(), reported.size());
    for (size_t i = 1; i < height.size(); ++i) {
        const double rise = reported[i].height - reported[i - 1].height;
        if (std::abs(rise) < 1e-3) continue;
        EXPECT_EQ(rise > 0, height[i].second < height[i - 1].second) << "report " << i;
    }
}

} // namespace
