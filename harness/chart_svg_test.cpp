// Tests of the run chart: placement of bands, limit and rows, and its size on long runs.
#include "harness/chart_svg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr double kStart = 1796417610.0;

std::vector<TraceSample> steadySamples(int count, double step) {
  std::vector<TraceSample> samples;
  for (int i = 0; i < count; ++i) {
    TraceSample s;
    s.t = kStart + step * (i + 1);
    s.pass = i + 1;
    s.percent = 20.0 + 60.0 * (i % 37) / 36.0;  // a saw between 20% and 80%
    s.pluggedIn = true;
    s.limit = 80;
    s.led = 3;
    samples.push_back(s);
  }
  return samples;
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::string section(const std::string& svg, const std::string& cls) {
  const size_t from = svg.find("<g class=\"" + cls + "\"");
  if (from == std::string::npos) return "";
  return svg.substr(from, svg.find("</g>", from) - from);
}

}  // namespace

TEST(ChartSvgTest, AWeekOfPassesStaysSmall) {
  const auto samples = steadySamples(60480, 10.0);
  ChartInfo info{"week", "", "", kStart, kStart + 7 * 86400.0, {}};
  const std::string svg = renderChart(samples, info);
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  const size_t polyline = svg.find("class=\"percent\"");
  ASSERT_NE(polyline, std::string::npos);
  const size_t from = svg.find("points=\"", polyline) + 8;
  const std::string points = svg.substr(from, svg.find('"', from) - from);
  // At most four points per pixel column of the 1040-pixel plot, and the
  // extremes (80% at y 150, 20% at y 330) survive the thinning.
  EXPECT_LE(count(points, ","), 4u * 1041u);
  EXPECT_GT(count(points, ","), 1000u);
  EXPECT_NE(points.find(",150 "), std::string::npos);
  EXPECT_NE(points.find(",330 "), std::string::npos);  // 80%: y = 70 + 0.2 * 300
  EXPECT_LT(svg.size(), 200'000u);
}

TEST(ChartSvgTest, PhasesLimitAndRowsArePlacedOnTheTimeAxis) {
  // 24 hours: x = 130 + hours / 24 * 1040.
  std::vector<TraceSample> samples;
  const auto at = [&](double hours, CalibrationPhase phase, bool adapterOff, uint8_t led, std::optional<int64_t> limit) {
    TraceSample s;
    s.t = kStart + hours * 3600.0;
    s.percent = 60.0;
    s.phase = phase;
    s.smcAdapterDisabled = adapterOff;
    s.led = led;
    s.limit = limit;
    s.pluggedIn = true;
    samples.push_back(s);
  };
  at(0, CalibrationPhase::idle, false, 0, 80);
  at(6, CalibrationPhase::discharging, true, 3, 80);
  at(12, CalibrationPhase::charging, false, 4, 80);
  at(18, CalibrationPhase::idle, false, 3, std::nullopt);
  ChartInfo info{"day & night <1>", "sub", "a description", kStart, kStart + 86400.0, {{kStart + 3 * 3600.0, "unplug"}}};
  const std::string svg = renderChart(samples, info);

  EXPECT_NE(svg.find(">day &amp; night &lt;1&gt;</text>"), std::string::npos);
  EXPECT_NE(svg.find(">a description</text>"), std::string::npos);
  const std::string phases = section(svg, "phases");
  EXPECT_NE(phases.find("<rect x=\"390\" y=\"90\" width=\"260\" height=\"300\" fill=\"#9ecae1\""), std::string::npos)
      << phases;
  EXPECT_NE(phases.find("<rect x=\"650\" y=\"90\" width=\"260\" height=\"300\" fill=\"#fdae6b\""), std::string::npos)
      << phases;
  EXPECT_EQ(count(phases, "<rect"), 2u);

  // The limit is drawn at 80% (y 150) until it is switched off at 18 h.
  const std::string limit = section(svg, "limit");
  EXPECT_NE(limit.find("stroke-dasharray=\"6,4\""), std::string::npos);
  EXPECT_NE(limit.find("<line x1=\"130\" y1=\"150\" x2=\"910\" y2=\"150\"/>"), std::string::npos) << limit;
  EXPECT_EQ(count(limit, "<line"), 1u);

  // The adapter row shows one red run from 6 h to 12 h; the LED row three colours.
  EXPECT_EQ(count(svg, "fill=\"#d62728\"/>"), 1u);
  EXPECT_NE(svg.find("<rect x=\"390\" y=\"426\" width=\"260\" height=\"16\" fill=\"#d62728\"/>"), std::string::npos);
  EXPECT_NE(svg.find("width=\"260\" height=\"16\" fill=\"#d9d9d9\"/>"), std::string::npos);  // LED system 0-6 h
  EXPECT_EQ(count(svg, "width=\"260\" height=\"16\" fill=\"#2ca02c\"/>"), 2u);  // green 6-12 h, 18-24 h
  EXPECT_EQ(count(svg, "width=\"260\" height=\"16\" fill=\"#ff7f0e\"/>"), 1u);  // orange 12-18 h
  EXPECT_NE(svg.find(">unplug</text>"), std::string::npos);
  for (const char* tick : {">0</text>", ">2</text>", ">24</text>"}) EXPECT_NE(section(svg, "axis").find(tick), std::string::npos);
}

TEST(ChartSvgTest, NoSamplesStillGiveADocument) {
  const std::string svg = renderChart({}, ChartInfo{"no SMC", "exit status 1", "", kStart, kStart + 3600.0, {}});
  EXPECT_NE(svg.find("points=\"\""), std::string::npos);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}
