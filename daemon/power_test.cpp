// Sleep and wake: the rule applied before the Mac sleeps, the wake it times,
// and the simulated Mac's strictness about power messages (whole nights, a lid
// opened early and firmware that refuses the charge inhibit are shipped scenarios).
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include "daemon/globals.h"
#include "daemon/sleep_rule.h"
#include "daemon/system_power.h"
#include "smc/actuators.h"
#include "state/calibration_phase.h"
#include "store/charge_config.h"
#include "test_support.h"

namespace {

// `adapterOffBefore`/`inhibitedBefore`: what the regulation held; `line`: the one "Sleep: ..." line;
// `wakeIn`: seconds to the scheduled wake, 0 for none.
struct SleepCase {
  const char* name; simmac::Firmware firmware; double percent; bool pluggedIn, limitOn; CalibrationPhase phase;
  bool adapterOffBefore, inhibitedBefore; std::string line; bool adapterOff, inhibited; double wakeIn;
};

class SleepRuleTest : public DaemonTest, public ::testing::WithParamInterface<SleepCase> {
 protected:
  simmac::MachineSpec machine() const override { return machineWith(GetParam().firmware, GetParam().percent, GetParam().pluggedIn); }
};

TEST_P(SleepRuleTest, SetsTheHardwareLogsOneLineAndTimesTheWake) {
  const SleepCase& c = GetParam();
  bringUp(), resetChargeProgress(), writeConfig({c.limitOn, 80, c.phase != CalibrationPhase::idle, 30, 0.0}), calPhase = c.phase;
  if (c.percent < 0) simmac::setBatteryService(false);
  ASSERT_TRUE(!c.adapterOffBefore || setAdapterEnabled(false));
  ASSERT_TRUE(!c.inhibitedBefore || setChargingEnabled(false));
  markLog(), prepareForSleep();
  auto lines = newLogMessages();
  std::erase_if(lines, [](const std::string& m) { return m.rfind("Sleep: ", 0) != 0; });
  EXPECT_EQ(lines, std::vector<std::string>{c.line});
  EXPECT_EQ(simmac::adapterDisabled(), c.adapterOff);
  EXPECT_EQ(simmac::chargeInhibited(), c.inhibited);
  const auto wakes = simmac::scheduledWakes();
  ASSERT_EQ(wakes.size(), c.wakeIn == 0 ? 0u : 1u);
  EXPECT_NEAR(wakes.empty() ? 0 : wakes[0] - simmac::now(), c.wakeIn, 0.01);
  cancelScheduledWake();
  EXPECT_TRUE(simmac::scheduledWakes().empty()) << "a wake no longer needed is cancelled";
}

using F = simmac::Firmware;
using P = CalibrationPhase;
INSTANTIATE_TEST_SUITE_P(
    Rows, SleepRuleTest,
    ::testing::Values(
        SleepCase{"aboveLimitAdapterBackOn", F::tahoe, 81, true, true, P::idle, true, false, "Sleep: adapter on, charging inhibited at 81% (limit 80%)", false, true, 0},
        SleepCase{"atLowerEdgeInhibited", F::preTahoe, 78, true, true, P::idle, false, false, "Sleep: adapter on, charging inhibited at 78% (limit 80%)", false, true, 0},
        SleepCase{"belowEdgeChargesWithAWake", F::tahoe, 77.5, true, true, P::idle, false, true, "Sleep: charging at 77% (limit 80%) — wake scheduled in 3 min", false, false, 180},
        SleepCase{"limitOff", F::tahoe, 90, true, false, P::idle, true, true, "Sleep: limit off — nothing to hold", false, false, 0},
        SleepCase{"onBattery", F::tahoe, 50, false, true, P::idle, false, false, "Sleep: on battery at 50% — look-in wake scheduled in 29 min", false, false, 1740},
        SleepCase{"onBatteryNoInhibitLeft", F::tahoe, 85, false, true, P::idle, false, true, "Sleep: on battery at 85% — look-in wake scheduled in 120 min", false, false, 7200},
        SleepCase{"unreadableChangesNothing", F::tahoe, -1, true, true, P::idle, false, true, "Sleep: battery unreadable, nothing changed — look-in wake scheduled in 15 min", false, true, 900},
        SleepCase{"calibrationDischargePauses", F::tahoe, 50, true, true, P::discharging, true, true, "Sleep: calibration paused at 50% — adapter on, charging inhibited until the wake", false, true, 0},
        SleepCase{"noInhibitCalibrationDrainGoesOn", F::tahoe202609, 50, true, true, P::discharging, true, false,
                  "Sleep: calibration drain goes on at 50% with the adapter off — wake scheduled in 120 min", true, false, 7200},
        SleepCase{"calibrationChargeGoesOn", F::tahoe, 50, true, true, P::charging, false, false, "Sleep: calibration charging to 100% goes on at 50%", false, false, 0},
        SleepCase{"noInhibitDrainIsAttended", F::tahoe202609, 80, true, true, P::idle, false, false,
                  "Sleep: adapter off at 80% (limit 80%), no charge inhibit on this firmware — wake scheduled in 60 min", true, false, 3600},
        SleepCase{"noInhibitLowCharges", F::tahoe202609, 78, true, true, P::idle, true, false, "Sleep: charging at 78% (limit 80%) — wake scheduled in 2 min", false, false, 120}),
    [](const auto& info) { return std::string(info.param.name); });

// The wake comes when the battery's own current, else the rate seen while
// awake, else 1% a minute brings the battery to L − 1, within 2 minutes and
// 12 hours; a current out of the battery or no capacity does not count.
TEST_F(DaemonTest, WakeTimeFollowsTheBatteryCurrentOrTheRateSeenAwake) {
  struct Row { std::vector<int64_t> readings; double step; int64_t from; double seconds; int64_t mA = 0, mAh = 5000; };
  const Row rows[] = {{{60}, 60, 60, 19 * 60.0}, {{60, 61, 61, 62}, 60, 62, 17 * 120.0}, {{60, 61, 62}, 60, 78, 120},
                      {{60, 61, 62}, 1200, 40, 43200}, {{60, 61, 62, -61}, 120, 60, 19 * 60.0},  // -61: 61%, not charging
                      {{60, 61, 62}, 60, 59, 1800, 2000}, {{60}, 60, 59, 1200, -600}, {{60}, 60, 59, 1200, 2000, 0}};
  for (const Row& row : rows) {
    resetChargeProgress();
    for (int64_t p : row.readings) noteChargeProgress({std::abs(p), true, p > 0}), simmac::advance(row.step);
    EXPECT_DOUBLE_EQ(secondsToReach(row.from, 79, {row.from, true, true, row.mA, row.mAh}), row.seconds) << row.readings.size();
  }
}

// The simulated Mac as a Mac: a forced sleep cannot be vetoed, and a client
// that does not acknowledge it holds it up 30 s and is at fault.
TEST_F(DaemonTest, AForcedSleepCannotBeVetoed) {
  static io_connect_t connection = 0;
  IONotificationPortRef notify = nullptr;
  io_object_t notifier = 0;
  connection = IORegisterForSystemPower(nullptr, &notify, [](void*, io_service_t, uint32_t type, void* argument) {
    if (type == kIOMessageSystemWillSleep) IOCancelPowerChange(connection, reinterpret_cast<intptr_t>(argument));
  }, &notifier);
  ASSERT_NE(connection, 0u);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(notify), kCFRunLoopDefaultMode);
  const double closed = simmac::now();
  simmac::closeLid(3600);
  while (simmac::now() < closed + 60) CFRunLoopRunInMode(kCFRunLoopDefaultMode, closed + 60 - simmac::now(), true);
  ASSERT_EQ(simmac::sleepSpans().size(), 1u);
  EXPECT_EQ(simmac::sleepSpans()[0].start, closed + 30) << "the veto changed nothing";
  EXPECT_EQ(simmac::faults(), (std::vector<std::string>{"veto of a forced sleep refused", "kIOMessageSystemWillSleep not acknowledged within 30 s"}));
  IODeregisterForSystemPower(&notifier), IOServiceClose(connection), IONotificationPortDestroy(notify);
  EXPECT_EQ(simmac::objectCounts().ioLive + simmac::objectCounts().cfLive, 0);
}

