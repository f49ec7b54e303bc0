// Tests of the charge actuators and the MagSafe LED on every key family.
#include "smc/actuators.h"

#include <functional>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "smc/magsafe_led.h"
#include "smc/smc_client.h"
#include "smc/smc_protocol.h"
#include "smc/smc_test_helpers.h"
#include "store/log.h"
#include "test_support.h"

namespace {

enum class Actuator { charging, adapter };

struct ActuatorCase {
  const char* what;
  simmac::Firmware firmware;
  std::vector<std::string> missingKeys;
  std::vector<std::string> rejectedKeys;
  Actuator actuator;
  bool enable;     // the argument
  bool flagBefore; // currentlyInhibited / adapterDisabled before the call
  std::vector<std::string> lines;
  bool result;
  bool flagAfter;
  std::vector<std::string> keysTried;  // key info asked, in order
  std::vector<std::string> keysWritten;
  std::vector<std::pair<std::string, std::string>> valuesAfter;  // key, hex
};

void PrintTo(const ActuatorCase& c, std::ostream* os) { *os << c.what; }

// Boots the case's machine and runs the real probe, which chooses the family.
class ActuatorTest : public DaemonTest, public ::testing::WithParamInterface<ActuatorCase> {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.firmware = GetParam().firmware;
    spec.missingKeys = GetParam().missingKeys;
    spec.rejectedKeys = GetParam().rejectedKeys;
    return spec;
  }
  void SetUp() override {
    DaemonTest::SetUp();
    logInit();
    openSmc();
    detectFirmware();
    simmac::clearSmcExchanges();
    markLog();
  }
  bool& flag() const { return GetParam().actuator == Actuator::charging ? currentlyInhibited : adapterDisabled; }
  bool call() const {
    return GetParam().actuator == Actuator::charging ? setChargingEnabled(GetParam().enable)
                                                     : setAdapterEnabled(GetParam().enable);
  }
};

TEST_P(ActuatorTest, WritesLogsAndKeepsItsFlag) {
  const auto& c = GetParam();
  flag() = c.flagBefore;
  const bool otherFlag = c.actuator == Actuator::charging ? adapterDisabled : currentlyInhibited;

  EXPECT_EQ(call(), c.result);

  EXPECT_EQ(newLogMessages(), c.lines);
  EXPECT_EQ(flag(), c.flagAfter);
  EXPECT_EQ(c.actuator == Actuator::charging ? adapterDisabled : currentlyInhibited, otherFlag);
  EXPECT_EQ(keysSentWithCommand(kSMCCommandReadKeyInfo), c.keysTried);
  EXPECT_EQ(keysSentWithCommand(kSMCCommandWriteBytes), c.keysWritten);
  for (const auto& [key, hex] : c.valuesAfter) EXPECT_EQ(simmac::smcKeyHex(key), hex) << key;
}

using F = simmac::Firmware;
using A = Actuator;

INSTANTIATE_TEST_SUITE_P(
    Tahoe, ActuatorTest,
    ::testing::Values(
        ActuatorCase{"inhibit", F::tahoe, {}, {}, A::charging, false, false,
                     {"setCharging: CHTE=1 (disable) -> true"}, true, true, {"CHTE"}, {"CHTE"},
                     {{"CHTE", "01000000"}}},
        ActuatorCase{"allow", F::tahoe, {}, {}, A::charging, true, true,
                     {"setCharging: CHTE=0 (enable) -> true"}, true, false, {"CHTE"}, {"CHTE"},
                     {{"CHTE", "00000000"}}},
        // The flag already shows the state: the keys are written all the same.
        ActuatorCase{"allowAgain", F::tahoe, {}, {}, A::charging, true, false,
                     {"setCharging: CHTE=0 (enable) -> true"}, true, false, {"CHTE"}, {"CHTE"},
                     {{"CHTE", "00000000"}}},
        ActuatorCase{"inhibitRejected", F::tahoe, {}, {"CHTE"}, A::charging, false, false,
                     {"setCharging: CHTE=1 (disable) -> false", "WARNING: Failed to disable charging!"}, false,
                     false, {"CHTE"}, {"CHTE"}, {}},
        ActuatorCase{"allowRejected", F::tahoe, {}, {"CHTE"}, A::charging, true, true,
                     {"setCharging: CHTE=0 (enable) -> false", "WARNING: Failed to enable charging!"}, false, true,
                     {"CHTE"}, {"CHTE"}, {}},
        ActuatorCase{"disableAdapter", F::tahoe, {}, {}, A::adapter, false, false,
                     {"setAdapter: CHIE=0x08 (disable) -> true"}, true, true, {"CHIE"}, {"CHIE"},
                     {{"CHIE", "08"}}},
        ActuatorCase{"enableAdapter", F::tahoe, {}, {}, A::adapter, true, true,
                     {"setAdapter: CHIE=0x00 (enable) -> true"}, true, false, {"CHIE"}, {"CHIE"},
                     {{"CHIE", "00"}}},
        ActuatorCase{"disableAdapterWithoutCHIE", F::tahoe, {"CHIE"}, {}, A::adapter, false, false,
                     {"setAdapter: CHIE=0x08 (disable) -> false", "WARNING: Failed to disable adapter!"}, false,
                     false, {"CHIE"}, {}, {}},
        ActuatorCase{"enableAdapterWithoutCHIE", F::tahoe, {"CHIE"}, {}, A::adapter, true, true,
                     {"setAdapter: CHIE=0x00 (enable) -> false", "WARNING: Failed to enable adapter!"}, false, true,
                     {"CHIE"}, {}, {}}),
    [](const auto& info) { return std::string(info.param.what); });

