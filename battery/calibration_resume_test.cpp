// The calibration against a wall clock that jumps, and across a restart: the
// hold on the monotonic clock, a completion time from the future, and the
// daemon's own record of a cycle under way.
#include <gtest/gtest.h>

#include <limits>

#include "battery/calibration.h"
#include "battery/calibration_state.h"
#include "daemon/globals.h"
#include "platform/clock.h"
#include "store/charge_config.h"
#include "store/log.h"
#include "test_support.h"

namespace {

class CalibrationClockTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    logInit();
    openSmc();
    useTahoe = true;
  }
  ChargeConfig config{true, 80, true, 30, 0.0};
  BatteryReading full{100, true, false};
};

// 30 minutes into the hold the wall clock is set back a day or forward five
// years: the hold still ends 120 minutes after it began.
TEST_F(CalibrationClockTest, TheHoldLastsTwoHoursWhateverTheWallClockDoes) {
  for (double jump : {-86400.0, 5 * 365.25 * 86400.0}) {
    calPhase = CalibrationPhase::charging;
    ASSERT_TRUE(handleCalibration(full, config));
    ASSERT_EQ(calPhase, CalibrationPhase::holding);
    const double start = simmac::now();
    while (calPhase == CalibrationPhase::holding) {
      simmac::advance(10);
      if (simmac::now() == start + 1800) simmac::jumpWallClock(jump);
      handleCalibration(full, config);
    }
    EXPECT_EQ(simmac::now() - start, 7200) << jump;
  }
}

// Taken as now, rewritten and logged once; a day ahead exactly is still believed.
TEST_F(CalibrationClockTest, ACompletionTimeMoreThanADayAheadIsTakenAsNowOnce) {
  const double now = wallClockNow(), years = 5 * 365.25 * 86400.0;
  const std::string line = " is more than a day in the future — taken as now";
  const std::vector<std::pair<double, std::string>> rows = {
      {now + 86400.0, ""},
      {now + years, "Calibration: last calibration time " + std::to_string(static_cast<int64_t>(now + years)) + line},
      {now + years, ""},  // the same stamp again (a file that could not be rewritten): not reported again
      {1e300, "Calibration: last calibration time 9223372036854775807" + line},
      {std::numeric_limits<double>::infinity(), "Calibration: last calibration time 9223372036854775807" + line}};
  for (const auto& [stamp, logged] : rows) {
    ChargeConfig c = config;
    c.lastCalibrationTimestamp = stamp;
    writeConfig(c);
    markLog();
    EXPECT_FALSE(handleCalibration({80, true, false}, c)) << "nothing is due";
    EXPECT_EQ(readConfig().lastCalibrationTimestamp, stamp == now + 86400.0 ? stamp : now) << stamp;
    EXPECT_EQ(newLogMessages(), logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{logged});
  }
}

TEST(CalibrationStateTest, RecordsAreReadAsCarefullyAsTheSettings) {
  const std::vector<std::pair<std::string, std::optional<CalibrationState>>> rows = {
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":3540.5})", CalibrationState{CalibrationPhase::holding, 3540.5}},
      {R"({"holdRemainingSeconds":0,"phase":"Discharging to 15%","extra":[1]})",
       CalibrationState{CalibrationPhase::discharging, 0}},
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":7200.5})", std::nullopt},  // longer than a hold
      {R"({"phase":"Holding at 100%","holdRemainingSeconds":-1})", std::nullopt},
      {R"({"phase":"holding at 100%","holdRemainingSeconds":1})", std::nullopt},  // not a display string
      {R"({"phase":"Idle"})", std::nullopt},
      {R"({"phase":"Idle","phase":"Idle","holdRemainingSeconds":0})", std::nullopt},
  };
  for (const auto& [json, expected] : rows) EXPECT_EQ(decodeCalibrationState(json), expected) << json;
  EXPECT_EQ(encodeCalibrationState({CalibrationPhase::drainingBack, 0}),
            R"({"phase":"Draining to limit","holdRemainingSeconds":0})");
}

// A restart 30 minutes into the hold resumes it with 90 minutes left; the
// record is the daemon's own (mode 0644) and written only when it changes.
TEST_F(CalibrationClockTest, ARestartResumesTheCycleWhereItWas) {
  calPhase = CalibrationPhase::charging;
  handleCalibration(full, config);
  simmac::advance(1800);
  handleCalibration(full, config);
  EXPECT_EQ(readWholeFile(calibrationStatePath), R"({"phase":"Holding at 100%","holdRemainingSeconds":5400})");
  EXPECT_EQ(fileMode(calibrationStatePath), 0644u);
  unlink(calibrationStatePath.c_str());
  simmac::advance(10);
  handleCalibration(full, config);
  EXPECT_NE(access(calibrationStatePath.c_str(), F_OK), 0) << "the same minute: not written again";

  initGlobals(dir.path());
  writeWholeFile(calibrationStatePath, R"({"phase":"Holding at 100%","holdRemainingSeconds":5400})");
  markLog();
  resumeCalibration();
  EXPECT_EQ(calPhase, CalibrationPhase::holding);
  EXPECT_EQ(calHoldEndTime, monotonicNow() + 5400);
  EXPECT_EQ(newLogMessages(),
            std::vector<std::string>{"Calibration: resuming — Holding at 100%, 90 minutes of the hold left"});

  for (const char* record : {R"({"phase":"Idle","holdRemainingSeconds":0})", "{", ""}) {
    initGlobals(dir.path());
    writeWholeFile(calibrationStatePath, record);
    resumeCalibration();
    EXPECT_EQ(calPhase, CalibrationPhase::idle) << record;
  }
}

}  // namespace
