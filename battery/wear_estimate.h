// How much capacity a history of charge and temperature costs the battery, by
// two published ageing models, so that every figure is a range between them.
//
// Schmalstieg et al. 2014 (J. Power Sources 257:325-334, NMC/graphite):
//   loss = alpha(V, T) * t^0.75 + beta(Vmean, DoD) * sqrt(Q)
//   alpha = (7.543 V - 23.75) 1e6 exp(-6976 / T)   per day^0.75
//   beta  = 7.348e-3 (Vmean - 3.667)^2 + 7.6e-4 + 4.081e-3 DoD   per sqrt(Ah)
// with t in days, Q the charge moved in and out of the 2.05 Ah test cell, V
// the cell's open-circuit voltage at each moment and Vmean that of each
// half-cycle. Fitted at 35-50 degrees C and up to 4.16 V.
//
// NREL's refit for a Panasonic NCA cell (calendar data of Keil et al. 2016,
// cycling of Preger et al. 2020):
//   loss = 75.4 exp(-3340 / T) exp(353 SoC / T) t^0.512
//        + (1.86e-6 + 4.74e-11 C + 1.77e-4 DoD) (exp(3.34e-11/T) + exp(-2.81e-9/T)) EFC^0.699
// with SoC a fraction, C the half-cycle's rate and EFC equivalent full cycles.
//
// Both are fitted at or below 4.2 V per cell while a Mac's cells charge
// higher, and they disagree on whether shallow cycling near 80 % wears more
// or less than sitting at 100 %: read the pair as a range, not as a figure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class WearModel { schmalstieg2014, nrelNca };
inline constexpr WearModel kWearModels[] = {WearModel::schmalstieg2014, WearModel::nrelNca};

// "Schmalstieg 2014", "NREL NCA".
std::string_view wearModelName(WearModel model);

// One moment of the battery's history.
struct WearSample {
  double seconds = 0.0;    // on any clock that does not jump
  double percent = 0.0;    // state of charge
  double celsius = 30.0;   // cell temperature
  bool onCharger = false;  // external power connected (the adapter may be switched off)
};

struct WearEstimate {
  double calendarLoss = 0.0;  // fractions of the capacity
  double cycleLoss = 0.0;
  double fullCycles = 0.0;    // equivalent full cycles: the charge moved in and out over twice the capacity
  double loss() const { return calendarLoss + cycleLoss; }
};

// Open-circuit voltage of the NMC test cell at `percent`, interpolated in a
// table every 10 %: 3.697 V at 50 %, 3.9649 V at 80 % and 4.162 V at 100 % as
// digitised from the paper's curve, the other points shaped after it so that
// a window from 77.5 to 81.5 % averages 3.9599 V as there.
double openCircuitVolts(double percent);

// The Schmalstieg calendar and cycle rates (voltages below 3.149 V count as
// 3.149 V, where the calendar rate is zero).
double schmalstiegCalendarRate(double volts, double celsius);
double schmalstiegCycleRate(double meanVolts, double depth);

// The loss over `days` of living the history's pattern again and again, time
// stepped: every interval between samples ages the calendar term at the
// interval's mean charge and temperature, every half-cycle (a run of rising
// or of falling charge) the cycle term at its depth and mean voltage, each
// continuing from the loss reached so far as if that loss had been reached
// under the present stress (virtual time). The return from the history's end
// to its start moves no charge. Samples go in time order; a history shorter
// than two samples or one second ages nothing.
WearEstimate estimateWear(WearModel model, const std::vector<WearSample>& history, double days);

// The same pattern with no limit: on the charger the battery sits at 100 %;
// off it, it loses what the history lost since it was unplugged, from 100 %.
std::vector<WearSample> withoutLimit(const std::vector<WearSample>& history);

// The loss of `days` of the history's pattern under each model, the smaller
// first, in percent with one decimal: "6.6% (NREL NCA) to 12.5% (Schmalstieg 2014)".
std::string lossRange(const std::vector<WearSample>& history, double days);
