// One control-loop pass and the regulation table, against the simulated Mac.
#include "daemon/control_loop.h"

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "smc/actuators.h"
#include "test_support.h"

namespace {

class ControlLoopTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    bringUp();
    loopCount = 1;  // no state line unless a test asks for it
  }
  std::vector<std::string> pass() {
    markLog();
    runControlLoopPass();
    return newLogMessages();
  }
};

const std::string kAdapterOff = "setAdapter: CHIE=0x08 (disable) -> true";
const std::string kAdapterOn = "setAdapter: CHIE=0x00 (enable) -> true";
const std::string kInhibit = "setCharging: CHTE=1 (disable) -> true";
const std::string kAllow = "setCharging: CHTE=0 (enable) -> true";

struct Row {
  bool inhibited, adapterOff, plugged;  // before the pass
  int percent;
  long limit;
  bool limitOn;
  std::vector<std::string> lines;
  bool inhibitedAfter, adapterOffAfter;
  int led;
};

TEST_F(ControlLoopTest, RegulationFollowsTheTable) {
  const Row rows[] = {
      {true, true, true, 85, 80, false, {kAdapterOn, kAllow}, false, false, 0},  // limit off: hand back
      {false, false, true, 85, 80, false, {}, false, false, 0},
      {true, false, false, 70, 80, true, {"Unplugged — clearing states", kAllow}, false, false, 0},
      {false, false, false, 70, 80, true, {}, false, false, 0},
      {false, false, true, 83, 80, true, {"ACTION: Battery 83% > 80% — disabling adapter", kAdapterOff, kInhibit},
       true, true, 3},
      {true, true, true, 83, 80, true, {}, true, true, 3},
      {true, true, true, 80, 80, true, {"ACTION: At target 80% — re-enabling adapter", kAdapterOn}, true, false, 3},
      {false, false, true, 80, 80, true, {kInhibit}, true, false, 3},
      {true, false, true, 79, 80, true, {}, true, false, 3},  // the band keeps what it has
      {true, false, true, 78, 80, true, {}, true, false, 3},
      {false, false, true, 79, 80, true, {}, false, false, 4},
      {true, true, true, 79, 80, true, {kAdapterOn}, true, false, 3},
      {true, false, true, 77, 80, true, {"ACTION: Battery 77% < 78% — enabling charging", kAllow}, false, false, 4},
      {false, false, true, 50, 80, true, {}, false, false, 4},
      {false, true, true, 40, 80, true, {kAdapterOn}, false, false, 4},
      {false, false, true, 1, 0, true, {"ACTION: Battery 1% > 0% — disabling adapter", kAdapterOff, kInhibit}, true,
       true, 3},
      {false, false, true, 100, 150, true, {}, false, false, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.percent << "% limit " << r.limit << " " << r.lines.size());
    boot({});
    bringUp();
    simmac::setPluggedIn(r.plugged);
    simmac::setBatteryPercent(r.percent);
    if (r.inhibited) {
      ASSERT_TRUE(setChargingEnabled(false));
    }
    if (r.adapterOff) {
      ASSERT_TRUE(setAdapterEnabled(false));
    }
    writeSettings({r.limitOn, r.limit});
    EXPECT_EQ(pass(), r.lines);
    EXPECT_EQ(currentlyInhibited, r.inhibitedAfter);
    EXPECT_EQ(adapterDisabled, r.adapterOffAfter);
    EXPECT_EQ(simmac::chargeInhibited(), r.inhibitedAfter);
    EXPECT_EQ(simmac::adapterDisabled(), r.adapterOffAfter);
    EXPECT_EQ(simmac::ledValue(), r.led);
    EXPECT_EQ(publishedStatus().chargingInhibited, r.inhibitedAfter);
    EXPECT_EQ(publishedStatus().batteryPercent, r.percent);
    const simmac::ObjectCounts counts = simmac::objectCounts();  // a pass leaks nothing
    EXPECT_EQ(counts.cfLive, 0);
    EXPECT_EQ(counts.ioLive, 1);  // the SMC connection
    EXPECT_EQ(counts.badReleases, 0);
  }
}

TEST_F(ControlLoopTest, StateLineOnTheFirstPassThenEveryThirtieth) {
  writeSettings(Settings{});
  simmac::setSmcKeyValue("CHTE", {1, 0, 0, 0});  // left by someone else: the flags do not know
  loopCount = 0;
  EXPECT_EQ(pass().at(0), "State: battery=80% plugged=true charging=false | limit: enabled=true target=80% | "
                          "inhibited=false adapterOff=false | cal=Idle");
  for (int n = 1; n < 30; ++n) EXPECT_EQ(countLines(pass(), "State: "), 0u) << n;
  EXPECT_EQ(countLines(pass(), "State: battery=80% plugged=true"), 1u);
}

TEST_F(ControlLoopTest, WithoutSettingsNothingIsWrittenAndTheLedIsHandedBackOnce) {
  simmac::setBatteryPercent(90);
  EXPECT_EQ(pass(), std::vector<std::string>{});
  EXPECT_TRUE(simmac::smcExchanges().empty());
  EXPECT_EQ(publishedStatus(), (ChargeStatus{true, false, false, std::nullopt, 90, simmac::now()}));
  writeSettings({true, 95});
  pass();
  EXPECT_EQ(simmac::ledValue(), 4);
  writeSettings({false, 95});
  pass();
  EXPECT_EQ(simmac::ledValue(), 0);
  simmac::clearSmcExchanges();
  pass();
  EXPECT_TRUE(simmac::smcExchanges().empty());
}

