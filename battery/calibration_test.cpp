// The calibration cycle on a simulated Tahoe Mac: each transition with its
// log lines in order, the actuators' writes and the LED; the hold on the
// monotonic clock while the wall clock is set back; the completion written
// under hestle's lock over the file as it is; and the daemon's own record of
// a cycle under way, across a restart.
#include "battery/calibration.h"

#include <cmath>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "battery/calibration_state.h"
#include "daemon/globals.h"
#include "platform/clock.h"
#include "store/charge_config.h"
#include "tests/test_support.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kAdapterOff = "setAdapter: CHIE=0x08 (disable) -> true", kAdapterOn = "setAdapter: CHIE=0x00 (enable) -> true",
                  kChargingOff = "setCharging: CHTE=1 (disable) -> true", kChargingOn = "setCharging: CHTE=0 (enable) -> true",
                  kStart = "Calibration: STARTING — last calibration was never";
const Lines kStartAt12 = {kStart, "Calibration: Reached 12% <= 15% — switching to charge phase", kAdapterOn, kChargingOn};

// One call of the control loop. Before it the clock moves on by `advance`,
// the LED is set to 0x7f (so 0x7f afterwards means "not written") and the key
// `refused` (if any) refuses writes for this call. The reading always says
// "charging", which must never matter.
struct Call { double advance; int64_t percent; bool pluggedIn; const char* refused; bool active; const char* phase; Lines lines; uint8_t led; };

class CalibrationTest : public DaemonTest {
 protected:
  void SetUp() override { DaemonTest::SetUp(), bringUp(); }
  void run(const std::vector<Call>& calls) {
    for (size_t i = 0; i < calls.size(); ++i) {
      const Call& c = calls[i];
      simmac::advance(c.advance), simmac::setSmcKeyValue("ACLC", {0x7f});
      if (*c.refused) simmac::rejectSmcKey(c.refused, false, true);
      markLog();
      EXPECT_EQ(handleCalibration(BatteryReading{c.percent, c.pluggedIn, true}, config), c.active) << "call " << i;
      if (*c.refused) simmac::rejectSmcKey(c.refused, false, false);
      EXPECT_EQ(newLogMessages(), c.lines) << "call " << i;
      EXPECT_EQ(std::pair(rawValue(calPhase), simmac::ledValue()), std::pair(std::string_view(c.phase), c.led)) << "call " << i;
    }
  }
  ChargeConfig config{true, 80, true, 30, 0.0};
  BatteryReading full{100, true, false};
};

