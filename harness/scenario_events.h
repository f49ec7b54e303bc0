// Carrying out a scenario's changes on the simulated Mac and in the data directory.
#pragma once

#include <optional>
#include <string>

#include "harness/scenario.h"

// Writes config.json in `dataDir` as a front end would (whole file, mode
// 0666), or removes it when `bytes` is none.
void placeScenarioConfig(const std::string& dataDir, const std::optional<std::string>& bytes);

// Applies one event now: battery service, adapter, percent, settings file,
// wall clock, lid, then the signal, which is raised in this process so that
// the daemon's real handler runs. A restart is left to the runner.
void applyScenarioEvent(const ScenarioEvent& event, const std::string& dataDir);

// A few words for the chart and the summary: "unplug", "plug", "40%",
// "battery gone", "config", "no config", "clock -1d", "sleep 9h", "restart",
// "SIGTERM"; joined by ", ".
std::string describeScenarioEvent(const ScenarioEvent& event);