TEST_F(ControlLoopTest, ARefusedRestoreAtUnplugKeepsTheFlagAndIsRetried) {
  writeSettings(Settings{});
  pass();  // at the limit: inhibited
  simmac::setPluggedIn(false);
  simmac::rejectSmcKey("CHTE", false, true);
  const std::vector<std::string> attempt = {"Unplugged — clearing states", "setCharging: CHTE=0 (enable) -> false",
                                            "WARNING: Failed to enable charging!"};
  EXPECT_EQ(pass(), attempt);
  EXPECT_TRUE(currentlyInhibited);
  EXPECT_EQ(pass(), attempt);
  simmac::rejectSmcKey("CHTE", false, false);
  simmac::setBatteryPercent(60);
  simmac::setPluggedIn(true);
  pass();
  EXPECT_FALSE(currentlyInhibited);
  EXPECT_TRUE(simmac::batteryCharging());
  EXPECT_EQ(simmac::ledValue(), 4);
}

TEST_F(ControlLoopTest, AFailedBatteryReadWithTheAdapterOffReenablesIt) {
  writeSettings(Settings{});
  ASSERT_TRUE(setAdapterEnabled(false));
  simmac::setBatteryService(false);
  EXPECT_EQ(pass(), std::vector<std::string>{kAdapterOn});
  EXPECT_EQ(publishedStatus().batteryPercent, 0);
}

TEST_F(ControlLoopTest, AnActiveCalibrationSkipsTheTableAndPublishesItsPhase) {
  writeSettings({true, 80, true});
  EXPECT_EQ(pass().at(0), "Calibration: STARTING — last calibration was never");
  EXPECT_EQ(publishedStatus().calibrationPhase, std::optional<std::string>("Discharging to 15%"));
  EXPECT_TRUE(publishedStatus().calibrationActive);
  EXPECT_TRUE(adapterDisabled);
  EXPECT_EQ(simmac::ledValue(), 3);
}

// Settings that cannot be used: said once with the reason when they become
// so, once when they are usable again or removed, nothing between.
TEST_F(ControlLoopTest, UnusableSettingsAreLoggedOnceWithTheReason) {
  const std::string valid = settingsJson({});
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = valid;
    return text.replace(text.find(from), from.size(), to);
  };
  auto settingsLines = [&](int passes) {
    markLog();
    for (int i = 0; i < passes; ++i) runControlLoopPass();
    std::vector<std::string> lines;
    for (const auto& m : newLogMessages()) if (m.rfind("Settings: ", 0) == 0) lines.push_back(m);
    return lines;
  };
  const std::string path = configPath;
  const std::pair<std::function<void()>, std::string> rows[] = {
      {[&] { writeWholeFile(path, valid.substr(0, 40)); }, "not JSON"},
      {[&] { writeWholeFile(path, "[" + valid + "]"); }, "not a JSON object"},
      {[&] { writeWholeFile(path, "{\"x\":" + std::string(70, '[') + std::string(70, ']') + "}"); },
       "nested deeper than 64 levels"},
      {[&] { writeWholeFile(path, valid + std::string(70000, ' ')); }, "larger than 64 KiB"},
      {[&] { std::filesystem::create_directory(path); }, "not a regular file"},
      {[&] { writeWholeFile(path + ".real", valid), std::filesystem::create_symlink(path + ".real", path); },
       "not a regular file"},
      {[&] { writeWholeFile(path, edited("true", "1")); }, "\"chargeLimitEnabled\" is not true or false"},
      {[&] { writeWholeFile(path, edited(":80", ":\"80\"")); }, "\"chargeLimitPercent\" is not a whole number"},
      {[&] { writeWholeFile(path, edited(":0}", ":null}")); }, "\"lastCalibrationTimestamp\" is not a number"},
      {[&] { writeWholeFile(path, edited("\"calibrationIntervalDays\":30,", "")); },
       "\"calibrationIntervalDays\" missing"},
      {[&] { writeWholeFile(path, edited("{", "{\"calibrationEnabled\":true,")); },
       "\"calibrationEnabled\" given twice"},
  };
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{});  // no file is no fault
  for (const auto& [plant, reason] : rows) {
    SCOPED_TRACE(reason);
    writeWholeFile(path, valid);
    EXPECT_EQ(settingsLines(2), std::vector<std::string>{});
    std::filesystem::remove_all(path);
    plant();
    EXPECT_EQ(settingsLines(3), std::vector<std::string>{"Settings: config.json is not valid (" + reason +
                                                         ") — limit off until it is fixed"});
    EXPECT_FALSE(currentlyInhibited || adapterDisabled);  // the defaults: limit off
    std::filesystem::remove_all(path);
    writeWholeFile(path, valid);
    EXPECT_EQ(settingsLines(3), std::vector<std::string>{"Settings: config.json is usable again"});
    EXPECT_TRUE(currentlyInhibited);  // at 80%: held there again
  }
  writeWholeFile(path, "[]");
  EXPECT_EQ(settingsLines(1).size(), 1u);
  writeWholeFile(path, "{");  // another fault is still the same state
  EXPECT_EQ(settingsLines(2), std::vector<std::string>{});
  std::filesystem::remove_all(path);
  EXPECT_EQ(settingsLines(2),
            std::vector<std::string>{"Settings: config.json removed — running with the defaults (limit off)"});
}

}  // namespace