INSTANTIATE_TEST_SUITE_P(
    PreTahoe, ActuatorTest,
    ::testing::Values(
        ActuatorCase{"inhibit", F::preTahoe, {}, {}, A::charging, false, false,
                     {"setCharging: CH0B=true CH0C=true val=0x02"}, true, true, {"CH0B", "CH0C"},
                     {"CH0B", "CH0C"}, {{"CH0B", "02"}, {"CH0C", "02"}}},
        ActuatorCase{"allow", F::preTahoe, {}, {}, A::charging, true, true,
                     {"setCharging: CH0B=true CH0C=true val=0x00"}, true, false, {"CH0B", "CH0C"},
                     {"CH0B", "CH0C"}, {{"CH0B", "00"}, {"CH0C", "00"}}},
        ActuatorCase{"inhibitOnlyCH0B", F::preTahoe, {"CH0C"}, {}, A::charging, false, false,
                     {"setCharging: CH0B=true CH0C=false val=0x02"}, true, true, {"CH0B", "CH0C"}, {"CH0B"},
                     {{"CH0B", "02"}}},
        // The second key is written although the first one failed.
        ActuatorCase{"inhibitOnlyCH0C", F::preTahoe, {"CH0B"}, {}, A::charging, false, false,
                     {"setCharging: CH0B=false CH0C=true val=0x02"}, true, true, {"CH0B", "CH0C"}, {"CH0C"},
                     {{"CH0C", "02"}}},
        ActuatorCase{"inhibitBothRejected", F::preTahoe, {}, {"CH0B", "CH0C"}, A::charging, false, false,
                     {"setCharging: CH0B=false CH0C=false val=0x02", "WARNING: Failed to disable charging!"},
                     false, false, {"CH0B", "CH0C"}, {"CH0B", "CH0C"}, {}},
        ActuatorCase{"allowBothMissing", F::preTahoe, {"CH0B", "CH0C"}, {}, A::charging, true, true,
                     {"setCharging: CH0B=false CH0C=false val=0x00", "WARNING: Failed to enable charging!"}, false,
                     true, {"CH0B", "CH0C"}, {}, {}},
        ActuatorCase{"disableAdapter", F::preTahoe, {}, {}, A::adapter, false, false,
                     {"setAdapter: CH0I=true CH0J=true val=0x01"}, true, true, {"CH0I", "CH0J"},
                     {"CH0I", "CH0J"}, {{"CH0I", "01"}, {"CH0J", "01"}}},
        ActuatorCase{"enableAdapter", F::preTahoe, {}, {}, A::adapter, true, true,
                     {"setAdapter: CH0I=true CH0J=true val=0x00"}, true, false, {"CH0I", "CH0J"},
                     {"CH0I", "CH0J"}, {{"CH0I", "00"}, {"CH0J", "00"}}},
        ActuatorCase{"disableAdapterOnlyCH0J", F::preTahoe, {}, {"CH0I"}, A::adapter, false, false,
                     {"setAdapter: CH0I=false CH0J=true val=0x01"}, true, true, {"CH0I", "CH0J"},
                     {"CH0I", "CH0J"}, {{"CH0J", "01"}}},
        ActuatorCase{"disableAdapterBothRejected", F::preTahoe, {}, {"CH0I", "CH0J"}, A::adapter, false, false,
                     {"setAdapter: CH0I=false CH0J=false val=0x01", "WARNING: Failed to disable adapter!"}, false,
                     false, {"CH0I", "CH0J"}, {"CH0I", "CH0J"}, {}},
        ActuatorCase{"enableAdapterBothRejected", F::preTahoe, {}, {"CH0I", "CH0J"}, A::adapter, true, true,
                     {"setAdapter: CH0I=false CH0J=false val=0x00", "WARNING: Failed to enable adapter!"}, false,
                     true, {"CH0I", "CH0J"}, {"CH0I", "CH0J"}, {}}),
    [](const auto& info) { return std::string(info.param.what); });

