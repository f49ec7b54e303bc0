// Hand-written SVG of a simulated run.
#include "harness/chart_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <optional>
#include <string_view>

namespace {

constexpr double kWidth = 1200.0;
constexpr double kLeft = 130.0;   // room for the row labels
constexpr double kRight = 30.0;
constexpr double kTop = 90.0;     // title, subtitle, description, event labels
constexpr double kPlotHeight = 300.0;
constexpr double kRowHeight = 16.0;
constexpr double kRowGap = 6.0;
constexpr double kPlotWidth = kWidth - kLeft - kRight;

struct Phase {
  CalibrationPhase phase;
  const char* colour;
};
constexpr Phase kPhaseColours[] = {
    {CalibrationPhase::discharging, "#9ecae1"},
    {CalibrationPhase::charging, "#fdae6b"},
    {CalibrationPhase::holding, "#fc9272"},
    {CalibrationPhase::drainingBack, "#bcbddc"},
};

constexpr const char* kSleepColour = "#3f3f8f";
constexpr const char* kClamshellColour = "#8f6f3f";
constexpr const char* kDarkWakeColour = "#202020";

const char* phaseColour(CalibrationPhase phase) {
  for (const auto& p : kPhaseColours)
    if (p.phase == phase) return p.colour;
  return nullptr;
}

const char* ledColour(uint8_t led) {
  switch (led) {
    case 3: return "#2ca02c";
    case 4: return "#ff7f0e";
    case 0: return "#d9d9d9";
    default: return "#7f7f7f";
  }
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  std::string s = buf;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s;
}

std::string escapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

struct Scale {
  double start, end;
  double x(double t) const {
    const double span = end > start ? end - start : 1.0;
    return kLeft + std::clamp((t - start) / span, 0.0, 1.0) * kPlotWidth;
  }
  static double y(double percent) { return kTop + (1.0 - std::clamp(percent, 0.0, 100.0) / 100.0) * kPlotHeight; }
};

// Runs of equal value: calls `draw(from, to, value)` for each maximal run.
template <typename Value>
void forEachRun(const std::vector<TraceSample>& samples, double end,
                const std::function<Value(const TraceSample&)>& valueOf,
                const std::function<void(double, double, const Value&)>& draw) {
  size_t i = 0;
  while (i < samples.size()) {
    const Value value = valueOf(samples[i]);
    size_t j = i + 1;
    while (j < samples.size() && valueOf(samples[j]) == value) ++j;
    const double to = j < samples.size() ? samples[j].t : std::max(end, samples[i].t);
    draw(samples[i].t, to, value);
    i = j;
  }
}

// Hours between axis ticks: about a dozen ticks at most.
double tickHours(double spanHours) {
  for (double step : {1.0, 2.0, 3.0, 6.0, 12.0, 24.0, 48.0, 168.0})
    if (spanHours / step <= 12.0) return step;
  return 24.0 * 30;
}

double roundTenth(double v) { return std::round(v * 10.0) / 10.0; }

// Edges are rounded before the width is taken, so that runs side by side
// meet without a seam; a run of a single pass stays visible as a hairline.
void appendRect(std::string& svg, double x0, double x1, double y, double h, const char* fill,
                const char* extra = "") {
  if (x1 <= x0) return;
  const double left = roundTenth(x0);
  const double width = std::max(roundTenth(x1) - left, 0.5);
  svg += "<rect x=\"" + num(left) + "\" y=\"" + num(y) + "\" width=\"" + num(width) + "\" height=\"" + num(h) +
         "\" fill=\"" + fill + "\"" + extra + "/>\n";
}

std::string percentPoints(const std::vector<TraceSample>& samples, const Scale& scale) {
  // Per pixel column keep the first, lowest, highest and last sample, in time order.
  std::string points;
  size_t i = 0;
  while (i < samples.size()) {
    const long column = std::lround(std::floor(scale.x(samples[i].t)));
    size_t j = i, lo = i, hi = i;
    while (j < samples.size() && std::lround(std::floor(scale.x(samples[j].t))) == column) {
      if (samples[j].percent < samples[lo].percent) lo = j;
      if (samples[j].percent > samples[hi].percent) hi = j;
      ++j;
    }
    size_t keep[] = {i, std::min(lo, hi), std::max(lo, hi), j - 1};
    size_t last = samples.size();
    for (size_t k : keep) {
      if (k == last) continue;
      last = k;
      points += num(scale.x(samples[k].t)) + "," + num(Scale::y(samples[k].percent)) + " ";
    }
    i = j;
  }
  if (!points.empty()) points.pop_back();
  return points;
}

// Width in pixels of `text` at font-size 10 in DejaVu Sans, rounded up a
// little, so that labels laid side by side never touch.
double labelWidth(const std::string& text) {
  double width = 0.0;
  for (const unsigned char c : text) {
    if (c >= 0x80) {
      if ((c & 0xC0) != 0x80) width += 10.0;  // one character per UTF-8 lead byte
    } else if (std::string_view("iljtfr.,:;' |!()").find(static_cast<char>(c)) != std::string_view::npos) {
      width += 4.2;
    } else if (c == 'm' || c == 'w' || c == '%' || (c >= 'A' && c <= 'Z')) {
      width += 9.8;
    } else {
      width += 6.6;
    }
  }
  return width;
}

// A row's state from x0 to x1 (pixels): a fill, or nothing drawn.
struct RowRun {
  double x0, x1;
  std::optional<const char*> fill;
};

constexpr const char* kRowBackground = "#f4f4f4";  // a row's "off"

// Runs narrower than this many pixels cannot be told apart.
constexpr double kNarrowRunPixels = 1.0;

// Draws a row's runs. A stretch of three or more runs each narrower than
// kNarrowRunPixels is a state switching on pass after pass: drawn hatched in
// its two states (not as a blur of hairlines that reads as a third colour),
// with words on it where there is room. True when it drew such a stretch.
bool appendRowRuns(std::string& svg, const std::vector<RowRun>& runs, double y, int& patterns) {
  bool flickered = false;
  const auto narrow = [](const RowRun& r) { return r.x1 - r.x0 < kNarrowRunPixels; };
  size_t i = 0;
  while (i < runs.size()) {
    size_t j = i;
    while (j < runs.size() && narrow(runs[j])) ++j;
    if (j - i < 3) {
      for (const size_t end = std::max(j, i + 1); i < end; ++i)
        if (runs[i].fill) appendRect(svg, runs[i].x0, runs[i].x1, y, kRowHeight, *runs[i].fill);
      continue;
    }
    const char* first = runs[i].fill.value_or(kRowBackground);
    const char* second = first;
    for (size_t k = i; k < j && second == first; ++k) second = runs[k].fill.value_or(kRowBackground);
    const std::string id = "switching-" + std::to_string(patterns++);
    svg += "<defs><pattern id=\"" + id +
           "\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
           "<rect width=\"3\" height=\"6\" fill=\"" + first + "\"/><rect x=\"3\" width=\"3\" height=\"6\" fill=\"" +
           second + "\"/></pattern></defs>\n";
    const std::string fill = "url(#" + id + ")";
    appendRect(svg, runs[i].x0, runs[j - 1].x1, y, kRowHeight, fill.c_str(), " class=\"switching\"");
    const char* words = "switches every pass";
    if (runs[j - 1].x1 - runs[i].x0 >= labelWidth(words) + 12.0) {
      const double x = roundTenth(runs[i].x0 + 4.0);
      appendRect(svg, x, x + labelWidth(words) + 4.0, y + 2.0, kRowHeight - 4.0, "#ffffff", " fill-opacity=\"0.85\"");
      svg += "<text x=\"" + num(x + 2.0) + "\" y=\"" + num(y + 12.0) + "\" font-size=\"10\">" + words + "</text>\n";
    }
    flickered = true;
    i = j;
  }
  return flickered;
}

// Event markers: a dotted line each, with the label as tooltip; the label
// itself on the lower or the upper line above the plot, the first with room,
// right-aligned at the marker when it would run off the right edge.
void appendEventMarkers(std::string& svg, const std::vector<ChartMarker>& markers, const Scale& scale) {
  std::vector<ChartMarker> sorted = markers;
  std::stable_sort(sorted.begin(), sorted.end(), [](const ChartMarker& a, const ChartMarker& b) { return a.t < b.t; });
  constexpr double kGap = 4.0;
  double lineEnd[2] = {-1e9, -1e9};  // right end of the last label on each line
  svg += "<g class=\"events\" font-size=\"10\" fill=\"#555555\">\n";
  for (const auto& marker : sorted) {
    const double x = scale.x(marker.t);
    const std::string label = escapeXml(marker.label);
    svg += "<line x1=\"" + num(x) + "\" y1=\"" + num(kTop) + "\" x2=\"" + num(x) + "\" y2=\"" +
           num(kTop + kPlotHeight) + "\" stroke=\"#888888\" stroke-dasharray=\"1,3\"><title>" + label +
           "</title></line>\n";
    const double width = labelWidth(marker.label);
    const bool alignRight = x + 2.0 + width > kWidth - 2.0;
    const double left = alignRight ? x - 2.0 - width : x + 2.0;
    for (int line = 0; line < 2; ++line) {
      if (left < lineEnd[line] + kGap) continue;
      lineEnd[line] = left + width;
      svg += "<text x=\"" + num(alignRight ? x - 2.0 : x + 2.0) + "\" y=\"" + num(kTop - 6.0 - 11.0 * line) + "\"" +
             (alignRight ? " text-anchor=\"end\"" : "") + ">" + label + "</text>\n";
      break;
    }
  }
  svg += "</g>\n";
}

}  // namespace

