// Capacity loss over a history of charge and temperature, by two published
// ageing models, time-stepped with the virtual-time update.
#include "battery/wear_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

constexpr double kCellAmpHours = 2.05;  // the Schmalstieg test cell
constexpr double kZeroCelsius = 273.15;
constexpr double kLowestVolts = 3.149;  // where the calendar rate reaches zero
constexpr double kSecondsPerDay = 86400.0;

struct VoltagePoint {
  double percent;
  double volts;
};
constexpr VoltagePoint kOpenCircuit[] = {{0, 3.300},  {10, 3.550}, {20, 3.610}, {30, 3.640},
                                         {40, 3.665}, {50, 3.697}, {60, 3.780}, {70, 3.8629},
                                         {80, 3.9649}, {90, 4.0701}, {100, 4.162}};

// A loss y = k x^p that grows by dx under the rate k: it goes on from the x at
// which k would have reached y.
double grow(double loss, double rate, double exponent, double dx) {
  if (rate <= 0.0 || dx <= 0.0) return loss;
  const double x = std::pow(loss / rate, 1.0 / exponent);
  return rate * std::pow(x + dx, exponent);
}

double kelvin(double celsius) { return celsius + kZeroCelsius; }

// Root mean square of the open-circuit voltage between two charges.
double rmsVolts(double from, double to) {
  constexpr int kPoints = 16;
  double sum = 0.0;
  for (int i = 0; i < kPoints; ++i) {
    const double v = openCircuitVolts(from + (to - from) * (i + 0.5) / kPoints);
    sum += v * v;
  }
  return std::sqrt(sum / kPoints);
}

struct Ageing {
  WearModel model;
  WearEstimate estimate;
  // The half-cycle under way: its direction (+1, -1, 0 none) and start.
  int direction = 0;
  double startPercent = 0.0, startDays = 0.0, startCelsius = 0.0;

  void ageCalendar(double percent, double celsius, double days) {
    const double t = kelvin(celsius);
    double& y = estimate.calendarLoss;
    if (model == WearModel::schmalstieg2014) {
      y = grow(y, schmalstiegCalendarRate(openCircuitVolts(percent), celsius), 0.75, days);
    } else {
      y = grow(y, 75.4 * std::exp(-3340.0 / t) * std::exp(353.0 * percent / 100.0 / t), 0.512, days);
    }
  }

  void closeHalfCycle(double endPercent, double endDays, double endCelsius) {
    const double depth = std::fabs(endPercent - startPercent) / 100.0;
    direction = 0;
    if (depth <= 0.0) return;
    estimate.fullCycles += depth / 2.0;
    double& y = estimate.cycleLoss;
    if (model == WearModel::schmalstieg2014) {
      y = grow(y, schmalstiegCycleRate(rmsVolts(startPercent, endPercent), depth), 0.5, depth * kCellAmpHours);
    } else {
      const double t = kelvin((startCelsius + endCelsius) / 2.0);
      const double hours = (endDays - startDays) * 24.0;
      const double cRate = hours > 0.0 ? depth / hours : 0.0;
      const double rate = (1.86e-6 + 4.74e-11 * cRate + 1.77e-4 * depth) * (std::exp(3.34e-11 / t) + std::exp(-2.81e-9 / t));
      y = grow(y, rate, 0.699, depth / 2.0);
    }
  }

  // The charge moved from `from` to `toPercent` over an interval that starts
  // `fromDays` into the history.
  void move(const WearSample& from, double toPercent, double fromDays) {
    if (toPercent == from.percent) return;
    const int now = toPercent > from.percent ? 1 : -1;
    if (direction == now) return;
    if (direction != 0) closeHalfCycle(from.percent, fromDays, from.celsius);
    direction = now;
    startPercent = from.percent;
    startDays = fromDays;
    startCelsius = from.celsius;
  }
};

}  // namespace

std::string_view wearModelName(WearModel model) {
  return model == WearModel::schmalstieg2014 ? "Schmalstieg 2014" : "NREL NCA";
}

double openCircuitVolts(double percent) {
  const double p = std::clamp(percent, 0.0, 100.0);
  const auto* upper = std::find_if(std::begin(kOpenCircuit) + 1, std::end(kOpenCircuit) - 1,
                                   [&](const VoltagePoint& point) { return point.percent >= p; });
  const VoltagePoint& a = upper[-1];
  const VoltagePoint& b = *upper;
  return a.volts + (b.volts - a.volts) * (p - a.percent) / (b.percent - a.percent);
}

double schmalstiegCalendarRate(double volts, double celsius) {
  return (7.543 * std::max(volts, kLowestVolts) - 23.75) * 1e6 * std::exp(-6976.0 / kelvin(celsius));
}

double schmalstiegCycleRate(double meanVolts, double depth) {
  return 7.348e-3 * (meanVolts - 3.667) * (meanVolts - 3.667) + 7.6e-4 + 4.081e-3 * depth;
}

WearEstimate estimateWear(WearModel model, const std::vector<WearSample>& history, double days) {
  Ageing ageing{model, {}};
  if (history.size() < 2 || history.back().seconds - history.front().seconds < 1.0) return {};
  double elapsed = 0.0;  // days
  double lastPercent = history.front().percent, lastCelsius = history.front().celsius;
  while (elapsed < days) {
    for (size_t i = 1; i < history.size() && elapsed < days; ++i) {
      const WearSample& a = history[i - 1];
      const WearSample& b = history[i];
      const double step = std::max(0.0, b.seconds - a.seconds) / kSecondsPerDay;
      const double share = step > days - elapsed ? (days - elapsed) / step : 1.0;
      const double percent = a.percent + (b.percent - a.percent) * share;
      const double celsius = a.celsius + (b.celsius - a.celsius) * share;
      ageing.ageCalendar((a.percent + percent) / 2.0, (a.celsius + celsius) / 2.0, step * share);
      ageing.move(a, percent, elapsed);
      elapsed += step * share;
      lastPercent = percent;
      lastCelsius = celsius;
    }
    // Back to the start without moving charge: the half-cycle under way ends.
    if (ageing.direction != 0) ageing.closeHalfCycle(lastPercent, elapsed, lastCelsius);
  }
  return ageing.estimate;
}

std::vector<WearSample> withoutLimit(const std::vector<WearSample>& history) {
  std::vector<WearSample> out;
  out.reserve(history.size());
  double unpluggedAt = history.empty() ? 100.0 : history.front().percent;
  for (const WearSample& s : history) {
    WearSample full = s;
    if (s.onCharger) unpluggedAt = s.percent;
    full.percent = s.onCharger ? 100.0 : std::clamp(100.0 - (unpluggedAt - s.percent), 0.0, 100.0);
    out.push_back(full);
  }
  return out;
}

std::string lossRange(const std::vector<WearSample>& history, double days) {
  std::string parts[2];
  double losses[2];
  for (int i = 0; i < 2; ++i) {
    losses[i] = 100.0 * estimateWear(kWearModels[i], history, days).loss();
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.1f%%", losses[i]);
    parts[i] = std::string(figure) + " (" + std::string(wearModelName(kWearModels[i])) + ")";
  }
  return losses[0] <= losses[1] ? parts[0] + " to " + parts[1] : parts[1] + " to " + parts[0];
}
