// Tests of scenario events applied to a booted simulated Mac and a data directory.
#include "harness/scenario_events.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <unistd.h>

#include "battery/battery_reading.h"
#include "test_support.h"

namespace {

volatile sig_atomic_t caughtSignal = 0;
void recordSignal(int signal) { caughtSignal = signal; }

class ScenarioEventsTest : public DaemonTest {};

}  // namespace

TEST_F(ScenarioEventsTest, PlugPercentAndBatteryServiceReachTheMachine) {
  ScenarioEvent unplug;
  unplug.plug = false;
  unplug.percent = 40.0;
  applyScenarioEvent(unplug, dir.path());
  EXPECT_FALSE(simmac::pluggedIn());
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 40.0);
  EXPECT_EQ(getBatteryPercent(), (BatteryReading{40, false, false}));

  ScenarioEvent gone;
  gone.batteryService = false;
  applyScenarioEvent(gone, dir.path());
  EXPECT_EQ(getBatteryPercent(), (BatteryReading{0, false, false}));

  ScenarioEvent back;
  back.batteryService = true;
  back.plug = true;
  applyScenarioEvent(back, dir.path());
  EXPECT_TRUE(simmac::pluggedIn());
  EXPECT_EQ(getBatteryPercent().percent, 40);
  EXPECT_TRUE(getBatteryPercent().pluggedIn);
}

TEST_F(ScenarioEventsTest, ConfigIsWrittenWholeWithMode0666AndRemovedByNull) {
  const std::string path = dir.file("config.json");
  ScenarioEvent write;
  write.setsConfig = true;
  write.config = "{\"chargeLimitEnabled\":true}";
  applyScenarioEvent(write, dir.path());
  EXPECT_EQ(readWholeFile(path), "{\"chargeLimitEnabled\":true}");
  EXPECT_EQ(fileMode(path), 0666u);

  write.config = "tru";  // shorter content replaces the whole file
  applyScenarioEvent(write, dir.path());
  EXPECT_EQ(readWholeFile(path), "tru");
  EXPECT_FALSE(std::filesystem::exists(path + ".scenario"));

  ScenarioEvent remove;
  remove.setsConfig = true;
  applyScenarioEvent(remove, dir.path());
  EXPECT_FALSE(std::filesystem::exists(path));

  ScenarioEvent unrelated;  // an event without "config" leaves the file alone
  unrelated.plug = true;
  placeScenarioConfig(dir.path(), std::string("{}"));
  applyScenarioEvent(unrelated, dir.path());
  EXPECT_EQ(readWholeFile(path), "{}");
}

TEST_F(ScenarioEventsTest, SignalIsRaisedInThisProcessAfterTheOtherChanges) {
  struct sigaction previous {};
  struct sigaction catcher {};
  catcher.sa_handler = recordSignal;
  sigemptyset(&catcher.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &catcher, &previous), 0);
  caughtSignal = 0;
  ScenarioEvent event;
  event.plug = false;
  event.signal = SIGINT;
  applyScenarioEvent(event, dir.path());
  EXPECT_EQ(caughtSignal, SIGINT);
  EXPECT_FALSE(simmac::pluggedIn());
  sigaction(SIGINT, &previous, nullptr);
}

TEST(ScenarioEventWordsTest, EventsAreDescribedInAFewWords) {
  ScenarioEvent e;
  e.plug = false;
  EXPECT_EQ(describeScenarioEvent(e), "unplug");
  e.percent = 40.0;
  EXPECT_EQ(describeScenarioEvent(e), "unplug, 40%");
  ScenarioEvent f;
  f.batteryService = false;
  f.setsConfig = true;
  f.signal = SIGTERM;
  EXPECT_EQ(describeScenarioEvent(f), "battery gone, no config, SIGTERM");
  ScenarioEvent g;
  g.percent = 77.5;
  g.setsConfig = true;
  g.config = "{}";
  EXPECT_EQ(describeScenarioEvent(g), "77.5%, config");
}