// Through the real registration: a pass is due at once after the wake, and a
// lid opened before the wake the daemon scheduled cancels that wake (the log
// lines are the lid-opened-early scenario's).
TEST_F(DaemonTest, ALidOpenedEarlyCancelsTheScheduledWake) {
  bringUp(), writeConfig({true, 80, false, 30, 0.0}), simmac::setBatteryPercent(60);
  ASSERT_TRUE(registerForSystemPower());
  simmac::closeLid(600);
  while (!takeWakePass()) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, true);
  EXPECT_TRUE(simmac::scheduledWakes().empty());
  deregisterForSystemPower();
}

// Scheduled wakes outlive the process: start-up cancels those under the
// daemon's name that a killed run left, and no one else's.
TEST_F(DaemonTest, StartUpCancelsTheWakesAnEarlierRunLeft) {
  bringUp();
  const auto schedule = [](const char* owner, double in) {
    CFDateRef date = CFDateCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + in);
    EXPECT_EQ(IOPMSchedulePowerEvent(date, __CFStringMakeConstantString(owner), CFSTR(kIOPMAutoWake)), kIOReturnSuccess);
    CFRelease(date);
  };
  schedule("org.hestle.hestled", 600), schedule("com.example.backup", 900), schedule("org.hestle.hestled", 1200);
  markLog(), cancelLeftoverWakes();
  EXPECT_EQ(newLogMessages(), std::vector<std::string>{"Start-up: cancelled 2 wake(s) an earlier run left scheduled"});
  EXPECT_EQ(simmac::scheduledWakes(), std::vector<double>{simmac::now() + 900});
}

}  // namespace
