// What a newcomer reads after a simulated run: the chart's legend, labels,
// early stop and switching rows; the summary; the programs' --help.
#include <functional>
#include <map>
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

// A week of passes (a saw from 20% to 80%) with the week scenario's markers: a
// complete, small document, its texts escaped, every label drawn, none over
// another on its line.
TEST(RunPicture, AWeekStaysSmallAndItsLabelsNeverOverlap) {
  std::vector<ChartMarker> markers;
  for (int day = 0; day < 7; ++day)
    for (const auto& [hour, label] : std::map<int, std::string>{{4, "unplug"}, {5, "plug"}, {10, "unplug"}, {13, "plug"}})
      markers.push_back({kStart + day * 86400.0 + hour * 3600.0, label});
  markers.push_back({kStart + 167.9 * 3600.0, "40%"});  // at the right edge
  const auto saw = passes(168, [](TraceSample& s, int i) { s.percent = 20.0 + 60.0 * (i % 37) / 36.0; });
  const std::string svg = renderChart(saw, ChartInfo{"day & night <1>", "", "", kStart, kStart + 7 * 86400.0, markers});
  EXPECT_TRUE(svg.rfind("<?xml", 0) == 0 && svg.ends_with("</svg>\n") && svg.size() < 200'000u) << svg.size();
  EXPECT_NE(svg.find(">day &amp; night &lt;1&gt;</text>"), std::string::npos);
  EXPECT_TRUE(svg.find(",150 ") != svg.npos && svg.find(",330 ") != svg.npos) << "80% at y 150, 20% at y 330";
  const std::regex label("<text x=\"([\\d.]+)\" y=\"(\\d+)\"( text-anchor=\"end\")?>([^<]+)</text>");
  const std::string events = section(svg, "events");
  std::map<std::string, double> lineEnd;  // by y: where the last label on that line ends
  int drawn = 0;
  for (auto it = std::sregex_iterator(events.begin(), events.end(), label); it != std::sregex_iterator(); ++it, ++drawn) {
    const double width = 6.0 * static_cast<double>((*it)[4].length());  // DejaVu Sans 10 px: 6 to 6.4 a letter
    const double left = std::stod((*it)[1]) - ((*it)[3].matched ? width : 0.0);
    EXPECT_LE(left + width, 1200.0) << (*it)[4];
    EXPECT_GE(left, lineEnd.count((*it)[2]) ? lineEnd[(*it)[2]] : 0.0) << (*it)[0];
    lineEnd[(*it)[2]] = left + width;
  }
  EXPECT_EQ(drawn, 29);
}

TEST(RunPicture, RowsStopWhereTheDaemonStopped) {
  auto samples = passes(0.5, [](TraceSample& s, int) { s.smcAdapterDisabled = true; s.led = 3; });
  ChartInfo info{"signal", "", "", kStart, kStart + 7200.0, {}};
  info.stoppedAt = samples.back().t;
  const std::string svg = renderChart(samples, info);
  EXPECT_NE(svg.find(">hestled stopped</text>"), std::string::npos);
  // x = 130 + 1040 * 0.25 = 390: nothing coloured in the rows beyond it.
  const std::regex rowRect("<rect x=\"([\\d.]+)\" y=\"4\\d\\d\" width=\"([\\d.]+)\" height=\"16\" fill=\"#(?!f4f4f4)");
  int coloured = 0;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rowRect); it != std::sregex_iterator(); ++it, ++coloured)
    EXPECT_LE(std::stod((*it)[1]) + std::stod((*it)[2]), 390.1) << (*it)[0];
  EXPECT_EQ(coloured, 3);  // plugged in, adapter off, LED
}

TEST(RunPicture, SummarySaysAlwaysAtTheLimitAndListsOnlyFilesThere) {
  TempDir dir;
  writeWholeFile(dir.file("daemon.log"), "");
  writeWholeFile(dir.file("chart.svg"), "");
  Scenario scenario;
  scenario.hours = 2;
  const std::vector<std::pair<int, std::string>> rows = {
      {0, "always at the limit (80%)"}, {1, "reading between 79% and 81% (limit 80%)"}};
  for (const auto& [amplitude, words] : rows) {
    const int swing = amplitude;  // a lambda may not capture a structured binding before C++20's fix in clang 16
    RunResult result;
    result.samples = passes(2, [&](TraceSample& s, int i) { s.limit = 80; s.reading = 80 + (i % 3 - 1) * swing; });
    result.end = kStart + 7200.0;
    const std::string text = summarizeRun(scenario, result, dir.path());
    EXPECT_NE(text.find("plugged-in passes, " + words + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": daemon.log chart.svg\n"), std::string::npos) << text;
  }
}

TEST(RunPicture, ProgramsAnswerHelpOnStandardOutput) {
  for (const char* program : {HESTLE_SIM_PATH, HESTLED_PATH}) {
    const Ran run = runProgram(program, {"--help"});
    EXPECT_EQ(run.end.status(), 0) << program;
    EXPECT_EQ(run.out.rfind("usage: ", 0), 0u) << program;
    EXPECT_EQ(run.err, "") << program;
    if (std::string(program) != HESTLED_PATH) continue;
    for (const char* option : {"--state FILE ", "--speed N "})  // its options, explained
      EXPECT_NE(run.out.find(option), std::string::npos);
  }
}

}  // namespace
