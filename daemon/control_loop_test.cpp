// One control-loop pass and the regulation table, against the simulated Mac.
#include "daemon/control_loop.h"

#include <filesystem>
#include <functional>
#include <sys/stat.h>

#include "daemon/globals.h"
#include "smc/actuators.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

class ControlLoopTest : public DaemonTest {
 protected:
  void SetUp() override { DaemonTest::SetUp(), bringUp(), loopCount = 1; }  // no state line unless a test asks for it
  // The lines of one pass; of several or with a prefix, those that start with `prefix` and are no state line.
  Lines pass(int passes = 1, const std::string& prefix = "") {
    markLog();
    for (int i = 0; i < passes; ++i) runControlLoopPass();
    Lines lines = newLogMessages();
    if (passes > 1 || !prefix.empty())
      std::erase_if(lines, [&](const std::string& m) { return m.rfind(prefix, 0) != 0 || m.rfind("State: ", 0) == 0; });
    return lines;
  }
};

const std::string kAdapterOff = "setAdapter: CHIE=0x08 (disable) -> true", kAdapterOn = "setAdapter: CHIE=0x00 (enable) -> true",
                  kInhibit = "setCharging: CHTE=1 (disable) -> true", kAllow = "setCharging: CHTE=0 (enable) -> true";

// Before the pass: inhibited, adapter off, plugged in, the percent, the limit and its switch; after: lines, flags, LED.
struct Row { bool inhibited, adapterOff, plugged; int percent; long limit; bool limitOn; Lines lines; bool inhibitedAfter, adapterOffAfter; int led; };

