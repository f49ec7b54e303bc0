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

TEST_F(CalibrationClockTest, ACompletionTimeMoreThanADayAheadIsTakenAsNowOnce) {
  const double now = wallClockNow();
  for (double ahead : {86400.0, 86400.0 + 1, 5 * 365.25 * 86400.0}) {
    config.lastCalibrationTimestamp = now + ahead;
    writeConfig(config);
    markLog();
    EXPECT_FALSE(handleCalibration({80, true, false}, config)) << "nothing is due";
    EXPECT_EQ(readConfig().lastCalibrationTimestamp, ahead > 86400.0 ? now : now + ahead);
    EXPECT_EQ(newLogMessages().size(), ahead > 86400.0 ? 1u : 0u);
  }
  const std::string stamp = std::to_string(static_cast<int64_t>(now + 5 * 365.25 * 86400.0));
  EXPECT_EQ(newLogMessages(), std::vector<std::string>{"Calibration: last calibration time " + stamp +
                                                       " is more than a day in the future — taken as now"});
  // The same stamp again (a file that could not be rewritten) is not reported again.
  markLog();
  for (int pass = 0; pass < 3; ++pass) {
    ChargeConfig again = config;
    again.lastCalibrationTimestamp = now + 5 * 365.25 * 86400.0;
    handleCalibration({80, true, false}, again);
  }
  EXPECT_TRUE(newLogMessages().empty());
  // Absurd stamps are no exception.
  for (double absurd : {1e300, std::numeric_limits<double>::infinity()}) {
    ChargeConfig far = config;
    far.lastCalibrationTimestamp = absurd;
    markLog();
    EXPECT_FALSE(handleCalibration({80, true, false}, far));
    EXPECT_EQ(readConfig().lastCalibrationTimestamp, now);
    EXPECT_EQ(newLogMessages(), std::vector<std::string>{"Calibration: last calibration time 9223372036854775807 is "
                                                         "more than a day in the future — taken as now"});
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
      {R"({"phase":3,"holdRemainingSeconds":0})", std::nullopt},
      {R"(["Idle",0])", std::nullopt},
      {"", std::nullopt},
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
