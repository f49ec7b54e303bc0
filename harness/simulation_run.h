// Running a scenario: the daemon's real start-up, loop and shutdown in this
// process, against the simulated Mac in virtual time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "harness/scenario.h"
#include "harness/trace.h"
#include "sim/simulated_mac.h"

struct RunOptions {
  bool echoLog = false;  // let the daemon's copy of each log line reach stderr
  std::function<void(double)> progress;  // called after every pass with the virtual time
};

struct RunResult {
  int exitStatus = 0;                // what runDaemon returned
  std::vector<TraceSample> samples;  // one per pass (keys left out), then one after the shutdown
  double end = 0.0;                  // virtual time when the daemon returned
  double realSeconds = 0.0;          // wall-clock time the run took
  simmac::ObjectCounts objects;      // IOKit and CF accounting after the run
};

// Boots the scenario's machine (exchange record off), prepares `outDir`
// (created if missing; daemon.log, config.json, status.json, trace.jsonl and
// chart.svg of an earlier run removed), places the initial settings file,
// schedules the events and a stop request at the end of the run, and runs
// runDaemon(outDir). Each pass appends a line to trace.jsonl; chart.svg is
// written at the end. A stop served by an earlier run in this process is
// forgotten first. Afterwards the daemon's log descriptor and SMC connection
// are closed, as the process's exit would, and the wait hook and the schedule
// are cleared, so that the object counts show only what the daemon leaked.
RunResult runScenario(const Scenario& scenario, const std::string& outDir, const RunOptions& options = {});
