// hestle-sim: runs hestled against a simulated Mac in virtual time and prints a summary.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "harness/run_summary.h"
#include "harness/scenario.h"
#include "harness/simulation_run.h"

static int usage(const char* why) {
  if (why) std::fprintf(stderr, "hestle-sim: %s\n", why);
  std::fprintf(stderr,
               "usage: hestle-sim SCENARIO.json [--out DIR] [--echo-log]\n"
               "  Runs the daemon against the scenario's simulated Mac in virtual time.\n"
               "  DIR (default out/NAME) receives daemon.log, config.json, status.json,\n"
               "  trace.jsonl and chart.svg. --echo-log copies the log to stderr.\n"
               "  The exit status is the daemon's; 2 for a bad command line or scenario.\n");
  return 2;
}

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
      return usage(nullptr);
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
  RunResult result;
  try {
    result = runScenario(scenario, outDir, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hestle-sim: %s\n", e.what());
    return 2;
  }
  std::fputs(summarizeRun(scenario, result, outDir).c_str(), stdout);
  return result.exitStatus;
}
