// hestle as a newcomer meets it: help and "--" where they are natural, what
// status says charging and a due cycle are doing, a status from a clock ahead.
#include <sstream>
#include <utime.h>

#include <gtest/gtest.h>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/status_report.h"
#include "test_support.h"
#include "util/system_clock.h"

namespace {

constexpr double kNow = 1796417610.0;

TEST(HestleFirstUse, HelpAfterHelpAndArgumentsAfterDoubleDash) {
  struct Row {
    std::vector<std::string> args;
    std::string topicOrError;  // the help topic, or the usage error
    std::optional<int64_t> limit = std::nullopt;
  };
  const std::vector<Row> rows = {
      {{"help", "--help"}, ""},
      {{"help", "limit", "-h"}, "limit"},
      {{"limit", "--", "80"}, "", 80},
      {{"--", "limit", "75%"}, "", 75},
      {{"limit", "--", "--help"},
       "limit: \"--help\" is not a percent; expected a whole number from 20 to 100, or \"off\""},
      {{"status", "--", "--json"}, "status: unexpected argument \"--json\""},
      {{"log", "--", "-n", "5"}, "log: unexpected argument \"-n\""},
      {{"calibrate", "on", "--", "--every", "7"}, "calibrate: unexpected argument \"--every\""},
  };
  for (const auto& row : rows) {
    const ParsedArguments parsed = parseArguments(row.args);
    const std::string what = row.args[0] + " " + row.args[1];
    if (!parsed.invocation) {
      EXPECT_EQ(parsed.error, row.topicOrError) << what;
      continue;
    }
    EXPECT_EQ(parsed.error, "") << what;
    EXPECT_EQ(parsed.invocation->command, row.limit ? Command::limit : Command::help) << what;
    EXPECT_EQ(parsed.invocation->helpTopic, row.topicOrError) << what;
    EXPECT_EQ(parsed.invocation->limitPercent, row.limit) << what;
  }
}

void publish(const TempDir& dir, const ChargeStatus& status, const ChargeConfig& config) {
  writeWholeFile(dir.file("status.json"), encodeChargeStatus(status).value());
  writeWholeFile(dir.file("config.json"), encodeChargeConfig(config).value());
}

std::string line(const std::string& text, const std::string& label) {
  const size_t at = text.find("\n" + label + ":");
  if (at == std::string::npos) return "";
  const size_t from = text.find_first_not_of(' ', at + label.size() + 2);
  return text.substr(from, text.find('\n', from) - from);
}

TEST(HestleFirstUse, StatusSaysWhatChargingAndTheCycleAreDoing) {
  struct Row {
    bool inhibited;
    std::optional<std::string> phase;
    int64_t percent;
    double lastCalibration;  // limit 80%, calibration every 30 days
    std::string charging;
    std::string cycle;
  };
  const double recent = kNow - 86400.0;
  const std::vector<Row> rows = {
      {true, "Discharging to 15%", 40, 0.0, "held off: calibration draining to 15%", "Discharging to 15%"},
      {false, "Charging to 100%", 60, 0.0, "allowed: calibration charging to 100%", "Charging to 100%"},
      {false, "Holding at 100%", 100, 0.0, "allowed: calibration holding at 100%", "Holding at 100%"},
      {true, "Draining to limit", 90, 0.0, "held off: calibration draining to the limit", "Draining to limit"},
      {true, std::nullopt, 90, 0.0, "held off: running on battery above the limit",
       "due; starts once the battery is back at the limit (80%)"},
      {true, std::nullopt, 80, recent, "held off at the limit", "none in progress"},
      {false, std::nullopt, 70, 0.0, "allowed", "due; starts while the adapter is connected"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    publish(dir, {true, row.inhibited, row.phase.has_value(), row.phase, row.percent, kNow - 2},
            {true, 80, true, 30, row.lastCalibration});
    const std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
    EXPECT_EQ(line(text, "Charging"), row.charging) << text;
    EXPECT_EQ(line(text, "Cycle"), row.cycle) << text;
  }
}

TEST(HestleFirstUse, AStatusFromAClockAheadIsAgedByTheFile) {
  struct Row {
    double writtenAgo;  // by this clock: the file's modification time
    std::string firstLine;
  };
  const std::vector<Row> rows = {
      {3, "hestled:      running (last update 3 s ago; its clock is 10 min ahead of this one)"},
      {100, "hestled:      NOT RUNNING (no update for 100 s; it may have crashed); the charge is not limited"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const double written = kNow - row.writtenAgo;
    publish(dir, {true, false, false, std::nullopt, 80, written + 600.0}, {});
    const utimbuf times{static_cast<time_t>(written), static_cast<time_t>(written)};
    ASSERT_EQ(utime(dir.file("status.json").c_str(), &times), 0);
    const StatusReport report = gatherStatus(dir.path(), kNow);
    EXPECT_EQ(formatStatusText(report, kNow).substr(0, row.firstLine.size()), row.firstLine);
    const std::string json = formatStatusJson(report);
    EXPECT_NE(json.find("\"statusAgeSeconds\":" + std::to_string(static_cast<int>(row.writtenAgo)) +
                        ".0,\"daemonClockAheadSeconds\":600.0"),
              std::string::npos)
        << json;
  }
}

TEST(HestleFirstUse, CalibrateNowAboveTheLimitSaysWhenTheCycleStarts) {
  TempDir dir;
  const double now = systemWallSeconds();
  publish(dir, {true, true, false, std::nullopt, 93, now}, {true, 80, false, 30, 0.0});
  std::ostringstream out, err;
  EXPECT_EQ(runHestle({"--data-dir", dir.path(), "calibrate", "now"}, out, err), 0) << err.str();
  EXPECT_EQ(out.str(),
            "A calibration cycle is due now; it starts once the battery is back at the limit (80%), "
            "where hestled connects the adapter again.\nhestled applies it within about ten seconds.\n");
}

}  // namespace