TEST_F(CalibrationTest, RunsTheWholeCycleAndStoresItsEnd) {
  run({{0, 80, false, "", false, "Idle", {}, 0x7f},  // unplugged: no start
       {0, 80, true, "CHIE", true, "Discharging to 15%", {kStart, "setAdapter: CHIE=0x08 (disable) -> false", "WARNING: Failed to disable adapter!", kChargingOff}, 3},
       {10, 16, true, "", true, "Discharging to 15%", {kAdapterOff}, 3},  // the failed write is tried again
       {10, 16, true, "", true, "Discharging to 15%", {}, 3},
       {10, 15, true, "CHTE", true, "Charging to 100%", {"Calibration: Reached 15% <= 15% — switching to charge phase", kAdapterOn,
        "setCharging: CHTE=0 (enable) -> false", "WARNING: Failed to enable charging!"}, 4},
       {10, 99, false, "", true, "Charging to 100%", {kChargingOn}, 4},  // unplugged, the cycle goes on
       {10, 100, true, "", true, "Holding at 100%", {"Calibration: Reached 100% — holding for 120 minutes"}, 0x7f},
       {295, 100, true, "", true, "Holding at 100%", {}, 4},  // 115 minutes left: no mark
       {300, 100, true, "", true, "Holding at 100%", {"Calibration: Holding at 100%, 110 minutes remaining"}, 4}});
  simmac::jumpWallClock(-86400);  // the hold is timed on the monotonic clock
  run({{6604, 100, true, "", true, "Holding at 100%", {}, 4},  // one second left: no "0 minutes" line
       {1, 100, true, "", true, "Draining to limit", {"Calibration: Hold complete — draining back to 80%", kAdapterOff, kChargingOff}, 0x7f},
       {10, 81, true, "", true, "Draining to limit", {}, 3}});
  // hestle holds its lock (waited for two seconds, then gone on without) and
  // has changed the file since the pass read it: its limit and member stay.
  const std::string changed = *encodeChargeConfig({true, 75, true, 30, 0.0});
  writeWholeFile(configPath, changed.substr(0, changed.size() - 1) + R"(,"note":[1]})");
  const int lock = open(configDir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  run({{3600.5, 80, true, "", true, "Idle", {"Calibration: COMPLETE — reached 80% (target 80%)", kAdapterOn, kChargingOff}, 3}});
  close(lock);
  const double stamp = config.lastCalibrationTimestamp;
  EXPECT_NEAR(wallClockNow() - stamp, 2.0, 0.02);
  EXPECT_EQ(config, (ChargeConfig{true, 80, true, 30, stamp}));
  const std::string stored = *encodeChargeConfig({true, 75, true, 30, stamp});
  EXPECT_EQ(readWholeFile(configPath), stored.substr(0, stored.size() - 1) + R"(,"note":[1]})");
  run({{10, 80, true, "", false, "Idle", {}, 0x7f}});  // the next one is due in 30 days
}

TEST_F(CalibrationTest, StartsWhenDue) {
  const double now = simmac::now(), day = 86400;
  const std::tuple<int64_t, double, const char*> rows[] = {  // interval, last calibration, "ago" (nullptr: not due)
      {30, now - 30 * day, "30 days ago"}, {30, now - 30 * day + 1, nullptr}, {30, now - 31 * day + 1, "30 days ago"},
      {1, now - day, "1 days ago"}, {0, now, "0 days ago"}, {30, now + day, nullptr}, {-30, now + 1, nullptr},
      {std::numeric_limits<int64_t>::max(), 0.0, "never"}, {30, NAN, "never"},
      {30, -1e300, "9223372036854775807 days ago"}};
  for (const auto& [interval, last, ago] : rows) {
    calPhase = CalibrationPhase::idle, config = {true, 80, true, interval, last}, markLog();
    EXPECT_EQ(handleCalibration(BatteryReading{80, true, false}, config), ago != nullptr) << interval << " " << last;
    EXPECT_EQ(newLogMessages().size() > 0 ? newLogMessages()[0] : "", ago ? std::string("Calibration: STARTING — last calibration was ") + ago : "");
  }
}

// Switching calibration or the limit off cancels a cycle, with one line and no write.
TEST_F(CalibrationTest, CancelsOnceWhenEitherSwitchGoesOff) {
  for (bool ChargeConfig::*off : {&ChargeConfig::calibrationEnabled, &ChargeConfig::chargeLimitEnabled}) {
    config = {true, 80, true, 30, 0.0};
    run({{0, 12, true, "", true, "Charging to 100%", kStartAt12, 4}, {10, 100, true, "", true, "Holding at 100%", {"Calibration: Reached 100% — holding for 120 minutes"}, 0x7f}});
    config.*off = false;
    run({{10, 100, true, "", false, "Idle", {"Calibration: config changed, cancelling"}, 0x7f}, {10, 100, true, "", false, "Idle", {}, 0x7f}});
  }
}

TEST_F(CalibrationTest, AHoldOfNoNumberOfMinutesEndsAtOnce) {
  calHoldMinutes = NAN;
  run({{0, 12, true, "", true, "Charging to 100%", kStartAt12, 4},
       {10, 100, true, "", true, "Holding at 100%", {"Calibration: Reached 100% — holding for 0 minutes"}, 0x7f},
       {10, 100, true, "", true, "Draining to limit", {"Calibration: Hold complete — draining back to 80%", kAdapterOff, kChargingOff}, 0x7f}});
}

TEST(CalibrationStateTest, RecordsAreReadAsCarefullyAsTheSettings) {
  const std::vector<std::pair<std::string, std::optional<CalibrationState>>> rows = {
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":3540.5})", CalibrationState{CalibrationPhase::holding, 3540.5}},
      {R"({"holdRemainingSeconds":0,"phase":"Discharging to 15%","extra":[1]})", CalibrationState{CalibrationPhase::discharging, 0}},
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":7200.5})", std::nullopt},  // longer than a hold
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":-1})", std::nullopt},
      {R"({"phase":"holding at 100%","holdRemainingSeconds":1})", std::nullopt},  // not a display string
      {R"({"phase":"Idle"})", std::nullopt},
      {R"({"phase":"Idle","phase":"Idle","holdRemainingSeconds":0})", std::nullopt},
  };
  for (const auto& [json, expected] : rows) EXPECT_EQ(decodeCalibrationState(json), expected) << json;
  EXPECT_EQ(encodeCalibrationState({CalibrationPhase::drainingBack, 0}), R"({"phase":"Draining to limit","holdRemainingSeconds":0})");
}

// A restart 30 minutes into the hold resumes it with 90 minutes left; the
// record is the daemon's own (mode 0644) and written only when it changes.
TEST_F(CalibrationTest, ARestartResumesTheCycleWhereItWas) {
  calPhase = CalibrationPhase::charging;
  handleCalibration(full, config), simmac::advance(1800), handleCalibration(full, config);
  EXPECT_EQ(readWholeFile(calibrationStatePath), R"({"phase":"Holding at 100%","holdRemainingSeconds":5400})");
  EXPECT_EQ(fileMode(calibrationStatePath), 0644u);
  unlink(calibrationStatePath.c_str()), simmac::advance(10), handleCalibration(full, config);
  EXPECT_FALSE(exists(calibrationStatePath)) << "the same minute: not written again";

  initGlobals(dir.path()), writeWholeFile(calibrationStatePath, R"({"phase":"Holding at 100%","holdRemainingSeconds":5400})");
  markLog(), resumeCalibration();
  EXPECT_EQ(calPhase, CalibrationPhase::holding);
  EXPECT_EQ(calHoldEndTime, monotonicNow() + 5400);
  EXPECT_EQ(newLogMessages(), Lines{"Calibration: resuming — Holding at 100%, 90 minutes of the hold left"});
}

}  // namespace
