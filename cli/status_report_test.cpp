// `hestle status`: the daemon judged by its last word (stale after 30 s),
// text and JSON reports, what charging and a due cycle are doing, a status
// from a clock ahead.
#include "cli/status_report.h"

#include <utime.h>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace {

constexpr double kNow = 1796417610.0;

std::string statusBytes(bool running, bool inhibited, double age, std::optional<std::string> phase = {},
                        int64_t percent = 64, bool clamshell = false) {
  return encodeChargeStatus({running, inhibited, phase.has_value(), phase, percent, kNow - age, clamshell}).value();
}

struct Row {
  std::optional<std::string> status, config;
  std::string text;
  const char* daemon;    // in the JSON report
  const char* settings;  // likewise
  int exit;              // of `hestle status`
  double writtenAgo = -1;  // by the file's time, when set: the status comes from a clock ten minutes ahead
};

TEST(HestleStatus, TextAndJsonReports) {
  TempDir dir;
  const std::string unknown = "Battery:      unknown (hestled is not running)\n";
  const std::string defaults = "Charge limit: off (charges to 100%)\nCalibration:  off\n";
  const std::string malformed = "Warning:      " + dir.file("config.json") + " is malformed (hestled needs all five";
  const std::string up = "hestled:      running (last update 2 s ago)\nBattery:      ";
  const Row rows[] = {
      {statusBytes(true, true, 4), settingsJson({true, 80, true}),
       "hestled:      running (last update 4 s ago)\nBattery:      64%\nCharging:     held off at the limit\n"
       "Cycle:        due; starts while the adapter is connected\nCharge limit: 80%\n"
       "Calibration:  every 30 days, last never\n", "running", "file", 0},
      {statusBytes(true, false, 30, "Holding\x1b]0;pwned\x07"), settingsJson({false, 80, true, 1}),
       "hestled:      running (last update 30 s ago)\nBattery:      64%\nCharging:     allowed\n"
       "Cycle:        Holding\\x1B]0;pwned\\x07\nCharge limit: off (charges to 100%)\n"
       "Calibration:  every 1 day, last never; no cycle runs while the charge limit is off\n", "running", "file", 0},
      {std::nullopt, std::nullopt,
       "hestled:      NOT RUNNING (it has never published its status; is it installed?)\n" + unknown + defaults,
       "missing", "defaults", 3},
      {statusBytes(false, false, 300), std::nullopt,
       "hestled:      NOT RUNNING (stopped 5 min ago); the charge is not limited\n" + unknown + defaults, "stopped",
       "defaults", 3},
      {statusBytes(true, false, 31), std::nullopt,
       "hestled:      NOT RUNNING (no update for 31 s; it may have crashed); the charge is not limited\n" + unknown +
           defaults, "stale", "defaults", 4},
      {statusBytes(true, true, 3 * 86400 + 5), std::nullopt,
       "hestled:      NOT RUNNING (no update for 3 days; it may have crashed); the charge is not limited\n" + unknown +
           "Warning:      hestled stopped without its clean shutdown while holding charging off; charging may still "
           "be inhibited\n" + defaults, "stale", "defaults", 4},
      {"{\"daemonRunning\":tr", "{\"chargeLimitEnabled\":true}",
       "hestled:      UNKNOWN (status.json cannot be read or is malformed)\n" + unknown + malformed, "unreadable",
       "unusable", 1},
      {statusBytes(true, false, 3 - 600), std::nullopt,
       "hestled:      running (last update 3 s ago; its clock is 10 min ahead of this one)", "running", "defaults", 0, 3},
      {statusBytes(true, false, 100 - 600), std::nullopt,
       "hestled:      NOT RUNNING (no update for 100 s; it may have crashed)", "stale", "defaults", 4, 100},
      // Limit 80%, calibration every 30 days: the Charging and Cycle lines.
      {statusBytes(true, true, 2, "Discharging to 15%", 40), settingsJson({true, 80, true}),
       up + "40%\nCharging:     held off: calibration draining to 15%\nCycle:        Discharging to 15%", "running", "file", 0},
      {statusBytes(true, true, 2, std::nullopt, 90), settingsJson({true, 80, true}), up + "90%\nCharging:     held off: "
       "running on battery above the limit\nCycle:        due; starts once the battery is back at the limit (80%)", "running", "file", 0},
      {statusBytes(true, true, 2, std::nullopt, 80), settingsJson({true, 80, true, 30, kNow - 86400.0}),
       up + "80%\nCharging:     held off at the limit\nCycle:        none in progress", "running", "file", 0},
      // Firmware that cannot pause charging: macOS's Charge Limit holds it, or nothing does, and what then.
      {encodeChargeStatus({true, false, false, std::nullopt, 80, kNow - 2, false, 80}), settingsJson({true, 80}),
       up + "80%\nCharging:     held by macOS's Charge Limit at 80%\nCycle:        none in progress\nCharge", "running", "file", 0},
      {encodeChargeStatus({true, false, false, std::nullopt, 100, kNow - 2, false, std::nullopt, true}), settingsJson({true, 80}),
       up + "100%\nCharging:     allowed: nothing holds the limit\nCycle:        none in progress\nWhy:          this "
       "Mac's firmware cannot pause charging, and adapter cycling is off\nYou can:      set macOS's Charge Limit at 80% or more "
       "(System Settings, Battery),\n              which hestled leaves in charge;\nOr:           hestle limit 80 --cycle, to "
       "run the Mac from its battery above 80%:\n              about 1.5 full cycles a day at a desk, an estimated capacity loss "
       "of\n              6.5% (NREL NCA) to 12.4% (Schmalstieg 2014) a year,\n              against 6.5% (Schmalstieg 2014) "
       "to 8.1% (NREL NCA) at 100%\nCharge limit: 80%", "running", "file", 0},
      // Clamshell mode: the adapter stays on and a calibration waits for the lid.
      {statusBytes(true, true, 2, std::nullopt, 95, true), settingsJson({true, 80, true}), up + "95%\nCharging:     held off: the lid "
       "is closed on an external display, so the adapter stays on\nCycle:        due; waits for the lid to open (closed on an external display)",
       "running", "file", 0},
      {statusBytes(true, true, 2, "Discharging to 15%", 40, true), settingsJson({true, 80, true}), up + "40%\nCharging:     held off: "
       "calibration draining to 15%\nCycle:        Discharging to 15% (waits for the lid to open)", "running", "file", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    std::remove(dir.file("status.json").c_str());
    std::remove(dir.file("config.json").c_str());
    if (r.status) writeWholeFile(dir.file("status.json"), *r.status), chmod(dir.file("status.json").c_str(), 0644);  // whatever the umask
    if (r.config) writeWholeFile(dir.file("config.json"), *r.config);
    const utimbuf times{static_cast<time_t>(kNow - r.writtenAgo), static_cast<time_t>(kNow - r.writtenAgo)};
    ASSERT_TRUE(r.writtenAgo < 0 || utime(dir.file("status.json").c_str(), &times) == 0);
    const StatusReport report = gatherStatus(dir.path(), kNow);
    const std::string text = formatStatusText(report, kNow);
    EXPECT_EQ(r.text.back() == '\n' ? text : text.substr(0, r.text.size()), r.text);
    EXPECT_EQ(statusExitCode(report.daemon), r.exit);
    const std::string json = formatStatusJson(report);
    EXPECT_EQ(json.find('\n'), json.size() - 1);  // one line
    const auto j = nlohmann::json::parse(json);
    EXPECT_EQ(j["daemon"], r.daemon);
    EXPECT_EQ(j["daemonAlive"], std::string(r.daemon) == "running");
    EXPECT_TRUE(j["daemonAlive"] == true ||
                (j["batteryPercent"].is_null() && j["chargingInhibited"].is_null() && j["calibrationPhase"].is_null()));
    EXPECT_EQ(j["statusAgeSeconds"].is_null(), !report.status.has_value());
    EXPECT_EQ(j["settings"], r.settings);
    EXPECT_TRUE(r.writtenAgo < 0 || json.find("\"statusAgeSeconds\":" + std::to_string(int(r.writtenAgo)) +
                                              ".0,\"daemonClockAheadSeconds\":600.0") != std::string::npos) << json;
  }
  writeWholeFile(dir.file("status.json"), statusBytes(true, false, 2.5, "Charging to 100%")), chmod(dir.file("status.json").c_str(), 0644);
  writeWholeFile(dir.file("config.json"), settingsJson({true, 85, true, 7, 1764876810.5}));
  EXPECT_EQ(nlohmann::json::parse(formatStatusJson(gatherStatus(dir.path(), kNow))), nlohmann::json::parse(R"({
    "daemon": "running", "daemonAlive": true, "statusAgeSeconds": 2.5, "daemonClockAheadSeconds": 0.0,
    "batteryPercent": 64, "chargingInhibited": false, "calibrationActive": true, "calibrationPhase": "Charging to 100%",
    "chargeLimitEnabled": true, "chargeLimitPercent": 85, "calibrationEnabled": true,
    "calibrationIntervalDays": 7, "lastCalibrationTimestamp": 1764876810.5, "settings": "file", "settingsError": null,
    "adapterCycling": false, "heldByMacOSAt": null, "limitNotHeld": false})"));
  writeWholeFile(dir.file("config.json"), settingsJson({true, 80, true, 30, kNow - 5 * 86400 - 60}));
  const std::string text = formatStatusText(gatherStatus(dir.path(), kNow), kNow);  // the date is local time
  EXPECT_NE(text.find("Calibration:  every 30 days, last 20"), std::string::npos) << text;
  EXPECT_NE(text.find(" (5 days ago)\n"), std::string::npos) << text;
}

}  // namespace
