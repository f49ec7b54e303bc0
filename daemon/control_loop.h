// The ten-second control loop and its charge-limit regulation.
#pragma once

#include <cstdint>

#include "battery/battery_reading.h"
#include "store/charge_config.h"

// One pass: settings, battery, state line, calibration, regulation, status.
// Adds 1 to loopCount. Does not sleep.
void runControlLoopPass();

// L - 2 without overflow: a limit within two of the smallest integer gives the
// smallest integer, below which no percent can lie.
int64_t lowerBandEdge(int64_t limit);

// The regulation table, for a pass in which no calibration is active.
void applyRegulation(const ChargeConfig& config, const BatteryReading& battery);

// Passes separated by ten-second waits until a stop is requested; returns
// then, without running the clean shutdown.
void runControlLoop();
