// The run chart: a complete document, its texts escaped, small for a week.
#include "harness/chart_svg.h"

#include <gtest/gtest.h>

TEST(ChartSvgTest, AWeekOfPassesStaysSmallAndKeepsItsExtremes) {
  const double start = 1796417610.0;
  std::vector<TraceSample> samples(60480);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i].t = start + 10.0 * static_cast<double>(i + 1);
    samples[i].percent = 20.0 + 60.0 * static_cast<double>(i % 37) / 36.0;  // a saw from 20% to 80%
  }
  const std::string svg = renderChart(samples, {"day & night <1>", "", "", start, start + 7 * 86400.0, {}, {}});
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
  EXPECT_NE(svg.find(">day &amp; night &lt;1&gt;</text>"), std::string::npos);
  EXPECT_LT(svg.size(), 200'000u);
  // 80% is drawn at y 150, 20% at y 330.
  EXPECT_NE(svg.find(",150 "), std::string::npos);
  EXPECT_NE(svg.find(",330 "), std::string::npos);
}
