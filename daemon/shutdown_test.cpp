// Tests of the clean shutdown and of stop requests served by the loop, in-process.
#include "daemon/shutdown.h"

#include <csignal>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/startup.h"
#include "smc/actuators.h"
#include "smc/smc_client.h"
#include "store/charge_status.h"
#include "store/log.h"
#include "test_support.h"

namespace {

class ShutdownTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    logInit();
    openSmc();
    detectFirmware();
    markLog();
  }
  void TearDown() override {
    clearStopRequest();
    DaemonTest::TearDown();
  }
  ChargeStatus status() const {
    auto decoded = decodeChargeStatus(readWholeFile(statusPath));
    EXPECT_TRUE(decoded.has_value()) << readWholeFile(statusPath);
    return decoded.value_or(ChargeStatus{});
  }
};

TEST_F(ShutdownTest, RestoresAdapterThenChargingThenLedAndPublishesTheEnd) {
  ASSERT_TRUE(setChargingEnabled(false));
  ASSERT_TRUE(setAdapterEnabled(false));
  simmac::setSmcKeyValue("ACLC", {3});
  markLog();
  simmac::advance(12.25);
  cleanShutdown();
  EXPECT_EQ(newLogMessages(), (std::vector<std::string>{"Clean shutdown: restoring all keys",
                                                         "setAdapter: CHIE=0x00 (enable) -> true",
                                                         "setCharging: CHTE=0 (enable) -> true"}));
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_EQ(simmac::ledValue(), 0);
  const ChargeStatus expected{false, false, false, std::nullopt, 0, simmac::now()};
  EXPECT_EQ(status(), expected);
  EXPECT_EQ(fileMode(statusPath), 0644u);
}

TEST_F(ShutdownTest, WithNothingHeldStillHandsBackTheLedAndWritesTheStatus) {
  simmac::setSmcKeyValue("ACLC", {4});
  simmac::clearSmcExchanges();
  cleanShutdown();
  EXPECT_EQ(newLogMessages(), std::vector<std::string>{"Clean shutdown: restoring all keys"});
  EXPECT_EQ(simmac::ledValue(), 0);
  // Key info and the write of ACLC: nothing else reached the controller.
  ASSERT_EQ(simmac::smcExchanges().size(), 2u);
  EXPECT_FALSE(status().daemonRunning);
}

TEST_F(ShutdownTest, AFailedRestoreIsReportedInTheFinalStatus) {
  ASSERT_TRUE(setChargingEnabled(false));
  simmac::rejectSmcKey("CHTE", false, true);
  markLog();
  cleanShutdown();
  EXPECT_EQ(newLogMessages(), (std::vector<std::string>{"Clean shutdown: restoring all keys",
                                                         "setCharging: CHTE=0 (enable) -> false",
                                                         "WARNING: Failed to enable charging!"}));
  EXPECT_TRUE(status().chargingInhibited);
  EXPECT_FALSE(status().daemonRunning);
}

class StopRequestTest : public DaemonTest {
 protected:
  void TearDown() override {
    clearStopRequest();
    simmac::clearSchedule();
    DaemonTest::TearDown();
  }
  // Runs the daemon with a stop delivered by `deliver` 35 s into the run.
  int runWithStopAt(double after, const std::function<void()>& deliver) {
    simmac::schedule(simmac::now() + after, deliver);
    return runDaemon(dir.path());
  }
};

TEST_F(StopRequestTest, SigtermDuringTheSleepEndsTheRunCleanly) {
  writeWholeFile(dir.file("config.json"),
                 R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
                 R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  simmac::setBatteryPercent(90);
  const double start = simmac::now();
  EXPECT_EQ(runWithStopAt(35.0, [] { raise(SIGTERM); }), 0);
  // Passes at 0, 10, 20, 30; the stop at 35 s wakes the fourth sleep at once.
  EXPECT_EQ(loopCount, 4);
  EXPECT_DOUBLE_EQ(simmac::now(), start + 35.0);
  const auto lines = logMessages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "Clean shutdown: restoring all keys");
  EXPECT_EQ(lines[lines.size() - 2], "setAdapter: CHIE=0x00 (enable) -> true");
  EXPECT_EQ(lines[lines.size() - 1], "setCharging: CHTE=0 (enable) -> true");
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_EQ(simmac::ledValue(), 0);
  auto status = decodeChargeStatus(readWholeFile(dir.file("status.json")));
  ASSERT_TRUE(status.has_value());
  EXPECT_FALSE(status->daemonRunning);
  EXPECT_EQ(status->lastUpdate, start + 35.0);
}

TEST_F(StopRequestTest, SigintEndsTheRunCleanlyToo) {
  EXPECT_EQ(runWithStopAt(5.0, [] { raise(SIGINT); }), 0);
  EXPECT_EQ(loopCount, 1);
  EXPECT_EQ(logMessages().back(), "Clean shutdown: restoring all keys");
}

TEST_F(StopRequestTest, NoPassRunsAfterTheStop) {
  EXPECT_EQ(runWithStopAt(0.0, [] { requestStop(); }), 0);
  EXPECT_EQ(loopCount, 1);
  const auto lines = logMessages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Clean shutdown: restoring all keys"), 1);
  EXPECT_EQ(lines.back(), "Clean shutdown: restoring all keys");
}

}  // namespace
