// Tests of `hestle status`: liveness of the daemon, text and JSON reports.
#include "cli/status_report.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

constexpr double kNow = 1796417610.0;

void publish(const TempDir& dir, const ChargeStatus& status) {
  writeWholeFile(dir.file("status.json"), encodeChargeStatus(status).value());
}

void configure(const TempDir& dir, const ChargeConfig& config) {
  writeWholeFile(dir.file("config.json"), encodeChargeConfig(config).value());
}

ChargeStatus running(double age, bool inhibited = false) {
  return ChargeStatus{true, inhibited, false, std::nullopt, 80, kNow - age};
}

TEST(HestleStatus, JudgesTheDaemonByItsLastWord) {
  struct Case {
    ChargeStatus status;
    DaemonState expected;
  };
  const std::vector<Case> cases = {
      {running(0), DaemonState::running},
      {running(10.5), DaemonState::running},
      {running(30), DaemonState::running},
      {running(30.01), DaemonState::stale},
      {running(86400), DaemonState::stale},
      {running(-3600), DaemonState::running},  // another clock: no sign of death
      {ChargeStatus{false, false, false, std::nullopt, 0, kNow - 1}, DaemonState::stopped},
      {ChargeStatus{false, false, false, std::nullopt, 0, kNow - 1e6}, DaemonState::stopped},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judgeDaemon(c.status, kNow), c.expected) << kNow - c.status.lastUpdate;
  }
}

TEST(HestleStatus, GathersWhatTheFilesSay) {
  TempDir dir;
  StatusReport report = gatherStatus(dir.path(), kNow);
  EXPECT_EQ(report.daemon, DaemonState::missing);
  EXPECT_EQ(report.settingsSource, SettingsSource::defaults);
  EXPECT_EQ(report.settings, ChargeConfig{});

  writeWholeFile(dir.file("status.json"), "{\"daemonRunning\":tr");  // caught mid-write
  EXPECT_EQ(gatherStatus(dir.path(), kNow).daemon, DaemonState::unreadable);

  publish(dir, running(4, true));
  configure(dir, {true, 75, false, 30, 0.0});
  report = gatherStatus(dir.path(), kNow);
  EXPECT_EQ(report.daemon, DaemonState::running);
  ASSERT_TRUE(report.status.has_value());
  EXPECT_TRUE(report.status->chargingInhibited);
  EXPECT_DOUBLE_EQ(report.ageSeconds, 4.0);
  EXPECT_EQ(report.settingsSource, SettingsSource::file);
  EXPECT_EQ(report.settings, (ChargeConfig{true, 75, false, 30, 0.0}));

  writeWholeFile(dir.file("config.json"), "{}");
  report = gatherStatus(dir.path(), kNow);
  EXPECT_EQ(report.settingsSource, SettingsSource::unusable);
  EXPECT_EQ(report.settings, ChargeConfig{});  // what the daemon falls back to
  EXPECT_NE(report.settingsError.find("is malformed"), std::string::npos);
}

TEST(HestleStatus, TextForARunningDaemon) {
  TempDir dir;
  publish(dir, ChargeStatus{true, true, false, std::nullopt, 80, kNow - 4});
  configure(dir, {true, 80, true, 30, 0.0});
  EXPECT_EQ(formatStatusText(gatherStatus(dir.path(), kNow), kNow),
            "hestled:      running (last update 4 s ago)\n"
            "Battery:      80%\n"
            "Charging:     held off at the limit\n"
            "Cycle:        due; starts while the adapter is connected\n"
            "Charge limit: 80%\n"
            "Calibration:  every 30 days, last never\n");

  publish(dir, ChargeStatus{true, false, true, "Discharging to 15%", 64, kNow - 1});
  configure(dir, {false, 80, true, 1, 0.0});
  EXPECT_EQ(formatStatusText(gatherStatus(dir.path(), kNow), kNow),
            "hestled:      running (last update 1 s ago)\n"
            "Battery:      64%\n"
            "Charging:     held off: calibration draining to 15%\n"
            "Cycle:        Discharging to 15%\n"
            "Charge limit: off (charges to 100%)\n"
            "Calibration:  every 1 day, last never; no cycle runs while the charge limit is off\n");
}

