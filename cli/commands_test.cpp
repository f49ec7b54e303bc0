// Tests of hestle's commands run in-process against a data directory.
#include "cli/commands.h"

#include <sstream>

#include <gtest/gtest.h>

#include "store/charge_config.h"
#include "store/charge_status.h"
#include "test_support.h"
#include "util/system_clock.h"

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

Result hestle(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"--data-dir", dir.path()});
  std::ostringstream out, err;
  Result r;
  r.status = runHestle(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

ChargeConfig configIn(const TempDir& dir) {
  auto config = decodeChargeConfig(readWholeFile(dir.file("config.json")));
  EXPECT_TRUE(config.has_value());
  return config.value_or(ChargeConfig{});
}

void publishStatus(const TempDir& dir, bool running, double lastUpdate) {
  ChargeStatus status{running, false, false, std::nullopt, 77, lastUpdate};
  writeWholeFile(dir.file("status.json"), encodeChargeStatus(status).value());
}

TEST(HestleCommands, EachChangeKeepsTheOtherMembers) {
  TempDir dir;
  writeWholeFile(dir.file("config.json"), encodeChargeConfig({false, 75, true, 14, 1764876810.25}).value());
  struct Step {
    std::vector<std::string> args;
    ChargeConfig after;
    std::string out;
  };
  const std::vector<Step> steps = {
      {{"limit", "80"}, {true, 80, true, 14, 1764876810.25}, "Charge limit set to 80%.\n"},
      {{"limit", "off"}, {false, 80, true, 14, 1764876810.25},
       "Charge limit off: the battery charges to 100%.\n"
       "Note: no calibration cycle runs while the charge limit is off.\n"},
      {{"limit", "100"}, {true, 100, true, 14, 1764876810.25}, "Charge limit set to 100%.\n"},
      {{"calibrate", "off"}, {true, 100, false, 14, 1764876810.25}, "Calibration off.\n"},
      {{"calibrate", "on"}, {true, 100, true, 14, 1764876810.25}, "Calibration on: a cycle every 14 days.\n"},
      {{"calibrate", "on", "--every", "7"}, {true, 100, true, 7, 1764876810.25},
       "Calibration on: a cycle every 7 days.\n"},
      {{"calibrate", "off"}, {true, 100, false, 7, 1764876810.25}, "Calibration off.\n"},
      {{"calibrate", "now"}, {true, 100, true, 7, 0.0},
       "A calibration cycle is due now; it starts while the adapter is connected.\n"},
      {{"limit", "20"}, {true, 20, true, 7, 0.0}, "Charge limit set to 20%.\n"},
  };
  for (const auto& step : steps) {
    Result r = hestle(dir, step.args);
    EXPECT_EQ(r.status, 0) << step.args[0] << " " << r.err;
    EXPECT_EQ(configIn(dir), step.after) << step.args[0] << " " << step.args[1];
    EXPECT_EQ(r.out, step.out);
    EXPECT_EQ(fileMode(dir.file("config.json")), 0666u);
    // No status.json: nobody will act on it yet, and the user is told so.
    EXPECT_EQ(r.err, "hestle: note: hestled is not running; the setting takes effect when it starts.\n");
  }
}

TEST(HestleCommands, MissingConfigStartsFromTheDefaults) {
  TempDir dir;
  Result r = hestle(dir, {"calibrate", "on"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(configIn(dir), (ChargeConfig{false, 80, true, 30, 0.0}));
  // A cycle needs the limit on: say so.
  EXPECT_EQ(r.out,
            "Calibration on: a cycle every 30 days.\n"
            "Note: a calibration cycle runs only while the charge limit is on (hestle limit PERCENT).\n");

  TempDir fresh;
  r = hestle(fresh, {"calibrate", "now"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(configIn(fresh), (ChargeConfig{false, 80, true, 30, 0.0}));
  EXPECT_NE(r.out.find("only while the charge limit is on"), std::string::npos) << r.out;
}

TEST(HestleCommands, MalformedConfigIsReportedAndLeftAlone) {
  TempDir dir;
  const std::string bytes = "{\"chargeLimitEnabled\":true,\"chargeLimitPercent\":\"80\"}";
  writeWholeFile(dir.file("config.json"), bytes);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"limit", "80"}, {"limit", "off"}, {"calibrate", "on"}, {"calibrate", "now"}}) {
    Result r = hestle(dir, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("hestle: " + dir.file("config.json") + " is malformed", 0), 0u) << r.err;
    EXPECT_EQ(readWholeFile(dir.file("config.json")), bytes);
  }
}

TEST(HestleCommands, RefusedValuesChangeNothing) {
  TempDir dir;
  const std::string bytes = encodeChargeConfig({true, 80, true, 30, 5.0}).value();
  writeWholeFile(dir.file("config.json"), bytes);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"limit", "10"}, {"limit", "101"}, {"calibrate", "on", "--every", "0"}, {"limit", "x"}}) {
    Result r = hestle(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("hestle: " + args[0] + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nTry 'hestle " + args[0] + " --help'.\n"), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile(dir.file("config.json")), bytes);
  }
}

TEST(HestleCommands, ChangesNeedTheDataDirectory) {
  TempDir dir;
  std::vector<std::string> args = {"--data-dir", dir.file("absent"), "limit", "80"};
  std::ostringstream out, err;
  EXPECT_EQ(runHestle(args, out, err), 1);
  EXPECT_NE(err.str().find("there is no data directory"), std::string::npos) << err.str();
}

TEST(HestleCommands, SaysWhetherTheDaemonWillActOnAChange) {
  TempDir dir;
  publishStatus(dir, true, systemWallSeconds() - 3);
  Result r = hestle(dir, {"limit", "80"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Charge limit set to 80%.\nhestled applies it within about ten seconds.\n");
  EXPECT_EQ(r.err, "");

  publishStatus(dir, true, systemWallSeconds() - 120);  // stale: crashed
  r = hestle(dir, {"limit", "81"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("hestled is not running"), std::string::npos);

  publishStatus(dir, false, systemWallSeconds() - 1);  // stopped cleanly
  r = hestle(dir, {"limit", "82"});
  EXPECT_NE(r.err.find("hestled is not running"), std::string::npos);
}

TEST(HestleCommands, HelpGoesToStandardOutput) {
  TempDir dir;
  Result r = hestle(dir, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("Usage: hestle [--data-dir DIR] COMMAND", 0), 0u);
  r = hestle(dir, {"log", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: hestle log [-n N] [-f]", 0), 0u);
}

TEST(HestleCommands, LogPrintsTheLastLinesWithoutControlBytes) {
  TempDir dir;
  writeWholeFile(dir.file("daemon.log"), "[t] one\n[t] two\n[t] three \x1b[31mred\n");
  Result r = hestle(dir, {"log", "-n", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[t] two\n[t] three ?[31mred\n");

  TempDir empty;
  r = hestle(empty, {"log"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("hestle: cannot open " + empty.file("daemon.log"), 0), 0u) << r.err;
}

}  // namespace