TEST_F(ControlLoopTest, RegulationFollowsTheTable) {
  const Row rows[] = {
      {true, true, true, 85, 80, false, {kAdapterOn, kAllow}, false, false, 0},  // limit off: hand back
      {false, false, true, 85, 80, false, {}, false, false, 0},
      {true, false, false, 70, 80, true, {"Unplugged — clearing states", kAllow}, false, false, 0},
      {false, false, false, 70, 80, true, {}, false, false, 0},
      {false, false, true, 83, 80, true, {"ACTION: Battery 83% > 80% — disabling adapter", kAdapterOff, kInhibit}, true, true, 3},
      {true, true, true, 83, 80, true, {}, true, true, 3},
      {true, true, true, 80, 80, true, {"ACTION: At target 80% — re-enabling adapter", kAdapterOn}, true, false, 3},
      {false, false, true, 80, 80, true, {kInhibit}, true, false, 3},
      {true, false, true, 78, 80, true, {}, true, false, 3},  // the band keeps what it has
      {false, false, true, 79, 80, true, {}, false, false, 4},
      {true, true, true, 79, 80, true, {kAdapterOn}, true, false, 3},
      {true, false, true, 77, 80, true, {"ACTION: Battery 77% < 78% — enabling charging", kAllow}, false, false, 4},
      {false, true, true, 40, 80, true, {kAdapterOn}, false, false, 4},
      {false, false, true, 1, 0, true, {"ACTION: Battery 1% > 0% — disabling adapter", kAdapterOff, kInhibit}, true, true, 3},
      {false, false, true, 100, 150, true, {}, false, false, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.percent << "% limit " << r.limit << " " << r.lines.size());
    boot({}), bringUp(), simmac::setPluggedIn(r.plugged), simmac::setBatteryPercent(r.percent);
    ASSERT_TRUE((!r.inhibited || setChargingEnabled(false)) && (!r.adapterOff || setAdapterEnabled(false)));
    writeSettings({r.limitOn, r.limit});
    EXPECT_EQ(pass(), r.lines);
    EXPECT_TRUE(currentlyInhibited == r.inhibitedAfter && simmac::chargeInhibited() == r.inhibitedAfter);
    EXPECT_TRUE(adapterDisabled == r.adapterOffAfter && simmac::adapterDisabled() == r.adapterOffAfter);
    EXPECT_EQ(simmac::ledValue(), r.led);
    EXPECT_EQ(publishedStatus(), (ChargeStatus{true, r.inhibitedAfter, false, std::nullopt, r.percent, simmac::now()}));
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
  EXPECT_EQ(pass(), Lines{});
  EXPECT_TRUE(simmac::smcExchanges().empty());
  for (const auto& [on, led] : {std::pair{true, 4}, {false, 0}}) {
    writeSettings({on, 95}), pass();
    EXPECT_EQ(simmac::ledValue(), led);
  }
  simmac::clearSmcExchanges();
  pass();
  EXPECT_TRUE(simmac::smcExchanges().empty());
}

// At an unplug the controller keeps refusing to re-enable charging: the flag
// stays, and the first attempt and the eventual success are logged, not each retry.
TEST_F(ControlLoopTest, ARefusedRestoreAtUnplugKeepsTheFlagAndLogsTheFirstAttemptAndTheSuccessOnly) {
  writeSettings(Settings{});
  pass();  // at the limit: inhibited
  simmac::setPluggedIn(false), simmac::rejectSmcKey("CHTE", false, true);
  EXPECT_EQ(pass(), (Lines{"Unplugged — clearing states", "setCharging: CHTE=0 (enable) -> false", "WARNING: Failed to enable charging!"}));
  EXPECT_TRUE(currentlyInhibited);
  EXPECT_EQ(pass(359), Lines{});  // an hour of refused retries
  simmac::rejectSmcKey("CHTE", false, false);
  EXPECT_EQ(pass(2), (Lines{"setCharging: CHTE=0 (enable) -> true", "Unplugged — charging re-enabled after 360 refused attempts"}));
  EXPECT_FALSE(currentlyInhibited || simmac::chargeInhibited());
}

// Hardware that says no: the battery cannot be read while the adapter is off.
TEST_F(ControlLoopTest, AFailedBatteryReadWithTheAdapterOffReenablesIt) {
  writeSettings(Settings{}), simmac::setBatteryService(false);
  ASSERT_TRUE(setAdapterEnabled(false));
  EXPECT_EQ(pass(), Lines{kAdapterOn});
  EXPECT_EQ(publishedStatus().batteryPercent, 0);
}

// Settings that cannot be used: said once with the reason when they become
// so, once when they are usable again or removed, nothing between.
TEST_F(ControlLoopTest, UnusableSettingsAreLoggedOnceWithTheReason) {
  const std::string valid = settingsJson({}), path = configPath;
  auto edited = [&](const std::string& from, const std::string& to) { return std::string(valid).replace(valid.find(from), from.size(), to); };
  auto settingsLines = [&](int passes) { return pass(passes, "Settings: "); };
  auto write = [&](const std::string& text) { return [&, text] { writeWholeFile(path, text); }; };
  const std::pair<std::function<void()>, std::string> rows[] = {
      {write(valid.substr(0, 40)), "not JSON"}, {write("[" + valid + "]"), "not a JSON object"},
      {write("{\"x\":" + std::string(70, '[') + std::string(70, ']') + "}"), "nested deeper than 64 levels"},
      {write(valid + std::string(70000, ' ')), "larger than 64 KiB"},
      {[&] { writeWholeFile(path + ".real", valid), std::filesystem::create_symlink(path + ".real", path); }, "not a regular file"},
      {[&] { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }, "not a regular file"},  // read without waiting for a writer
      {write(edited("true", "1")), "\"chargeLimitEnabled\" is not true or false"},
      {write(edited(":80", ":\"80\"")), "\"chargeLimitPercent\" is not a whole number"},
      {write(edited(":0}", ":null}")), "\"lastCalibrationTimestamp\" is not a number"},
      {write(edited(":0}", ":0,\"adapterCycling\":0}")), "\"adapterCycling\" is not true or false"},
      {write(edited("\"calibrationIntervalDays\":30,", "")), "\"calibrationIntervalDays\" missing"},
      {write(edited("{", "{\"calibrationEnabled\":true,")), "\"calibrationEnabled\" given twice"},
  };
  EXPECT_EQ(settingsLines(2), Lines{});  // no file is no fault
  writeWholeFile(path, valid);
  EXPECT_EQ(settingsLines(2), Lines{});
  for (const auto& [plant, reason] : rows) {
    SCOPED_TRACE(reason);  // from a valid file
    std::filesystem::remove_all(path), plant();
    EXPECT_EQ(settingsLines(3), Lines{"Settings: config.json is not valid (" + reason + ") — limit off until it is fixed"});
    EXPECT_FALSE(currentlyInhibited || adapterDisabled);  // the defaults: limit off
    std::filesystem::remove_all(path), writeWholeFile(path, valid);
    EXPECT_EQ(settingsLines(3), Lines{"Settings: config.json is usable again"});
    EXPECT_TRUE(currentlyInhibited);  // at 80%: held there again
  }
  writeWholeFile(path, "[]");
  EXPECT_EQ(settingsLines(1).size(), 1u);
  writeWholeFile(path, "{");  // another fault is still the same state
  EXPECT_EQ(settingsLines(2), Lines{});
  std::filesystem::remove_all(path);
  EXPECT_EQ(settingsLines(2), Lines{"Settings: config.json removed — running with the defaults (limit off)"});
}

}  // namespace