TEST(HestleStatus, TextSaysPlainlyWhenTheDaemonIsNotRunning) {
  struct Case {
    std::optional<std::string> statusBytes;
    std::string firstLine;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "hestled:      NOT RUNNING (it has never published its status; is it installed?)\n"},
      {encodeChargeStatus({false, false, false, std::nullopt, 0, kNow - 300}).value(),
       "hestled:      NOT RUNNING (stopped 5 min ago); the charge is not limited\n"},
      {encodeChargeStatus(running(95)).value(),
       "hestled:      NOT RUNNING (no update for 95 s; it may have crashed); the charge is not limited\n"},
      {encodeChargeStatus(running(3 * 86400 + 5)).value(),
       "hestled:      NOT RUNNING (no update for 3 days; it may have crashed); the charge is not limited\n"},
      {"garbage", "hestled:      UNKNOWN (status.json cannot be read or is malformed)\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.statusBytes) writeWholeFile(dir.file("status.json"), *c.statusBytes);
    std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
    EXPECT_EQ(text.rfind(c.firstLine, 0), 0u) << text;
    EXPECT_NE(text.find("\nBattery:      unknown (hestled is not running)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Charging:"), std::string::npos) << text;  // no stale claims
    EXPECT_EQ(text.find("Warning:"), std::string::npos) << text;
  }
}

TEST(HestleStatus, WarnsWhenADeadDaemonHeldChargingOff) {
  TempDir dir;
  publish(dir, running(600, true));
  std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
  EXPECT_NE(text.find("Warning:      hestled stopped without its clean shutdown while holding charging off; "
                      "charging may still be inhibited\n"),
            std::string::npos)
      << text;
}

TEST(HestleStatus, TextReportsAnUnusableConfig) {
  TempDir dir;
  publish(dir, running(2));
  writeWholeFile(dir.file("config.json"), "{\"chargeLimitEnabled\":true}");
  std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
  EXPECT_NE(text.find("Warning:      " + dir.file("config.json") + " is malformed"), std::string::npos) << text;
  EXPECT_NE(text.find("Charge limit: off (charges to 100%)\n"), std::string::npos) << text;
}

TEST(HestleStatus, TextNeutralisesControlBytesFromTheStatusFile) {
  TempDir dir;
  publish(dir, ChargeStatus{true, false, true, "Holding\x1b]0;pwned\x07", 100, kNow});
  std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
  EXPECT_NE(text.find("Cycle:        Holding?]0;pwned?\n"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(HestleStatus, TextShowsTheLastCalibration) {
  TempDir dir;
  publish(dir, running(1));
  configure(dir, {true, 80, true, 30, kNow - 5 * 86400 - 60});
  std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);
  // The date is local time; its form and the age are fixed.
  EXPECT_NE(text.find("Calibration:  every 30 days, last 20"), std::string::npos) << text;
  EXPECT_NE(text.find(" (5 days ago)\n"), std::string::npos) << text;
}

TEST(HestleStatus, JsonForARunningDaemon) {
  TempDir dir;
  publish(dir, ChargeStatus{true, false, true, "Charging to 100%", 91, kNow - 2.5});
  configure(dir, {true, 85, true, 7, 1764876810.5});
  std::string text = formatStatusJson(gatherStatus(dir.path(), kNow));
  ASSERT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\n'), text.size() - 1);  // one line
  auto j = nlohmann::json::parse(text);
  EXPECT_EQ(j, nlohmann::json::parse(R"({
    "daemon": "running", "daemonAlive": true, "statusAgeSeconds": 2.5, "daemonClockAheadSeconds": 0.0,
    "batteryPercent": 91, "chargingInhibited": false, "calibrationActive": true,
    "calibrationPhase": "Charging to 100%",
    "chargeLimitEnabled": true, "chargeLimitPercent": 85, "calibrationEnabled": true,
    "calibrationIntervalDays": 7, "lastCalibrationTimestamp": 1764876810.5,
    "settings": "file", "settingsError": null})"));
}

TEST(HestleStatus, JsonHidesPublishedValuesOfADeadDaemon) {
  struct Case {
    std::optional<ChargeStatus> status;
    std::string daemon;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "missing"},
      {ChargeStatus{false, false, false, std::nullopt, 0, kNow - 5}, "stopped"},
      {running(31, true), "stale"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.status) publish(dir, *c.status);
    auto j = nlohmann::json::parse(formatStatusJson(gatherStatus(dir.path(), kNow)));
    EXPECT_EQ(j["daemon"], c.daemon);
    EXPECT_EQ(j["daemonAlive"], false);
    EXPECT_TRUE(j["batteryPercent"].is_null());
    EXPECT_TRUE(j["chargingInhibited"].is_null());
    EXPECT_TRUE(j["calibrationPhase"].is_null());
    EXPECT_EQ(j["statusAgeSeconds"].is_null(), !c.status.has_value());
    EXPECT_EQ(j["settings"], "defaults");
    EXPECT_EQ(j["chargeLimitPercent"], 80);
  }
}

}  // namespace
