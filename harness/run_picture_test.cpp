// What a newcomer reads after a simulated run: the chart's legend, labels,
// early stop and switching rows; the summary.
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "harness/chart_svg.h"
#include "harness/run_summary.h"
#include "test_support.h"

namespace {

constexpr double kStart = 1796417610.0;

// One sample per ten-second pass over `hours`, each made by `make(pass)`.
std::vector<TraceSample> passes(double hours, const std::function<void(TraceSample&, int)>& make) {
  std::vector<TraceSample> samples;
  for (int i = 0; i < hours * 360; ++i) {
    TraceSample s;
    s.t = kStart + 10.0 * (i + 1);
    s.pass = i + 1;
    s.percent = 80;
    s.pluggedIn = true;
    make(s, i);
    samples.push_back(s);
  }
  return samples;
}

std::vector<std::string> matches(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

std::string section(const std::string& svg, const std::string& cls) {
  const size_t from = svg.find("<g class=\"" + cls + "\"");
  return from == std::string::npos ? "" : svg.substr(from, svg.find("</g>\n", from) - from);
}

TEST(RunPicture, LegendShowsOnlyWhatTheRunUsed) {
  struct Row {
    std::vector<TraceSample> samples;
    std::vector<std::string> legend;
  };
  const std::vector<Row> rows = {
      {{}, {}},
      {passes(2, [](TraceSample& s, int) { s.led = 3; s.limit = 80; }), {"battery %", "limit", "LED green"}},
      {passes(2, [](TraceSample& s, int i) { s.phase = i < 300 ? CalibrationPhase::discharging : CalibrationPhase::idle;
                                             s.led = i < 300 ? 4 : 0; }),
       {"battery %", "discharging to 15%", "LED orange", "LED system"}},
      {passes(2, [](TraceSample& s, int i) { s.led = 3; s.smcAdapterDisabled = i % 2; }),
       {"battery %", "LED green", "switches every pass"}},
  };
  for (const auto& row : rows) {
    // 12 hours: a ten-second pass is 0.24 pixels.
    const std::string svg = renderChart(row.samples, ChartInfo{"t", "", "", kStart, kStart + 43200.0, {}});
    EXPECT_EQ(matches(svg.substr(svg.find("<g class=\"legend\">")), "<text x=\"\\d+\" y=\"11\">([^<]+)</text>"),
              row.legend);
    EXPECT_EQ(svg.find("No pass ran: hestled stopped during start-up") != std::string::npos, row.samples.empty());
    EXPECT_EQ(svg.find("class=\"switching\"") != std::string::npos,
              row.legend.size() > 2 && row.legend.back() == "switches every pass");
  }
}

// A week of passes (a saw from 20% to 80%) is a complete, small document, its
// texts escaped; each label takes the first line above the plot with room
// (none when both are taken), right-aligned where it would run off the edge.
TEST(RunPicture, AWeekStaysSmallAndLabelsNeverOverlap) {
  const auto saw = passes(168, [](TraceSample& s, int i) { s.percent = 20.0 + 60.0 * (i % 37) / 36.0; });
  const std::vector<ChartMarker> markers = {{kStart + 3600, "unplug"}, {kStart + 7200, "plug"}, {kStart + 10800, "unplug"},
                                            {kStart + 100000, "plug"}, {kStart + 604000, "40% <"}};
  const std::string svg = renderChart(saw, ChartInfo{"day & night <1>", "", "", kStart, kStart + 7 * 86400.0, markers});
  EXPECT_TRUE(svg.rfind("<?xml", 0) == 0 && svg.ends_with("</svg>\n") && svg.size() < 200'000u) << svg.size();
  EXPECT_NE(svg.find(">day &amp; night &lt;1&gt;</text>"), std::string::npos);
  EXPECT_TRUE(svg.find(",150 ") != svg.npos && svg.find(",330 ") != svg.npos) << "80% at y 150, 20% at y 330";
  EXPECT_EQ(matches(section(svg, "events"), "(<text [^<]*)</text>"),
            (std::vector<std::string>{"<text x=\"138.2\" y=\"84\">unplug", "<text x=\"144.4\" y=\"73\">plug", "<text x=\"304\" y=\"84\">plug",
                                      "<text x=\"1166.6\" y=\"84\" text-anchor=\"end\">40% &lt;"}));
}

TEST(RunPicture, RowsStopWhereTheDaemonStopped) {
  auto samples = passes(0.5, [](TraceSample& s, int) { s.smcAdapterDisabled = true; s.led = 3; });
  ChartInfo info{"signal", "", "", kStart, kStart + 7200.0, {}};
  info.stoppedAt = samples.back().t;
  const std::string svg = renderChart(samples, info);
  EXPECT_NE(svg.find(">hestled stopped</text>"), std::string::npos);
  // Plugged in, adapter off, LED: each coloured up to x = 130 + 1040 * 0.25 = 390, nothing beyond.
  EXPECT_EQ(matches(svg, "<rect (x=\"[\\d.]+\" y=\"4\\d\\d\" width=\"[\\d.]+\") height=\"16\" fill=\"#(?!f4f4f4)"),
            (std::vector<std::string>{"x=\"131.4\" y=\"404\" width=\"258.6\"", "x=\"131.4\" y=\"426\" width=\"258.6\"",
                                      "x=\"131.4\" y=\"492\" width=\"258.6\""}));
}

TEST(RunPicture, SummarySaysAlwaysAtTheLimitAndListsOnlyFilesThere) {
  TempDir dir;
  writeWholeFile(dir.file("chart.svg"), "");
  Scenario scenario;
  scenario.hours = 2;
  for (const int swing : {0, 1}) {
    RunResult result;
    result.samples = passes(2, [&](TraceSample& s, int i) { s.limit = 80; s.reading = 80 + (i % 3 - 1) * swing; });
    result.end = kStart + 7200.0;
    const std::string text = summarizeRun(scenario, result, dir.path());
    EXPECT_NE(text.find(swing ? "plugged-in passes, reading between 79% and 81% (limit 80%)\n"
                              : "plugged-in passes, always at the limit (80%)\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": chart.svg\n"), std::string::npos) << text;
    EXPECT_TRUE(swing || text.find("at 30 °C: 0.00 full cycles a day, 5.2% (Schmalstieg 2014) to 6.4% (NREL NCA) of the capacity "
                                   "lost\n  the same with the limit off (100% on the charger): 0.00 full cycles a day, 6.5% "
                                   "(Schmalstieg 2014) to 8.1% (NREL NCA)\n") != std::string::npos) << text;
  }
}

}  // namespace
