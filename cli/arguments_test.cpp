// Tests of hestle's command line: accepted forms, usage errors and refusals.
#include "cli/arguments.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

Invocation parseOk(const Args& args) {
  ParsedArguments parsed = parseArguments(args);
  EXPECT_TRUE(parsed.invocation.has_value()) << parsed.error;
  EXPECT_EQ(parsed.error, "");
  return parsed.invocation.value_or(Invocation{});
}

TEST(HestleArguments, AcceptsEveryCommandForm) {
  Invocation inv = parseOk({"status"});
  EXPECT_EQ(inv.command, Command::status);
  EXPECT_FALSE(inv.json);
  EXPECT_EQ(inv.dataDir, "/Library/Application Support/Hestle");

  inv = parseOk({"status", "--json"});
  EXPECT_TRUE(inv.json);

  inv = parseOk({"limit", "80"});
  EXPECT_EQ(inv.command, Command::limit);
  EXPECT_EQ(inv.limitPercent, 80);
  EXPECT_EQ(parseOk({"limit", "20"}).limitPercent, 20);
  EXPECT_EQ(parseOk({"limit", "100%"}).limitPercent, 100);
  EXPECT_EQ(parseOk({"limit", "off"}).limitPercent, std::nullopt);

  inv = parseOk({"calibrate", "on"});
  EXPECT_EQ(inv.command, Command::calibrate);
  EXPECT_EQ(inv.calibrateAction, CalibrateAction::on);
  EXPECT_EQ(inv.intervalDays, std::nullopt);
  inv = parseOk({"calibrate", "on", "--every", "14"});
  EXPECT_EQ(inv.intervalDays, 14);
  EXPECT_EQ(parseOk({"calibrate", "on", "--every", "1"}).intervalDays, 1);
  EXPECT_EQ(parseOk({"calibrate", "off"}).calibrateAction, CalibrateAction::off);
  EXPECT_EQ(parseOk({"calibrate", "now"}).calibrateAction, CalibrateAction::now);

  inv = parseOk({"log"});
  EXPECT_EQ(inv.command, Command::log);
  EXPECT_EQ(inv.logLines, 20);
  EXPECT_FALSE(inv.follow);
  inv = parseOk({"log", "-n", "5", "-f"});
  EXPECT_EQ(inv.logLines, 5);
  EXPECT_TRUE(inv.follow);
  inv = parseOk({"log", "--follow", "--lines", "0"});
  EXPECT_EQ(inv.logLines, 0);
  EXPECT_TRUE(inv.follow);
}

TEST(HestleArguments, DataDirAnywhere) {
  EXPECT_EQ(parseOk({"--data-dir", "/tmp/x", "status"}).dataDir, "/tmp/x");
  EXPECT_EQ(parseOk({"limit", "--data-dir", "/tmp/y", "80"}).dataDir, "/tmp/y");
  EXPECT_EQ(parseOk({"status", "--data-dir=/tmp/z"}).dataDir, "/tmp/z");
}

TEST(HestleArguments, HelpForEveryCommand) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"--help"}, ""},
      {{"-h"}, ""},
      {{"help"}, ""},
      {{"help", "limit"}, "limit"},
      {{"status", "--help"}, "status"},
      {{"limit", "--help"}, "limit"},
      {{"limit", "5", "--help"}, "limit"},  // help wins over a refused value
      {{"calibrate", "--help"}, "calibrate"},
      {{"calibrate", "on", "-h"}, "calibrate"},
      {{"log", "--help"}, "log"},
      {{"--data-dir", "/x", "log", "--help"}, "log"},
  };
  for (const auto& [args, topic] : cases) {
    Invocation inv = parseOk(args);
    EXPECT_EQ(inv.command, Command::help) << args[0];
    EXPECT_EQ(inv.helpTopic, topic) << args[0];
    EXPECT_NE(helpText(topic).find("Usage: hestle"), std::string::npos) << topic;
  }
  // Each command's help names the command itself.
  for (const char* topic : {"status", "limit", "calibrate", "log"}) {
    EXPECT_NE(helpText(topic).find(std::string("hestle ") + topic), std::string::npos) << topic;
  }
  EXPECT_EQ(helpText("frobnicate"), "");
}

