// Tests of the calibration cycle on the simulated Mac: every row of the state
// machine with its log lines in order, and the actuators' effect on the keys.
#include "battery/calibration.h"

#include <cmath>
#include <limits>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "platform/clock.h"
#include "sim/simulated_mac.h"
#include "store/charge_config.h"
#include "store/log.h"
#include "tests/test_support.h"

namespace {

using Lines = std::vector<std::string>;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// The actuators' own state lines (Tahoe key family).
const std::string kAdapterOff = "setAdapter: CHIE=0x08 (disable) -> true";
const std::string kAdapterOn = "setAdapter: CHIE=0x00 (enable) -> true";
const std::string kChargingOff = "setCharging: CHTE=1 (disable) -> true";
const std::string kChargingOn = "setCharging: CHTE=0 (enable) -> true";

class CalibrationTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    logInit();
    openSmc();
    useTahoe = true;
    config = ChargeConfig{true, 80, true, 30, 0.0};
    markLog();
  }

  // One call, as the control loop makes it; the log lines it wrote are in `lines`.
  bool step(int64_t percent, bool pluggedIn = true, bool charging = false) {
    markLog();
    simmac::clearSmcExchanges();
    bool active = handleCalibration(BatteryReading{percent, pluggedIn, charging}, config);
    lines = newLogMessages();
    return active;
  }

  // Brings the cycle into `phase` through its real transitions.
  void enter(CalibrationPhase phase) {
    ASSERT_TRUE(step(80));
    if (phase == CalibrationPhase::discharging) return;
    ASSERT_TRUE(step(15));
    if (phase == CalibrationPhase::charging) return;
    ASSERT_TRUE(step(100));
    if (phase == CalibrationPhase::holding) return;
    simmac::advance(calHoldMinutes * 60.0);
    ASSERT_TRUE(step(100));
    ASSERT_EQ(calPhase, CalibrationPhase::drainingBack);
  }

  static void setLed(uint8_t value) { simmac::setSmcKeyValue("ACLC", {value}); }

  ChargeConfig config;
  Lines lines;
};

TEST(CalibrationPhaseTest, RawValuesBothWays) {
  const std::pair<CalibrationPhase, const char*> phases[] = {
      {CalibrationPhase::idle, "Idle"},
      {CalibrationPhase::discharging, "Discharging to 15%"},
      {CalibrationPhase::charging, "Charging to 100%"},
      {CalibrationPhase::holding, "Holding at 100%"},
      {CalibrationPhase::drainingBack, "Draining to limit"},
  };
  for (const auto& [phase, raw] : phases) {
    EXPECT_EQ(rawValue(phase), raw);
    EXPECT_EQ(calibrationPhaseFromRawValue(raw), phase) << raw;
  }
  for (const char* raw : {"", "idle", "IDLE", "Holding at 100% ", "Discharging to 10%", "Draining"})
    EXPECT_EQ(calibrationPhaseFromRawValue(raw), std::nullopt) << raw;
  EXPECT_EQ(sizeof(CalibrationPhase), 1u);
}

TEST_F(CalibrationTest, NeverCalibratedStartsAndDrains) {
  EXPECT_TRUE(step(80));
  EXPECT_EQ(lines, (Lines{"Calibration: STARTING — last calibration was never", kAdapterOff, kChargingOff}));
  EXPECT_EQ(calPhase, CalibrationPhase::discharging);
  EXPECT_TRUE(simmac::adapterDisabled());
  EXPECT_TRUE(simmac::chargeInhibited());
  EXPECT_EQ(simmac::ledValue(), 3);
}

TEST_F(CalibrationTest, UnpluggedNeverStarts) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(step(80, false, i % 2 == 0));
    EXPECT_EQ(lines, Lines{});
    EXPECT_TRUE(simmac::smcExchanges().empty());
    EXPECT_EQ(calPhase, CalibrationPhase::idle);
  }
  EXPECT_TRUE(step(80, true));
  EXPECT_EQ(calPhase, CalibrationPhase::discharging);
}