std::string renderChart(const std::vector<TraceSample>& samples, const ChartInfo& info) {
  const Scale scale{info.start, info.end};
  // Nothing is drawn after the daemon stopped.
  const double drawnEnd = info.stoppedAt ? std::min(info.end, *info.stoppedAt) : info.end;
  struct Row {
    const char* label;
    std::function<std::optional<const char*>(const TraceSample&)> fill;  // none: nothing drawn
  };
  const std::vector<Row> rows = {
      {"Plugged in", [](const TraceSample& s) { return s.pluggedIn ? std::optional("#636363") : std::nullopt; }},
      {"Adapter off", [](const TraceSample& s) { return s.smcAdapterDisabled ? std::optional("#d62728") : std::nullopt; }},
      {"Charge inhibited",
       [](const TraceSample& s) { return s.smcChargeInhibited ? std::optional("#9467bd") : std::nullopt; }},
      {"Charging", [](const TraceSample& s) { return s.charging ? std::optional("#1f77b4") : std::nullopt; }},
      {"LED", [](const TraceSample& s) { return std::optional(ledColour(s.led)); }},
  };
  const double rowsTop = kTop + kPlotHeight + 14.0;
  const double axisY = rowsTop + static_cast<double>(rows.size()) * (kRowHeight + kRowGap) + 4.0;
  const double legendY = axisY + 44.0;
  const double height = legendY + 40.0;

  std::string svg;
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
         "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"12\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg += "<text x=\"" + num(kLeft) + "\" y=\"22\" font-size=\"17\" font-weight=\"bold\">" + escapeXml(info.title) +
         "</text>\n";
  svg += "<text x=\"" + num(kLeft) + "\" y=\"40\" fill=\"#444444\">" + escapeXml(info.subtitle) + "</text>\n";
  if (!info.description.empty())
    svg += "<text x=\"" + num(kLeft) + "\" y=\"57\" fill=\"#444444\" font-style=\"italic\">" +
           escapeXml(info.description) + "</text>\n";

  // Calibration phases as bands behind everything else in the plot.
  std::vector<CalibrationPhase> phasesSeen;
  svg += "<g class=\"phases\">\n";
  forEachRun<CalibrationPhase>(
      samples, drawnEnd, [](const TraceSample& s) { return s.phase; },
      [&](double from, double to, const CalibrationPhase& phase) {
        const char* colour = phaseColour(phase);
        if (!colour || scale.x(to) <= scale.x(from)) return;
        appendRect(svg, scale.x(from), scale.x(to), kTop, kPlotHeight, colour, " fill-opacity=\"0.55\"");
        if (std::find(phasesSeen.begin(), phasesSeen.end(), phase) == phasesSeen.end()) phasesSeen.push_back(phase);
      });
  svg += "</g>\n";

  // Sleep spans, shaded over the whole plot.
  svg += "<g class=\"sleep\">\n";
  forEachRun<bool>(
      samples, info.end, [](const TraceSample& s) { return s.asleep; },
      [&](double from, double to, const bool& asleep) {
        if (asleep) appendRect(svg, scale.x(from), scale.x(to), kTop, kPlotHeight, kSleepColour, " fill-opacity=\"0.2\"");
      });
  svg += "</g>\n";
  // Clamshell mode, shaded; dark wakes, a tick at the top of the plot each.
  svg += "<g class=\"clamshell\">\n";
  forEachRun<bool>(
      samples, info.end, [](const TraceSample& s) { return s.clamshell; },
      [&](double from, double to, const bool& closed) {
        if (closed) appendRect(svg, scale.x(from), scale.x(to), kTop, kPlotHeight, kClamshellColour, " fill-opacity=\"0.15\"");
      });
  svg += "</g>\n<g class=\"dark-wakes\">\n";
  for (const TraceSample& s : samples)
    if (s.darkWake) appendRect(svg, scale.x(s.t) - 1.0, scale.x(s.t) + 1.0, kTop, 10.0, kDarkWakeColour, "");
  svg += "</g>\n";
  // After an early stop the rest of the plot is greyed and says why it is empty.
  if (drawnEnd < info.end && !samples.empty()) {
    appendRect(svg, scale.x(drawnEnd), kLeft + kPlotWidth, kTop, kPlotHeight, "#f2f2f2", " class=\"stopped\"");
    svg += "<text x=\"" + num(scale.x(drawnEnd) + 6.0) + "\" y=\"" + num(kTop + 16.0) +
           "\" fill=\"#555555\">hestled stopped</text>\n";
  }

  // Percent grid and labels.
  svg += "<g class=\"grid\" stroke=\"#e0e0e0\">\n";
  for (int p = 0; p <= 100; p += 20)
    svg += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(Scale::y(p)) + "\" x2=\"" + num(kLeft + kPlotWidth) +
           "\" y2=\"" + num(Scale::y(p)) + "\"/>\n";
  svg += "</g>\n<g class=\"percent-labels\" text-anchor=\"end\" fill=\"#444444\">\n";
  for (int p = 0; p <= 100; p += 20)
    svg += "<text x=\"" + num(kLeft - 6) + "\" y=\"" + num(Scale::y(p) + 4) + "\">" + std::to_string(p) + "%</text>\n";
  svg += "</g>\n";

  // The limit, dashed, while limiting is on; values beyond 0..100 are drawn at the edge.
  bool limitSeen = false;
  svg += "<g class=\"limit\" stroke=\"#d62728\" stroke-width=\"1.5\" stroke-dasharray=\"6,4\" fill=\"none\">\n";
  forEachRun<std::optional<int64_t>>(
      samples, drawnEnd, [](const TraceSample& s) { return s.limit; },
      [&](double from, double to, const std::optional<int64_t>& limit) {
        if (!limit || scale.x(to) <= scale.x(from)) return;
        limitSeen = true;
        const double y = Scale::y(static_cast<double>(*limit));
        svg += "<line x1=\"" + num(scale.x(from)) + "\" y1=\"" + num(y) + "\" x2=\"" + num(scale.x(to)) + "\" y2=\"" +
               num(y) + "\"/>\n";
      });
  svg += "</g>\n";

  appendEventMarkers(svg, info.markers, scale);

  // The battery.
  svg += "<polyline class=\"percent\" fill=\"none\" stroke=\"#1f4e9c\" stroke-width=\"2\" stroke-linejoin=\"round\" points=\"" +
         percentPoints(samples, scale) + "\"/>\n";
  svg += "<rect x=\"" + num(kLeft) + "\" y=\"" + num(kTop) + "\" width=\"" + num(kPlotWidth) + "\" height=\"" +
         num(kPlotHeight) + "\" fill=\"none\" stroke=\"#999999\"/>\n";
  if (samples.empty())
    svg += "<text x=\"" + num(kLeft + kPlotWidth / 2) + "\" y=\"" + num(kTop + kPlotHeight / 2) +
           "\" text-anchor=\"middle\" font-size=\"15\" fill=\"#555555\">No pass ran: hestled stopped during start-up "
           "(see daemon.log)</text>\n";

  // State rows.
  std::vector<uint8_t> ledsSeen;
  bool switching = false;
  int patterns = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const double y = rowsTop + static_cast<double>(r) * (kRowHeight + kRowGap);
    svg += "<g class=\"row\">\n<text x=\"" + num(kLeft - 6) + "\" y=\"" + num(y + 12) + "\" text-anchor=\"end\">" +
           rows[r].label + "</text>\n";
    appendRect(svg, kLeft, kLeft + kPlotWidth, y, kRowHeight, kRowBackground);
    std::vector<RowRun> runs;
    forEachRun<std::optional<const char*>>(
        samples, drawnEnd, rows[r].fill, [&](double from, double to, const std::optional<const char*>& fill) {
          if (scale.x(to) > scale.x(from)) runs.push_back({scale.x(from), scale.x(to), fill});
        });
    switching = appendRowRuns(svg, runs, y, patterns) || switching;
    svg += "</g>\n";
  }
  forEachRun<uint8_t>(
      samples, drawnEnd, [](const TraceSample& s) { return s.led; },
      [&](double from, double to, const uint8_t& led) {
        if (scale.x(to) > scale.x(from) && std::find(ledsSeen.begin(), ledsSeen.end(), led) == ledsSeen.end())
          ledsSeen.push_back(led);
      });

  // Time axis in hours from the start.
  const double spanHours = (info.end - info.start) / 3600.0;
  const double step = tickHours(spanHours);
  svg += "<g class=\"axis\" fill=\"#444444\" text-anchor=\"middle\">\n";
  svg += "<line x1=\"" + num(kLeft) + "\" y1=\"" + num(axisY) + "\" x2=\"" + num(kLeft + kPlotWidth) + "\" y2=\"" +
         num(axisY) + "\" stroke=\"#444444\"/>\n";
  for (double h = 0.0; h <= spanHours + 1e-9; h += step) {
    const double x = scale.x(info.start + h * 3600.0);
    svg += "<line x1=\"" + num(x) + "\" y1=\"" + num(axisY) + "\" x2=\"" + num(x) + "\" y2=\"" + num(axisY + 5) +
           "\" stroke=\"#444444\"/>\n";
    svg += "<text x=\"" + num(x) + "\" y=\"" + num(axisY + 18) + "\">" + num(h) + "</text>\n";
  }
  svg += "<text x=\"" + num(kLeft + kPlotWidth / 2) + "\" y=\"" + num(axisY + 34) + "\">hours since start</text>\n";
  svg += "</g>\n";

  // Legend: only what the chart shows.
  struct Entry {
    std::string swatch;
    std::string label;
  };
  const auto box = [](const std::string& fill) { return "<rect width=\"14\" height=\"12\" fill=\"" + fill + "\"/>"; };
  std::vector<Entry> legend;
  if (!samples.empty())
    legend.push_back({"<line x1=\"0\" y1=\"6\" x2=\"22\" y2=\"6\" stroke=\"#1f4e9c\" stroke-width=\"2\"/>", "battery %"});
  if (limitSeen)
    legend.push_back({"<line x1=\"0\" y1=\"6\" x2=\"22\" y2=\"6\" stroke=\"#d62728\" stroke-width=\"1.5\" "
                      "stroke-dasharray=\"6,4\"/>",
                      "limit"});
  constexpr const char* kPhaseWords[] = {"discharging to 15%", "charging to 100%", "holding at 100%", "draining to limit"};
  for (size_t k = 0; k < std::size(kPhaseColours); ++k)
    if (std::find(phasesSeen.begin(), phasesSeen.end(), kPhaseColours[k].phase) != phasesSeen.end())
      legend.push_back({box(kPhaseColours[k].colour), kPhaseWords[k]});
  for (const uint8_t led : {uint8_t{3}, uint8_t{4}, uint8_t{0}})
    if (std::find(ledsSeen.begin(), ledsSeen.end(), led) != ledsSeen.end())
      legend.push_back({box(ledColour(led)), "LED " + ledName(led)});
  if (std::any_of(ledsSeen.begin(), ledsSeen.end(), [](uint8_t led) { return led != 0 && led != 3 && led != 4; }))
    legend.push_back({box(ledColour(1)), "LED other value"});
  if (switching)
    legend.push_back({"<rect width=\"14\" height=\"12\" fill=\"url(#switching-0)\" stroke=\"#999999\"/>",
                      "switches every pass"});
  if (std::any_of(samples.begin(), samples.end(), [](const TraceSample& s) { return s.asleep; }))
    legend.push_back({std::string("<rect width=\"14\" height=\"12\" fill=\"") + kSleepColour + "\" fill-opacity=\"0.2\"/>",
                      "asleep"});
  if (std::any_of(samples.begin(), samples.end(), [](const TraceSample& s) { return s.darkWake; }))
    legend.push_back({std::string("<rect x=\"6\" width=\"2\" height=\"12\" fill=\"") + kDarkWakeColour + "\"/>", "dark wake"});
  if (std::any_of(samples.begin(), samples.end(), [](const TraceSample& s) { return s.clamshell; }))
    legend.push_back({std::string("<rect width=\"14\" height=\"12\" fill=\"") + kClamshellColour + "\" fill-opacity=\"0.15\"/>",
                      "clamshell mode"});
  svg += "<g class=\"legend\">\n";
  double x = kLeft;
  for (const auto& e : legend) {
    svg += "<g transform=\"translate(" + num(x) + "," + num(legendY) + ")\">" + e.swatch + "<text x=\"" +
           num(e.swatch.rfind("<line", 0) == 0 ? 27 : 19) + "\" y=\"11\">" + e.label + "</text></g>\n";
    x += 28.0 + 7.0 * static_cast<double>(e.label.size());
  }
  svg += "</g>\n</svg>\n";
  return svg;
}