TEST(HestleArguments, RefusesUnusableCommandLines) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command \"frobnicate\""},
      {{"--data-dir"}, "--data-dir needs a directory"},
      {{"--data-dir=", "status"}, "--data-dir needs a directory"},
      {{"help", "frobnicate"}, "help: no command \"frobnicate\""},
      {{"status", "--yaml"}, "status: unknown option \"--yaml\""},
      {{"status", "now"}, "status: unexpected argument \"now\""},
      {{"limit"}, "limit: expected a percent from 20 to 100, or \"off\""},
      {{"limit", "80", "90"}, "limit: unexpected argument \"90\""},
      {{"limit", "eighty"}, "limit: \"eighty\" is not a percent; expected a whole number from 20 to 100, or \"off\""},
      {{"limit", "80.5"}, "limit: \"80.5\" is not a percent; expected a whole number from 20 to 100, or \"off\""},
      {{"limit", ""}, "limit: \"\" is not a percent; expected a whole number from 20 to 100, or \"off\""},
      {{"limit", "99999999999999999999"},
       "limit: \"99999999999999999999\" is not a percent; expected a whole number from 20 to 100, or \"off\""},
      {{"calibrate"}, "calibrate: expected \"on\", \"off\" or \"now\""},
      {{"calibrate", "maybe"}, "calibrate: \"maybe\" is not \"on\", \"off\" or \"now\""},
      {{"calibrate", "on", "--every"}, "calibrate: --every needs a number of days"},
      {{"calibrate", "on", "--every", "1.5"}, "calibrate: \"1.5\" is not a whole number of days"},
      {{"calibrate", "off", "--every", "7"}, "calibrate: --every goes with \"calibrate on\""},
      {{"calibrate", "now", "--soon"}, "calibrate: unknown option \"--soon\""},
      {{"log", "-n"}, "log: -n needs a number of lines"},
      {{"log", "-n", "-3"}, "log: \"-3\" is not a number of lines from 0 to 1000000"},
      {{"log", "-n", "many"}, "log: \"many\" is not a number of lines from 0 to 1000000"},
      {{"log", "-x"}, "log: unknown option \"-x\""},
      {{"log", "daemon.log"}, "log: unexpected argument \"daemon.log\""},
  };
  for (const auto& [args, error] : cases) {
    ParsedArguments parsed = parseArguments(args);
    EXPECT_FALSE(parsed.invocation.has_value()) << error;
    EXPECT_EQ(parsed.error, error);
    // A command's own mistakes point to that command's help.
    std::string command = error.substr(0, error.find(':'));
    EXPECT_EQ(parsed.helpTopic, helpText(command).empty() ? "" : command) << error;
  }
}

TEST(HestleArguments, RefusesValuesThatWouldHurtTheMac) {
  struct Case {
    Args args;
    std::string errorStart;
  };
  const std::vector<Case> cases = {
      {{"limit", "19"}, "limit: refusing a charge limit of 19%: below 20%"},
      {{"limit", "0"}, "limit: refusing a charge limit of 0%: below 20%"},
      {{"limit", "-80"}, "limit: refusing a charge limit of -80%: below 20%"},
      {{"limit", "101"}, "limit: refusing a charge limit of 101%: a battery cannot charge beyond 100%"},
      {{"calibrate", "on", "--every", "0"}, "calibrate: refusing a calibration interval of 0 days"},
      {{"calibrate", "on", "--every", "-7"}, "calibrate: refusing a calibration interval of -7 days"},
      {{"calibrate", "on", "--every", "3651"}, "calibrate: refusing a calibration interval of 3651 days"},
  };
  for (const auto& c : cases) {
    ParsedArguments parsed = parseArguments(c.args);
    EXPECT_FALSE(parsed.invocation.has_value()) << c.errorStart;
    EXPECT_EQ(parsed.error.rfind(c.errorStart, 0), 0u) << parsed.error;
  }
}

}  // namespace
