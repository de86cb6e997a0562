// zibbet-bench --plot: the SVG picture of a run, read back with an XML parser
// (xmllint): well formed, three panels, curves labelled with their units, one
// point per report, the height curve the right way up.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
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

// Step and centre height of the report lines "step N  ...  centre (x y z) ...".
std::vector<std::pair<long, double>> reports(const std::string& out) {
    std::vector<std::pair<long, double>> got;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        long step = 0;
        double x = 0, y = 0;
        const size_t centre = line.find("centre (");
        if (centre != std::string::npos && std::sscanf(line.c_str(), "step %ld", &step) == 1 &&
            std::sscanf(line.c_str() + centre, "centre (%lf %lf", &x, &y) == 2)
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
    FxRunResult r = bench("--steps 65 --drag 40 -30 --repeat 1 --threads 1 --plot plot.svg");
    ASSERT_EQ(r.status, 0) << r.out;
    const auto reported = reports(r.out);
    ASSERT_EQ(reported.size(), 7u) << r.out; // steps 0, 10, ... 60
    EXPECT_EQ(reported.back().first, 60);

    // xmllint fails on a file that is not well formed. Each curve's label
    // names its unit.
    const std::pair<const char*, const char*> queries[] = {
        {"local-name(/*)", "svg"},
        {"count(//*[@id='phases']/*[@id='phase-forces' or @id='phase-springs' or "
         "@id='phase-motion'])",
         "3"},
        {"count(//*[@id='energy']//*[local-name()='text'][contains(., 'kinetic energy (mass') or "
         "contains(., 'spring energy (mass')])",
         "2"},
        {"count(//*[@id='height']//*[local-name()='text'][contains(., '(world units)')])", "1"},
    };
    for (const auto& [query, value] : queries)
        EXPECT_EQ(xpath(query), value) << query;
    for (const char* id : {"kinetic", "spring", "centre-height"}) {
        const auto curve = points(xpath(std::string("string(//*[@id='") + id + "']/@points)"));
        ASSERT_EQ(curve.size(), reported.size()) << id;
        for (size_t i = 1; i < curve.size(); ++i)
            EXPECT_GT(curve[i].first, curve[i - 1].first) << id << " point " << i;
    }
    // Up is up: a higher centre is drawn higher, that is at a smaller y.
    const auto height = points(xpath("string(//*[@id='centre-height']/@points)"));
    for (size_t i = 1; i < height.size(); ++i) {
        const double rise = reported[i].second - reported[i - 1].second;
        if (std::abs(rise) < 1e-3) continue;
        EXPECT_EQ(rise > 0, height[i].second < height[i - 1].second) << "report " << i;
    }
}

} // namespace