// The September 2026 firmware: CHTE answers key info but refuses writes, so
// charging cannot be inhibited there; the adapter key works.
INSTANTIATE_TEST_SUITE_P(
    September2026, ActuatorTest,
    ::testing::Values(
        // The probe found the stub: the inhibit is not tried again.
        ActuatorCase{"inhibit", F::tahoe202609, {}, {}, A::charging, false, false, {}, false, false, {}, {}, {}},
        ActuatorCase{"allow", F::tahoe202609, {}, {}, A::charging, true, true, {}, false, true, {}, {}, {}},
        ActuatorCase{"disableAdapter", F::tahoe202609, {}, {}, A::adapter, false, false,
                     {"setAdapter: CHIE=0x08 (disable) -> true"}, true, true, {"CHIE"}, {"CHIE"},
                     {{"CHIE", "08"}}},
        ActuatorCase{"enableAdapter", F::tahoe202609, {}, {}, A::adapter, true, true,
                     {"setAdapter: CHIE=0x00 (enable) -> true"}, true, false, {"CHIE"}, {"CHIE"},
                     {{"CHIE", "00"}}}),
    [](const auto& info) { return std::string(info.param.what); });

class ActuatorFamilyTest : public DaemonTest {
 protected:
  void start(simmac::Firmware firmware) {
    simmac::MachineSpec spec;
    spec.firmware = firmware;
    simmac::boot(spec);
    initGlobals(dir.path());
    logInit();
    openSmc();
    detectFirmware();
    simmac::clearSmcExchanges();
    markLog();
  }
};

TEST_F(ActuatorFamilyTest, MachineFollowsTheWrites) {
  for (F firmware : {F::tahoe, F::preTahoe}) {
    SCOPED_TRACE(firmware == F::tahoe ? "tahoe" : "preTahoe");
    start(firmware);
    ASSERT_TRUE(setChargingEnabled(false));
    EXPECT_TRUE(simmac::chargeInhibited());
    ASSERT_TRUE(setAdapterEnabled(false));
    EXPECT_TRUE(simmac::adapterDisabled());
    ASSERT_TRUE(setAdapterEnabled(true));
    EXPECT_FALSE(simmac::adapterDisabled());
    ASSERT_TRUE(setChargingEnabled(true));
    EXPECT_FALSE(simmac::chargeInhibited());
    // Repeated calls write again: the flag is no shortcut.
    simmac::clearSmcExchanges();
    ASSERT_TRUE(setChargingEnabled(true));
    ASSERT_TRUE(setChargingEnabled(true));
    EXPECT_EQ(keysSentWithCommand(kSMCCommandWriteBytes).size(), firmware == F::tahoe ? 2u : 4u);
  }
}

TEST_F(ActuatorFamilyTest, LedWritesOneByteToACLCAndLogsNothing) {
  struct Case {
    const char* what;
    std::function<void()> call;
    uint8_t value;
  };
  const Case cases[] = {
      {"orange while charging", [] { setMagSafeLED(true); }, 4},
      {"green otherwise", [] { setMagSafeLED(false); }, 3},
      {"handed back", [] { resetMagSafeLED(); }, 0},
  };
  for (F firmware : {F::tahoe, F::preTahoe, F::tahoe202609}) {
    start(firmware);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      simmac::setSmcKeyValue("ACLC", {0x7f});
      simmac::clearSmcExchanges();
      c.call();
      EXPECT_EQ(keysSentWithCommand(kSMCCommandWriteBytes), std::vector<std::string>{"ACLC"});
      const auto& exchanges = simmac::smcExchanges();
      ASSERT_EQ(exchanges.size(), 2u);
      EXPECT_EQ(exchanges[1].request, expectedRequest(KEY_ACLC, 1, 6, {c.value}));
      EXPECT_EQ(simmac::ledValue(), c.value);
    }
    EXPECT_TRUE(newLogMessages().empty());
  }
}

TEST_F(ActuatorFamilyTest, RefusedLedWriteGoesUnnoticed) {
  start(F::tahoe);
  simmac::setSmcKeyValue("ACLC", {0x7f});
  simmac::rejectSmcKey("ACLC", false, true);
  const bool inhibited = currentlyInhibited;
  const bool disabled = adapterDisabled;
  setMagSafeLED(true);
  resetMagSafeLED();
  EXPECT_EQ(keysSentWithCommand(kSMCCommandWriteBytes).size(), 2u);
  EXPECT_EQ(simmac::smcKeyHex("ACLC"), "7f");
  EXPECT_TRUE(newLogMessages().empty());
  EXPECT_EQ(currentlyInhibited, inhibited);
  EXPECT_EQ(adapterDisabled, disabled);
}

}  // namespace
