// hestle-sim: runs hestled against a simulated Mac in virtual time and prints a summary.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "harness/run_summary.h"
#include "harness/scenario.h"
#include "harness/simulation_run.h"
#include "harness/time_string.h"
#include "util/system_clock.h"

static constexpr const char* kUsage =
    "usage: hestle-sim SCENARIO.json [--out DIR] [--echo-log]\n"
    "  Runs the daemon against the scenario's simulated Mac in virtual time.\n"
    "  DIR (default out/NAME) receives daemon.log, config.json, status.json,\n"
    "  trace.jsonl and chart.svg. --echo-log copies the log to stderr.\n"
    "  On a terminal, the simulated time reached is shown while it runs.\n"
    "  The exit status is the daemon's; 2 for a bad command line or scenario.\n";

static int usage(const char* why) {
  std::fprintf(stderr, "hestle-sim: %s\n%s", why, kUsage);
  return 2;
}

// "simulated 1d4h of 7d (17%)" on one terminal line, rewritten at most four
// times a second, on a copy of standard error taken before the run silences
// it; wiped at the end.
class ProgressLine {
 public:
  explicit ProgressLine(double total) : total_(total), fd_(dup(STDERR_FILENO)) {}
  ~ProgressLine() {
    if (shown_) show("\r\033[K");
    if (fd_ >= 0) close(fd_);
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void update(double elapsed) {
    const double now = monotonicSeconds();
    if (shown_ && now - last_ < 0.25) return;
    last_ = now;
    shown_ = true;
    const double reached = std::min(elapsed, total_);
    const double share = total_ > 0 ? 100.0 * reached / total_ : 100.0;
    show("\rhestle-sim: simulated " + formatDuration(std::floor(reached / 60.0) * 60.0) + " of " + formatDuration(total_) +
         " (" + std::to_string(static_cast<int>(share)) + "%)\033[K");
  }

 private:
  void show(const std::string& text) const {
    if (fd_ >= 0 && write(fd_, text.data(), text.size()) < 0) return;
  }
  double total_;
  int fd_;
  bool shown_ = false;
  double last_ = 0.0;
};

int main(int argc, char** argv) {
  std::string scenarioPath, outDir;
  RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--out") {
      if (++i >= argc) return usage("--out needs a directory");
      outDir = argv[i];
    } else if (arg == "--echo-log") {
      options.echoLog = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    } else if (!arg.empty() && arg[0] == '-') {
      return usage(("unknown option " + std::string(arg)).c_str());
    } else if (scenarioPath.empty()) {
      scenarioPath = arg;
    } else {
      return usage("only one scenario at a time");
    }
  }
  if (scenarioPath.empty()) return usage("no scenario given");
  Scenario scenario;
  try {
    scenario = loadScenario(scenarioPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hestle-sim: %s\n", e.what());
    return 2;
  }
  if (outDir.empty()) outDir = "out/" + scenario.name;
  std::optional<ProgressLine> progress;
  if (!options.echoLog && isatty(STDERR_FILENO)) {
    progress.emplace(scenario.hours * 3600.0);
    options.progress = [&](double t) { progress->update(t - scenario.start); };
  }
  RunResult result;
  try {
    result = runScenario(scenario, outDir, options);
    progress.reset();
  } catch (const std::exception& e) {
    progress.reset();
    std::fprintf(stderr, "hestle-sim: %s\n", e.what());
    return 2;
  }
  std::fputs(summarizeRun(scenario, result, outDir).c_str(), stdout);
  return result.exitStatus;
}
