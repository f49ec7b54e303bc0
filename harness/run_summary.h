// The few lines hestle-sim prints after a run.
#pragma once

#include <string>

#include "harness/scenario.h"
#include "harness/simulation_run.h"

// What happened, in a dozen lines: run length and speed, exit status, the
// battery's course, holding at the limit, calibration, actuator and LED
// times, counts of log lines by kind, and the files in `outDir`.
std::string summarizeRun(const Scenario& scenario, const RunResult& result, const std::string& outDir);
