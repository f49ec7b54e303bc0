// Tests of the daemon-level SMC functions and the firmware probe.
#include "smc/smc_client.h"

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "smc/smc_protocol.h"
#include "smc/smc_test_helpers.h"
#include "store/log.h"
#include "test_support.h"

namespace {

class SmcClientTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    logInit();
  }
  void boot(const simmac::MachineSpec& spec) {
    simmac::boot(spec);
    initGlobals(dir.path());
    markLog();
  }
};

TEST_F(SmcClientTest, OpenFailureIsLoggedAsSignedDecimal) {
  struct Case {
    const char* what;
    bool service;
    kern_return_t openStatus;
    const char* line;
    int64_t servicesLookedUp;
  };
  const Case cases[] = {
      {"no service", false, kIOReturnSuccess, "ERROR: smc_open failed with -1", 0},
      {"refused", true, kIOReturnNotPrivileged, "ERROR: smc_open failed with -536870207", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    simmac::MachineSpec spec;
    spec.smcService = c.service;
    spec.openStatus = c.openStatus;
    boot(spec);
    EXPECT_FALSE(smcOpen());
    EXPECT_EQ(smcConn, 0u);
    EXPECT_EQ(newLogMessages(), std::vector<std::string>{c.line});
    const auto counts = simmac::objectCounts();
    EXPECT_EQ(counts.ioCreated, c.servicesLookedUp);
    EXPECT_EQ(counts.ioLive, 0);  // the service is released whatever the open said
    EXPECT_EQ(counts.cfLive, 0);
    EXPECT_EQ(counts.badReleases, 0);
  }
}

TEST_F(SmcClientTest, OpenSuccessStoresTheHandleSilently) {
  boot({});
  EXPECT_TRUE(smcOpen());
  EXPECT_NE(smcConn, 0u);
  EXPECT_TRUE(newLogMessages().empty());
  EXPECT_EQ(simmac::objectCounts().ioLive, 1);
}

TEST_F(SmcClientTest, WrappersUseTheDaemonsConnection) {
  boot({});
  openSmc();
  simmac::setSmcKeyValue("ACLC", {0x03});
  EXPECT_TRUE(smcKeyExists(KEY_ACLC));
  EXPECT_FALSE(smcKeyExists(KEY_CH0B));
  EXPECT_EQ(smcReadByte(KEY_ACLC), std::optional<uint8_t>(0x03));
  EXPECT_EQ(smcReadByte(KEY_CH0B), std::nullopt);
  EXPECT_TRUE(smcWriteByte(KEY_ACLC, 4));
  EXPECT_EQ(simmac::smcKeyHex("ACLC"), "04");
  EXPECT_TRUE(smcWriteBytes4(KEY_CHTE, 1));  // b1 to b3 default to zero
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01000000");
  EXPECT_TRUE(smcWriteBytes4(KEY_CHTE, 1, 2, 3, 4));
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01020304");
  EXPECT_FALSE(smcWriteByte(KEY_CH0B, 2));
  for (const auto& exchange : simmac::smcExchanges()) EXPECT_EQ(exchange.connection, smcConn);
  EXPECT_FALSE(simmac::smcExchanges().empty());
}

TEST_F(SmcClientTest, ReadOfARejectedKeyYieldsNone) {
  simmac::MachineSpec spec;
  spec.rejectedKeys = {"ACLC"};
  boot(spec);
  openSmc();
  EXPECT_TRUE(smcKeyExists(KEY_ACLC));
  EXPECT_EQ(smcReadByte(KEY_ACLC), std::nullopt);
}

struct ProbeCase {
  const char* what;
  simmac::MachineSpec machine;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> values;  // set before the probe
  std::vector<std::string> keyLines;                                  // the seven key lines
  bool tahoe;
  const char* finding = nullptr;  // the line after the family's
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.what; }

simmac::MachineSpec makeMachine(simmac::Firmware firmware, std::vector<std::string> missing = {},
                                std::vector<std::string> rejected = {}) {
  simmac::MachineSpec spec;
  spec.firmware = firmware;
  spec.missingKeys = std::move(missing);
  spec.rejectedKeys = std::move(rejected);
  return spec;
}

const char* const kTahoeLine = "Firmware: Tahoe (CHTE)";
const char* const kPreTahoeLine = "Firmware: Pre-Tahoe (CH0B/CH0C)";

class FirmwareProbeTest : public SmcClientTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(FirmwareProbeTest, LogsSevenKeysInOrderAndChoosesTheFamilyByCHTE) {
  const auto& c = GetParam();
  boot(c.machine);
  openSmc();
  for (const auto& [name, bytes] : c.values) simmac::setSmcKeyValue(name, bytes);
  useTahoe = !c.tahoe;

  detectFirmware();

  std::vector<std::string> expected = {"SMCParamStruct C size: 80 bytes"};
  expected.insert(expected.end(), c.keyLines.begin(), c.keyLines.end());
  expected.push_back(c.tahoe ? kTahoeLine : kPreTahoeLine);
  if (c.finding) expected.push_back(c.finding);
  EXPECT_EQ(newLogMessages(), expected);
  EXPECT_EQ(useTahoe, c.tahoe);
  EXPECT_TRUE(keysSentWithCommand(kSMCCommandWriteBytes).empty());  // the probe only looks
}

INSTANTIATE_TEST_SUITE_P(
    Firmwares, FirmwareProbeTest,
    ::testing::Values(
        ProbeCase{"tahoe",
                  makeMachine(simmac::Firmware::tahoe),
                  {{"CHTE", {0x01, 0, 0, 0}}, {"CHIE", {0x08}}, {"ACLC", {0xab}}},
                  {"Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND", "Key CHTE: EXISTS value=0x01",
                   "Key CH0I: NOT FOUND", "Key CH0J: NOT FOUND", "Key CHIE: EXISTS value=0x08",
                   "Key ACLC: EXISTS value=0xab"},
                  true},
        ProbeCase{"preTahoe",
                  makeMachine(simmac::Firmware::preTahoe),
                  {{"CH0B", {0x02}}, {"CH0C", {0x00}}, {"CH0I", {0x01}}, {"CH0J", {0x0f}}, {"ACLC", {0x04}}},
                  {"Key CH0B: EXISTS value=0x02", "Key CH0C: EXISTS value=0x00", "Key CHTE: NOT FOUND",
                   "Key CH0I: EXISTS value=0x01", "Key CH0J: EXISTS value=0x0f", "Key CHIE: NOT FOUND",
                   "Key ACLC: EXISTS value=0x04"},
                  false},
        ProbeCase{"september2026Stubs",
                  makeMachine(simmac::Firmware::tahoe202609),
                  {{"CHIE", {0x00}}, {"ACLC", {0x03}}},
                  {"Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND", "Key CHTE: NOT FOUND", "Key CH0I: NOT FOUND",
                   "Key CH0J: NOT FOUND", "Key CHIE: EXISTS value=0x00", "Key ACLC: EXISTS value=0x03"},
                  true,
                  "Firmware: CHTE is a zero-size stub — charging cannot be inhibited; holding the limit with the "
                  "adapter alone"},
        // Key info without a readable value still selects the Tahoe family.
        ProbeCase{"chteUnreadable",
                  makeMachine(simmac::Firmware::tahoe, {}, {"CHTE"}),
                  {{"CHIE", {0x00}}, {"ACLC", {0x00}}},
                  {"Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND", "Key CHTE: NOT FOUND", "Key CH0I: NOT FOUND",
                   "Key CH0J: NOT FOUND", "Key CHIE: EXISTS value=0x00", "Key ACLC: EXISTS value=0x00"},
                  true},
        // CHIE plays no part in the choice.
        ProbeCase{"tahoeWithoutCHIE",
                  makeMachine(simmac::Firmware::tahoe, {"CHIE"}),
                  {{"CHTE", {0x00, 0, 0, 0}}, {"ACLC", {0x00}}},
                  {"Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND", "Key CHTE: EXISTS value=0x00",
                   "Key CH0I: NOT FOUND", "Key CH0J: NOT FOUND", "Key CHIE: NOT FOUND",
                   "Key ACLC: EXISTS value=0x00"},
                  true},
        // Without key info for CHTE the controller is pre-Tahoe, even with CHIE.
        ProbeCase{"tahoeWithoutCHTE",
                  makeMachine(simmac::Firmware::tahoe, {"CHTE"}),
                  {{"CHIE", {0x08}}, {"ACLC", {0x00}}},
                  {"Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND", "Key CHTE: NOT FOUND", "Key CH0I: NOT FOUND",
                   "Key CH0J: NOT FOUND", "Key CHIE: EXISTS value=0x08", "Key ACLC: EXISTS value=0x00"},
                  false}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.what); });

TEST_F(SmcClientTest, ProbeWithAFailingCallStillLogsEveryLine) {
  boot({});
  openSmc();
  simmac::setSmcCallFailure(kIOReturnError);
  useTahoe = true;
  detectFirmware();
  EXPECT_EQ(newLogMessages(),
            (std::vector<std::string>{"SMCParamStruct C size: 80 bytes", "Key CH0B: NOT FOUND", "Key CH0C: NOT FOUND",
                                      "Key CHTE: NOT FOUND", "Key CH0I: NOT FOUND", "Key CH0J: NOT FOUND",
                                      "Key CHIE: NOT FOUND", "Key ACLC: NOT FOUND", kPreTahoeLine}));
  EXPECT_FALSE(useTahoe);
}

}  // namespace