TEST_F(CalibrationTest, GateClosedDoesNothing) {
  for (auto [limit, calibration] : {std::pair{false, true}, {true, false}, {false, false}}) {
    config.chargeLimitEnabled = limit;
    config.calibrationEnabled = calibration;
    EXPECT_FALSE(step(80));
    EXPECT_EQ(lines, Lines{});
    EXPECT_TRUE(simmac::smcExchanges().empty());
    EXPECT_EQ(calPhase, CalibrationPhase::idle);
  }
}

struct StartCase {
  const char* name;
  int64_t intervalDays;
  double secondsAgo;   // lastCalibrationTimestamp = now − secondsAgo
  bool absolute;       // secondsAgo is the timestamp itself
  const char* ago;     // nullptr: not due
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class CalibrationStartTest : public CalibrationTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(CalibrationStartTest, StartsWhenDue) {
  const StartCase& c = GetParam();
  config.calibrationIntervalDays = c.intervalDays;
  config.lastCalibrationTimestamp = c.absolute ? c.secondsAgo : simmac::now() - c.secondsAgo;
  bool active = step(80);
  if (c.ago == nullptr) {
    EXPECT_FALSE(active);
    EXPECT_EQ(lines, Lines{});
    EXPECT_TRUE(simmac::smcExchanges().empty());
    EXPECT_EQ(calPhase, CalibrationPhase::idle);
  } else {
    EXPECT_TRUE(active);
    EXPECT_EQ(lines, (Lines{std::string("Calibration: STARTING — last calibration was ") + c.ago, kAdapterOff,
                            kChargingOff}));
    EXPECT_EQ(calPhase, CalibrationPhase::discharging);
  }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const StartCase startCases[] = {
    {"ExactlyTheInterval", 30, 30 * 86400.0, false, "30 days ago"},
    {"OneSecondShort", 30, 30 * 86400.0 - 1, false, nullptr},
    {"DaysTruncate", 30, 31 * 86400.0 - 1, false, "30 days ago"},
    {"LongAgo", 30, 400 * 86400.0, false, "400 days ago"},
    {"NeverIgnoresTheInterval", kMax, 0.0, true, "never"},
    {"ZeroIntervalRightAfter", 0, 0.0, false, "0 days ago"},
    {"OneDay", 1, 86400.0, false, "1 days ago"},
    {"InTheFuture", 30, -86400.0, false, nullptr},
    {"InTheFutureZeroInterval", 0, -1.0, false, nullptr},
    {"NegativeIntervalAlwaysDue", -5, -86400.0, false, "-1 days ago"},
    // Absurd timestamps and intervals: a choice, never a crash.
    {"FarPast", 30, -1e300, true, "9223372036854775807 days ago"},
    {"MinusInfinity", 30, -kInf, true, "9223372036854775807 days ago"},
    {"NotANumberCountsAsNever", 30, kNaN, true, "never"},
    {"HugeInterval", kMax, 1000 * 86400.0, false, nullptr},
    {"HugeNegativeInterval", kMin, 1.0, false, "0 days ago"},
};

INSTANTIATE_TEST_SUITE_P(Boundaries, CalibrationStartTest, ::testing::ValuesIn(startCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CalibrationTest, StartAtTwelvePercentChargesAtOnce) {
  EXPECT_TRUE(step(12));
  EXPECT_EQ(lines, (Lines{"Calibration: STARTING — last calibration was never",
                          "Calibration: Reached 12% <= 15% — switching to charge phase", kAdapterOn, kChargingOn}));
  EXPECT_EQ(calPhase, CalibrationPhase::charging);
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_EQ(simmac::ledValue(), 4);
}

TEST_F(CalibrationTest, DischargingKeepsDrainingAbove15) {
  enter(CalibrationPhase::discharging);
  setLed(0);
  EXPECT_TRUE(step(16));
  EXPECT_EQ(lines, Lines{});  // both flags already set: only the LED is written
  EXPECT_EQ(calPhase, CalibrationPhase::discharging);
  EXPECT_EQ(simmac::ledValue(), 3);
  EXPECT_TRUE(simmac::adapterDisabled());
  EXPECT_TRUE(simmac::chargeInhibited());
}

TEST_F(CalibrationTest, DischargingSwitchesAtExactly15) {
  enter(CalibrationPhase::discharging);
  EXPECT_TRUE(step(15));
  EXPECT_EQ(lines, (Lines{"Calibration: Reached 15% <= 15% — switching to charge phase", kAdapterOn, kChargingOn}));
  EXPECT_EQ(calPhase, CalibrationPhase::charging);
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_EQ(simmac::ledValue(), 4);
}

TEST_F(CalibrationTest, DischargingToANegativePercent) {
  enter(CalibrationPhase::discharging);
  EXPECT_TRUE(step(-3));
  EXPECT_EQ(lines.at(0), "Calibration: Reached -3% <= 15% — switching to charge phase");
}

TEST_F(CalibrationTest, DrainingRetriesAFailedWrite) {
  simmac::rejectSmcKey("CHIE", false, true);
  EXPECT_TRUE(step(80));
  EXPECT_EQ(lines, (Lines{"Calibration: STARTING — last calibration was never",
                          "setAdapter: CHIE=0x08 (disable) -> false", "WARNING: Failed to disable adapter!",
                          kChargingOff}));
  EXPECT_TRUE(step(70));
  EXPECT_EQ(lines, (Lines{"setAdapter: CHIE=0x08 (disable) -> false", "WARNING: Failed to disable adapter!"}));
  simmac::rejectSmcKey("CHIE", false, false);
  EXPECT_TRUE(step(60));
  EXPECT_EQ(lines, Lines{kAdapterOff});
  EXPECT_TRUE(simmac::adapterDisabled());
  EXPECT_TRUE(step(50));
  EXPECT_EQ(lines, Lines{});
}

TEST_F(CalibrationTest, ChargingBelow100ChargesAndIgnoresThePlug) {
  enter(CalibrationPhase::discharging);
  // Flags left set by the drain, as after a failed switch: the action restores them.
  ASSERT_TRUE(adapterDisabled && currentlyInhibited);
  calPhase = CalibrationPhase::charging;
  setLed(0);
  EXPECT_TRUE(step(99, false));
  EXPECT_EQ(lines, (Lines{kAdapterOn, kChargingOn}));
  EXPECT_EQ(simmac::ledValue(), 4);
  EXPECT_FALSE(simmac::adapterDisabled());
  setLed(0);
  EXPECT_TRUE(step(99, false));
  EXPECT_EQ(lines, Lines{});
  EXPECT_EQ(simmac::ledValue(), 4);
  EXPECT_EQ(calPhase, CalibrationPhase::charging);
}

TEST_F(CalibrationTest, ChargingAt100EntersHoldingWithoutTouchingTheSmc) {
  enter(CalibrationPhase::charging);
  double now = monotonicNow();  // the hold is timed on the monotonic clock
  EXPECT_TRUE(step(100));
  EXPECT_EQ(lines, Lines{"Calibration: Reached 100% — holding for 120 minutes"});
  EXPECT_TRUE(simmac::smcExchanges().empty());
  EXPECT_EQ(calPhase, CalibrationPhase::holding);
  EXPECT_EQ(calHoldEndTime, now + 7200.0);
}

TEST_F(CalibrationTest, HoldLogsEachTenMinuteMarkThenDrainsBack) {
  enter(CalibrationPhase::holding);
  std::map<std::string, int> progress;
  int calls = 0;
  while (calPhase == CalibrationPhase::holding) {
    simmac::advance(10.0);
    setLed(0);
    ASSERT_TRUE(step(100, calls % 2 == 0));
    ++calls;
    if (calPhase != CalibrationPhase::holding) break;
    EXPECT_EQ(simmac::ledValue(), 4);
    for (const auto& line : lines) ++progress[line];
  }
  EXPECT_EQ(calls, 720);  // 7200 s in ten-second steps
  std::map<std::string, int> expected;
  for (int mark = 110; mark >= 10; mark -= 10)
    expected["Calibration: Holding at 100%, " + std::to_string(mark) + " minutes remaining"] = 6;
  EXPECT_EQ(progress, expected);
  // The completing call: no LED write, adapter and charging off.
  EXPECT_EQ(lines, (Lines{"Calibration: Hold complete — draining back to 80%", kAdapterOff, kChargingOff}));
  EXPECT_EQ(simmac::ledValue(), 0);
  EXPECT_EQ(calPhase, CalibrationPhase::drainingBack);
  EXPECT_TRUE(simmac::adapterDisabled());
  EXPECT_TRUE(simmac::chargeInhibited());
}

TEST_F(CalibrationTest, HoldEndsExactlyAtItsEndTime) {
  enter(CalibrationPhase::holding);
  simmac::advance(7199.0);
  EXPECT_TRUE(step(100));
  EXPECT_EQ(calPhase, CalibrationPhase::holding);
  simmac::advance(1.0);
  EXPECT_TRUE(step(100));
  EXPECT_EQ(calPhase, CalibrationPhase::drainingBack);
}

TEST_F(CalibrationTest, DrainBackKeepsDrainingAboveTheLimit) {
  enter(CalibrationPhase::drainingBack);
  adapterDisabled = false;  // as if the transition's write had failed
  setLed(0);
  EXPECT_TRUE(step(81));
  EXPECT_EQ(lines, Lines{kAdapterOff});
  EXPECT_EQ(simmac::ledValue(), 3);
  EXPECT_EQ(calPhase, CalibrationPhase::drainingBack);
}

TEST_F(CalibrationTest, CompletionStoresTheTimestamp) {
  config.lastCalibrationTimestamp = simmac::now() - 31 * 86400.0;
  enter(CalibrationPhase::drainingBack);
  simmac::advance(3600.5);
  double now = simmac::now();
  EXPECT_TRUE(step(80));
  EXPECT_EQ(lines, (Lines{"Calibration: COMPLETE — reached 80% (target 80%)", kAdapterOn, kChargingOff}));
  EXPECT_EQ(calPhase, CalibrationPhase::idle);
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_TRUE(simmac::chargeInhibited());
  EXPECT_EQ(simmac::ledValue(), 3);
  EXPECT_EQ(config.lastCalibrationTimestamp, now);
  auto stored = decodeChargeConfig(readWholeFile(configPath));
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, (ChargeConfig{true, 80, true, 30, now}));
  // The next call runs the start test again: not due for thirty days.
  EXPECT_FALSE(step(80));
  EXPECT_EQ(lines, Lines{});
}

TEST_F(CalibrationTest, CompletionBelowTheLimitAndZeroIntervalRestarts) {
  config.calibrationIntervalDays = 0;
  config.chargeLimitPercent = 60;
  enter(CalibrationPhase::drainingBack);
  EXPECT_TRUE(step(42));
  EXPECT_EQ(lines.at(0), "Calibration: COMPLETE — reached 42% (target 60%)");
  EXPECT_EQ(calPhase, CalibrationPhase::idle);
  // Charging is still inhibited from the completion: only the adapter is switched.
  EXPECT_TRUE(step(42));
  EXPECT_EQ(lines, (Lines{"Calibration: STARTING — last calibration was 0 days ago", kAdapterOff}));
}

TEST_F(CalibrationTest, CancellationIsLoggedOnceAndTouchesNothing) {
  for (auto off : {&ChargeConfig::calibrationEnabled, &ChargeConfig::chargeLimitEnabled}) {
    calPhase = CalibrationPhase::idle;
    config = ChargeConfig{true, 80, true, 30, 0.0};
    enter(CalibrationPhase::holding);
    simmac::advance(60.0);
    config.*off = false;
    std::string before[] = {simmac::smcKeyHex("CHIE"), simmac::smcKeyHex("CHTE"), simmac::smcKeyHex("ACLC")};
    EXPECT_FALSE(step(100));
    EXPECT_EQ(lines, Lines{"Calibration: config changed, cancelling"});
    EXPECT_TRUE(simmac::smcExchanges().empty());
    EXPECT_EQ(calPhase, CalibrationPhase::idle);
    EXPECT_FALSE(step(100));
    EXPECT_EQ(lines, Lines{});
    EXPECT_TRUE(simmac::smcExchanges().empty());
    std::string after[] = {simmac::smcKeyHex("CHIE"), simmac::smcKeyHex("CHTE"), simmac::smcKeyHex("ACLC")};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(after[i], before[i]);
  }
}

TEST_F(CalibrationTest, TheChargingFlagNeverChangesTheOutcome) {
  for (bool charging : {false, true}) {
    calPhase = CalibrationPhase::idle;
    config = ChargeConfig{true, 80, true, 30, 0.0};
    simmac::boot({});
    openSmc();
    useTahoe = true;
    currentlyInhibited = adapterDisabled = false;
    Lines all;
    for (int64_t percent : {80, 15, 50, 100}) {
      EXPECT_TRUE(step(percent, true, charging));
      all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(all, (Lines{"Calibration: STARTING — last calibration was never", kAdapterOff, kChargingOff,
                          "Calibration: Reached 15% <= 15% — switching to charge phase", kAdapterOn, kChargingOn,
                          "Calibration: Reached 100% — holding for 120 minutes"}));
    EXPECT_EQ(calPhase, CalibrationPhase::holding);
  }
}

TEST_F(CalibrationTest, AbsurdHoldLengthsNeverCrash) {
  calHoldMinutes = 1e300;
  enter(CalibrationPhase::charging);
  EXPECT_TRUE(step(100));
  EXPECT_EQ(lines, Lines{"Calibration: Reached 100% — holding for 9223372036854775807 minutes"});
  EXPECT_TRUE(step(100));  // remaining clamps to the largest value, not a multiple of ten
  EXPECT_EQ(lines, Lines{});
  EXPECT_EQ(calPhase, CalibrationPhase::holding);

  calPhase = CalibrationPhase::charging;
  calHoldMinutes = kNaN;
  EXPECT_TRUE(step(100));
  EXPECT_EQ(lines, Lines{"Calibration: Reached 100% — holding for 0 minutes"});
  EXPECT_TRUE(step(100));  // an end time that is not a number ends the hold
  EXPECT_EQ(lines.at(0), "Calibration: Hold complete — draining back to 80%");
  EXPECT_EQ(calPhase, CalibrationPhase::drainingBack);

  calPhase = CalibrationPhase::charging;
  calHoldMinutes = -kInf;
  EXPECT_TRUE(step(100));
  EXPECT_EQ(lines, Lines{"Calibration: Reached 100% — holding for -9223372036854775808 minutes"});
  EXPECT_TRUE(step(100));
  EXPECT_EQ(calPhase, CalibrationPhase::drainingBack);
}

TEST(TruncateToInt64Test, ClampsWhatDoesNotFit) {
  const std::pair<double, int64_t> cases[] = {
      {0.0, 0},
      {1.9, 1},
      {-1.9, -1},
      {30.99999, 30},
      {9223372036854774784.0, 9223372036854774784},  // largest double below 2^63
      {9223372036854775808.0, kMax},
      {-9223372036854775808.0, kMin},
      {-9223372036854777856.0, kMin},
      {1e300, kMax},
      {-1e300, kMin},
      {std::numeric_limits<double>::infinity(), kMax},
      {-std::numeric_limits<double>::infinity(), kMin},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(truncateToInt64(value), expected) << value;
}

}  // namespace
