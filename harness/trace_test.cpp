// Tests of trace records: the exact line, and a sample taken from a booted machine.
#include "harness/trace.h"

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "test_support.h"

TEST(TraceLineTest, OneCompactObjectWithEveryMemberInOrder) {
  TraceSample s;
  s.t = 1796417620.5;
  s.pass = 2;
  s.percent = 94.96666666;
  s.reading = 94;
  s.pluggedIn = true;
  s.charging = false;
  s.adapterDisabled = true;
  s.currentlyInhibited = true;
  s.smcAdapterDisabled = true;
  s.smcChargeInhibited = true;
  s.phase = CalibrationPhase::holding;
  s.led = 3;
  s.limit = 80;
  s.keys = {{"CHTE", "01000000"}, {"CHIE", "08"}};
  EXPECT_EQ(traceLine(s),
            "{\"t\":1796417620.5,\"pass\":2,\"percent\":94.967,\"reading\":94,\"pluggedIn\":true,\"charging\":false,"
            "\"adapterDisabled\":true,\"currentlyInhibited\":true,\"phase\":\"Holding at 100%\",\"led\":\"green\","
            "\"limit\":80,\"batteryPresent\":true,\"smcChargeInhibited\":true,\"smcAdapterDisabled\":true,"
            "\"asleep\":false,\"keys\":{\"CHTE\":\"01000000\",\"CHIE\":\"08\"}}");

  TraceSample empty;
  EXPECT_EQ(traceLine(empty),
            "{\"t\":0.0,\"pass\":0,\"percent\":0.0,\"reading\":null,\"pluggedIn\":false,\"charging\":false,"
            "\"adapterDisabled\":false,\"currentlyInhibited\":false,\"phase\":\"Idle\",\"led\":\"system\","
            "\"limit\":null,\"batteryPresent\":true,\"smcChargeInhibited\":false,\"smcAdapterDisabled\":false,"
            "\"asleep\":false,\"keys\":{}}");
}

TEST(TraceLineTest, LedNames) {
  EXPECT_EQ(ledName(0), "system");
  EXPECT_EQ(ledName(3), "green");
  EXPECT_EQ(ledName(4), "orange");
  EXPECT_EQ(ledName(7), "7");
}

class TraceSampleTest : public DaemonTest {
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.firmware = simmac::Firmware::preTahoe;
    spec.missingKeys = {"CH0C"};
    spec.battery->percent = 62.5;
    spec.battery->pluggedIn = false;
    return spec;
  }
};

TEST_F(TraceSampleTest, ReadsTheMachineTheDaemonAndItsFiles) {
  simmac::setSmcKeyValue("CH0B", {0x02});
  simmac::setSmcKeyValue("ACLC", {0x04});
  loopCount = 7;
  currentlyInhibited = true;
  calPhase = CalibrationPhase::discharging;
  writeWholeFile(configPath,
                 R"({"chargeLimitEnabled":true,"chargeLimitPercent":70,"calibrationEnabled":false,)"
                 R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  writeWholeFile(statusPath,
                 R"({"daemonRunning":true,"chargingInhibited":true,"calibrationActive":true,)"
                 R"("calibrationPhase":"Discharging to 15%","batteryPercent":62,"lastUpdate":1796417610})");
  const TraceSample s = takeTraceSample();
  EXPECT_EQ(s.t, 1796417610.0);
  EXPECT_EQ(s.pass, 7);
  EXPECT_DOUBLE_EQ(s.percent, 62.5);
  EXPECT_EQ(s.reading, 62);
  EXPECT_FALSE(s.pluggedIn);
  EXPECT_FALSE(s.charging);
  EXPECT_TRUE(s.currentlyInhibited);
  EXPECT_FALSE(s.adapterDisabled);
  EXPECT_TRUE(s.smcChargeInhibited);
  EXPECT_FALSE(s.smcAdapterDisabled);
  EXPECT_EQ(s.phase, CalibrationPhase::discharging);
  EXPECT_EQ(s.led, 4);
  EXPECT_EQ(s.limit, 70);
  const std::vector<std::pair<std::string, std::string>> keys = {{"CH0B", "02"}, {"CH0I", "00"}, {"CH0J", "00"}};
  EXPECT_EQ(s.keys, keys);
  EXPECT_TRUE(takeTraceSample(false).keys.empty());

  // A final status (daemon stopped) and unusable settings give no reading and no limit.
  writeWholeFile(statusPath,
                 R"({"daemonRunning":false,"chargingInhibited":false,"calibrationActive":false,)"
                 R"("batteryPercent":0,"lastUpdate":1796417610})");
  writeWholeFile(configPath, "{");
  EXPECT_FALSE(takeTraceSample().reading);
  EXPECT_FALSE(takeTraceSample().limit);
}
