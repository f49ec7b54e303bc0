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
  std::vector<TraceSample> samples;  // one per pass (keys left out) and one as the machine falls
                                     // asleep, then one after the shutdown
  double end = 0.0;                  // virtual time when the daemon returned
  double realSeconds = 0.0;          // wall-clock time the run took
  simmac::ObjectCounts objects;      // IOKit and CF accounting after the run
  std::vector<simmac::SleepSpan> sleepSpans;  // the machine's, in order
  std::vector<std::string> faults;   // what the simulated Mac held against the daemon
};

// Boots the scenario's machine (exchange record off), prepares `outDir`
// (created if missing; daemon.log, config.json, status.json, trace.jsonl and
// chart.svg of an earlier run removed), places the initial settings file,
// schedules the events and, at the end of the run, an open lid and a stop
// request, and runs runDaemon(outDir) (again after each "restart" event, once
// the clean shutdown has run, with the log and SMC connection let go as at a
// process's exit). Each pass appends a line to trace.jsonl, as does each fall
// into sleep ("asleep": true); pass numbers count on across restarts.
// chart.svg is written at the end. A stop served by an earlier run in this process is
// forgotten first. Afterwards the daemon's log descriptor and SMC connection
// are closed, as the process's exit would, and the wait hook and the schedule
// are cleared, so that the object counts show only what the daemon leaked.
RunResult runScenario(const Scenario& scenario, const std::string& outDir, const RunOptions& options = {});
