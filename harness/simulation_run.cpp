// The in-process run of a scenario: machine, data directory, events, trace, chart.
#include "harness/simulation_run.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "harness/chart_svg.h"
#include "harness/scenario_events.h"
#include "harness/time_string.h"
#include "store/charge_config.h"
#include "util/system_clock.h"

namespace {

// Sends fd 2 to /dev/null for the lifetime of the object.
class StderrSilencer {
 public:
  explicit StderrSilencer(bool active) {
    if (!active) return;
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~StderrSilencer() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  StderrSilencer(const StderrSilencer&) = delete;
  StderrSilencer& operator=(const StderrSilencer&) = delete;

 private:
  int saved_ = -1;
};

void prepareOutDir(const std::string& outDir) {
  std::filesystem::create_directories(outDir);
  for (const char* name : {"daemon.log", "daemon.log.1", "config.json", "status.json", "trace.jsonl", "chart.svg"})
    std::filesystem::remove(std::filesystem::path(outDir) / name);
}

// What the process's exit would do: the log and the SMC connection, which
// the daemon keeps for its whole life, are let go.
void releaseProcessResources() {
  for (int* fd : {&logFile, &previousLogFile}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (smcConn != 0) {
    IOServiceClose(smcConn);
    smcConn = 0;
  }
}

std::string chartSubtitle(const Scenario& scenario, const RunResult& result) {
  const double span = scenario.hours * 3600.0;
  const double ran = result.end - scenario.start;
  std::string text = "firmware " + scenario.firmwareName + " · " +
                     (ran < span ? formatDuration(ran) + " of " : std::string()) + formatDuration(span) +
                     " simulated · " + std::to_string(result.samples.empty() ? 0 : result.samples.back().pass) +
                     " passes · exit status " + std::to_string(result.exitStatus);
  return text;
}

}  // namespace

RunResult runScenario(const Scenario& scenario, const std::string& outDir, const RunOptions& options) {
  const double realStart = monotonicSeconds();
  prepareOutDir(outDir);
  simmac::boot(scenario.machine);
  simmac::setRecordSmcExchanges(false);
  simmac::clearSchedule();
  if (scenario.config) placeScenarioConfig(outDir, scenario.config);

  const double end = scenario.start + scenario.hours * 3600.0;
  bool batteryPresent = scenario.machine.battery.has_value();
  ChartInfo chart;
  chart.title = scenario.name;
  chart.description = scenario.description;
  chart.start = scenario.start;
  chart.end = end;

  bool restartPending = false;
  // Events of the same moment run in file order inside one scheduled action.
  for (size_t i = 0; i < scenario.events.size();) {
    size_t j = i;
    while (j < scenario.events.size() && scenario.events[j].at == scenario.events[i].at) ++j;
    std::vector<ScenarioEvent> group(scenario.events.begin() + static_cast<std::ptrdiff_t>(i),
                                     scenario.events.begin() + static_cast<std::ptrdiff_t>(j));
    for (const auto& e : group) chart.markers.push_back({scenario.start + e.at, describeScenarioEvent(e)});
    simmac::schedule(scenario.start + scenario.events[i].at, [group, &outDir, &batteryPresent, &restartPending] {
      for (const auto& e : group) {
        if (e.batteryService) batteryPresent = *e.batteryService;
        applyScenarioEvent(e, outDir);
        if (e.restart) {
          restartPending = true;
          requestStop();
        }
      }
    });
    i = j;
  }
  simmac::schedule(end, [] {
    simmac::openLid();
    requestStop();
  });

  RunResult result;
  std::ofstream trace(outDir + "/trace.jsonl", std::ios::binary | std::ios::trunc);
  int64_t passOffset = 0;    // passes of the daemons before a restart
  int64_t lastSampled = -1;  // loopCount of the last pass sampled
  const auto record = [&](bool asleep) {
    TraceSample sample = takeTraceSample(true);
    sample.batteryPresent = batteryPresent;
    sample.asleep = asleep;
    sample.pass += passOffset;
    trace << traceLine(sample) << '\n';
    sample.keys.clear();
    sample.keys.shrink_to_fit();
    result.samples.push_back(std::move(sample));
  };
  // The daemon may wait several times between two passes (after serving a
  // power message): one sample per pass.
  simmac::setWaitHook([&](double t) {
    if (loopCount != lastSampled) {
      lastSampled = loopCount;
      record(false);
    }
    // Should the scheduled stop ever be missed, the run still ends.
    if (t >= end && !stopRequested()) requestStop();
    if (options.progress) options.progress(t);
  });
  simmac::setPowerHook([&](bool asleep) {
    if (asleep) record(true);
  });

  // Each daemon starts a fresh daemon.log: the run's log is theirs in turn.
  std::string earlierLogs;
  const auto logText = [&] {
    std::ostringstream text;
    text << std::ifstream(outDir + "/daemon.log", std::ios::binary).rdbuf();
    return text.str();
  };
  {
    StderrSilencer silencer(!options.echoLog);
    for (;;) {
      clearStopRequest();  // a stop served in an earlier run of this process
      restartPending = false;
      result.exitStatus = runDaemon(outDir);
      if (!restartPending || result.exitStatus != 0) break;
      earlierLogs += logText();
      passOffset += loopCount;
      lastSampled = -1;
      releaseProcessResources();
    }
  }
  simmac::setWaitHook(nullptr);
  simmac::setPowerHook(nullptr);
  simmac::clearSchedule();
  trace.close();
  releaseProcessResources();
  if (!earlierLogs.empty()) {
    earlierLogs += logText();
    std::ofstream(outDir + "/daemon.log", std::ios::binary | std::ios::trunc) << earlierLogs;
  }
  result.end = simmac::now();
  result.sleepSpans = simmac::sleepSpans();
  result.faults = simmac::faults();
  if (!result.samples.empty()) {
    // The state the shutdown left behind, drawn up to the end of the chart.
    TraceSample last = takeTraceSample(false);
    last.batteryPresent = batteryPresent;
    last.pass += passOffset;
    result.samples.push_back(std::move(last));
  }
  result.objects = simmac::objectCounts();
  result.realSeconds = monotonicSeconds() - realStart;

  chart.subtitle = chartSubtitle(scenario, result);
  if (result.end < end) chart.stoppedAt = result.end;
  std::ofstream(outDir + "/chart.svg", std::ios::binary | std::ios::trunc) << renderChart(result.samples, chart);
  return result;
}
