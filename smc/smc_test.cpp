// The SMC subsystem on the simulated Mac: the 80-byte blocks the client sends,
// byte for byte, and what it makes of the replies; the firmware
// probe; the actuators' key values and log lines on each key family; the LED.
#include "smc/actuators.h"

#include <sstream>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "smc/magsafe_led.h"
#include "smc/smc_client.h"
#include "smc/smc_protocol.h"
#include "store/log.h"
#include "test_support.h"

namespace {

class SmcTest : public DaemonTest {
 protected:
  void SetUp() override { DaemonTest::SetUp(), logInit(); }
  // Boots a machine with these keys missing or refusing reads and writes
  // (space-separated); with `probe`, opens the SMC and chooses the family as start-up does.
  void start(simmac::Firmware firmware, const std::string& missing = "", const std::string& refused = "", bool probe = false) {
    simmac::MachineSpec spec = machineWith(firmware);
    std::string key;
    for (std::istringstream in(missing); in >> key;) spec.missingKeys.push_back(key);
    for (std::istringstream in(refused); in >> key;) spec.rejectedKeys.push_back(key);
    boot(spec);
    if (probe) openSmc(), detectFirmware(), simmac::clearSmcExchanges();
    markLog();
  }
};

// A request block: `key` little-endian at 0, `size` at 28, `command` at 42, `data` from 48, zero elsewhere.
struct Request { const char* key; uint32_t size; uint8_t command; std::vector<uint8_t> data; };
std::vector<uint8_t> block(const Request& r) {
  std::vector<uint8_t> out(80, 0);
  for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(r.key[3 - i]), out[28 + i] = static_cast<uint8_t>(r.size >> (8 * i));
  out[42] = r.command;
  std::copy(r.data.begin(), r.data.end(), out.begin() + 48);
  return out;
}

// One read ('r': smc_read_byte), byte write ('1') or four-byte write ('4') on
// a Tahoe machine (CHTE holding 01020304, ACLC refusing reads and writes) or
// a pre-Tahoe one; `value`: the caller's byte afterwards (0xcc: untouched).
// Rows named CallFails* run with every struct-method call failing.
struct ExchangeRow {
  const char* name; bool tahoe; const char* key; char op; std::vector<uint8_t> b; bool ok; std::vector<Request> sent; uint8_t value; const char* hexAfter;
};

class SmcExchangeTest : public SmcTest, public ::testing::WithParamInterface<ExchangeRow> {};

TEST_P(SmcExchangeTest, SendsKeyInfoThenTheCommandAtTheKeysOwnSize) {
  const ExchangeRow& r = GetParam();
  start(r.tahoe ? simmac::Firmware::tahoe : simmac::Firmware::preTahoe, "", "ACLC"), openSmc();
  if (r.tahoe) simmac::setSmcKeyValue("CHTE", {1, 2, 3, 4});
  if (std::string(r.name).starts_with("CallFails")) simmac::setSmcCallFailure(kIOReturnError);
  uint8_t value = 0xcc;
  const uint32_t key = smc_fourcc(r.key);
  EXPECT_EQ(r.op == 'r' ? smc_read_byte(smcConn, key, &value)
            : r.op == '1' ? smcWriteByte(key, r.b[0]) : smcWriteBytes4(key, r.b[0], r.b[1], r.b[2], r.b[3]), r.ok);
  EXPECT_EQ(value, r.value);
  EXPECT_EQ(simmac::smcKeyHex(r.key), r.hexAfter);
  const auto& sent = simmac::smcExchanges();
  ASSERT_EQ(sent.size(), r.sent.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].request, block(r.sent[i])) << i;
}

const Request chteInfo{"CHTE", 0, 9, {}}, aclcInfo{"ACLC", 0, 9, {}}, ch0bInfo{"CH0B", 0, 9, {}};
INSTANTIATE_TEST_SUITE_P(
    Rows, SmcExchangeTest,
    ::testing::Values(
        ExchangeRow{"ReadFirstByte", true, "CHTE", 'r', {}, true, {chteInfo, {"CHTE", 4, 5, {}}}, 1, "01020304"},
        ExchangeRow{"WriteByte", false, "CH0B", '1', {2}, true, {ch0bInfo, {"CH0B", 1, 6, {2}}}, 0xcc, "02"},
        ExchangeRow{"WriteByteTo4ByteKey", true, "CHTE", '1', {1}, true, {chteInfo, {"CHTE", 4, 6, {1}}}, 0xcc, "01000000"},
        ExchangeRow{"Write4BytesTo4ByteKey", true, "CHTE", '4', {5, 6, 7, 8}, true, {chteInfo, {"CHTE", 4, 6, {5, 6, 7, 8}}}, 0xcc, "05060708"},
        ExchangeRow{"Write4BytesTo1ByteKey", true, "CHIE", '4', {8, 6, 7, 9}, true, {{"CHIE", 0, 9, {}}, {"CHIE", 1, 6, {8, 6, 7, 9}}}, 0xcc, "08"},
        ExchangeRow{"UnknownKeyRead", true, "CH0B", 'r', {}, false, {ch0bInfo}, 0xcc, ""},
        ExchangeRow{"RefusedRead", true, "ACLC", 'r', {}, false, {aclcInfo, {"ACLC", 1, 5, {}}}, 0xcc, "00"},
        ExchangeRow{"RefusedWrite", true, "ACLC", '1', {4}, false, {aclcInfo, {"ACLC", 1, 6, {4}}}, 0xcc, "00"},
        ExchangeRow{"CallFailsRead", true, "CHTE", 'r', {}, false, {chteInfo}, 0xcc, "01020304"}),
    [](const auto& info) { return std::string(info.param.name); });

// The seven keys in order, each as its value byte or "-" for NOT FOUND; the
// family rests on CHTE's key info alone.
struct ProbeRow { const char* name; bool tahoe; const char* missing; const char* refused; const char* keys; bool family; };

class FirmwareProbeTest : public SmcTest, public ::testing::WithParamInterface<ProbeRow> {};

TEST_P(FirmwareProbeTest, LogsSevenKeysInOrderAndTheFamily) {
  const ProbeRow& r = GetParam();
  start(r.tahoe ? simmac::Firmware::tahoe : simmac::Firmware::preTahoe, r.missing, r.refused);
  openSmc(), simmac::setSmcKeyValue("ACLC", {0x0f});
  if (std::string(r.name) == "CallsFail") simmac::setSmcCallFailure(kIOReturnError);
  useTahoe = !r.family, detectFirmware();
  std::vector<std::string> expected = {"SMCParamStruct C size: 80 bytes"};
  std::string value;
  std::istringstream values(r.keys);
  for (const std::string key : {"CH0B", "CH0C", "CHTE", "CH0I", "CH0J", "CHIE", "ACLC"})
    values >> value, expected.push_back("Key " + key + (value == "-" ? ": NOT FOUND" : ": EXISTS value=0x" + value));
  expected.push_back(r.family ? "Firmware: Tahoe (CHTE)" : "Firmware: Pre-Tahoe (CH0B/CH0C)");
  EXPECT_EQ(newLogMessages(), expected);
  EXPECT_EQ(useTahoe, r.family);
}

INSTANTIATE_TEST_SUITE_P(Firmwares, FirmwareProbeTest,
                         ::testing::Values(ProbeRow{"Tahoe", true, "", "", "- - 00 - - 00 0f", true}, ProbeRow{"PreTahoe", false, "", "", "00 00 - 00 00 - 0f", false},
                                           ProbeRow{"ChteUnreadable", true, "", "CHTE", "- - - - - 00 0f", true}, ProbeRow{"NoChteButChie", true, "CHTE", "", "- - - - - 00 0f", false},
                                           ProbeRow{"NoChie", true, "CHIE", "", "- - 00 - - - 0f", true}, ProbeRow{"CallsFail", true, "", "", "- - - - - - -", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// One call on a machine whose keys all hold 0x7f beforehand; `after` lists the
// keys' values afterwards. The flag starts in the state the call changes,
// except in rows named *Again, where it already shows the state asked for.
struct ActuatorRow {
  const char* name; simmac::Firmware firmware; const char* missing; const char* refused; bool charging, enable; const char* line; bool ok; const char* after;
};

class ActuatorTest : public SmcTest, public ::testing::WithParamInterface<ActuatorRow> {};

TEST_P(ActuatorTest, WritesTheFamilysKeysLogsAndKeepsItsFlag) {
  const ActuatorRow& r = GetParam();
  start(r.firmware, r.missing, r.refused, true);
  for (const char* name : {"CH0B", "CH0C", "CHTE", "CH0I", "CH0J", "CHIE"})
    if (simmac::smcKey(name)) simmac::setSmcKeyValue(name, {0x7f});
  bool& flag = r.charging ? currentlyInhibited : adapterDisabled;
  const bool before = flag = std::string(r.name).ends_with("Again") ? !r.enable : r.enable;
  EXPECT_EQ(r.charging ? setChargingEnabled(r.enable) : setAdapterEnabled(r.enable), r.ok);
  std::vector<std::string> lines = {r.line};
  if (!r.ok) lines.push_back(std::string("WARNING: Failed to ") + (r.enable ? "enable" : "disable") + (r.charging ? " charging!" : " adapter!"));
  EXPECT_EQ(newLogMessages(), lines);
  EXPECT_EQ(flag, r.ok ? !r.enable : before);
  std::string key, hex;
  for (std::istringstream after(r.after); std::getline(after >> std::ws, key, '=') && after >> hex;)
    EXPECT_EQ(simmac::smcKeyHex(key), hex) << key;
}

const auto T = simmac::Firmware::tahoe, P = simmac::Firmware::preTahoe;
INSTANTIATE_TEST_SUITE_P(
    Families, ActuatorTest,
    ::testing::Values(
        ActuatorRow{"TahoeInhibit", T, "", "", true, false, "setCharging: CHTE=1 (disable) -> true", true, "CHTE=01000000"},
        ActuatorRow{"TahoeAllowAgain", T, "", "", true, true, "setCharging: CHTE=0 (enable) -> true", true, "CHTE=00000000"},
        ActuatorRow{"TahoeInhibitRefused", T, "", "CHTE", true, false, "setCharging: CHTE=1 (disable) -> false", false, "CHTE=7f000000"},
        ActuatorRow{"TahoeDisableAdapter", T, "", "", false, false, "setAdapter: CHIE=0x08 (disable) -> true", true, "CHIE=08"},
        ActuatorRow{"TahoeEnableAdapter", T, "", "", false, true, "setAdapter: CHIE=0x00 (enable) -> true", true, "CHIE=00"},
        ActuatorRow{"TahoeWithoutChie", T, "CHIE", "", false, false, "setAdapter: CHIE=0x08 (disable) -> false", false, ""},
        ActuatorRow{"PreTahoeInhibit", P, "", "", true, false, "setCharging: CH0B=true CH0C=true val=0x02", true, "CH0B=02 CH0C=02"},
        ActuatorRow{"PreTahoeAllow", P, "", "", true, true, "setCharging: CH0B=true CH0C=true val=0x00", true, "CH0B=00 CH0C=00"},
        ActuatorRow{"PreTahoeOnlyCh0b", P, "CH0C", "", true, false, "setCharging: CH0B=true CH0C=false val=0x02", true, "CH0B=02"},
        ActuatorRow{"PreTahoeOnlyCh0c", P, "CH0B", "", true, false, "setCharging: CH0B=false CH0C=true val=0x02", true, "CH0C=02"},
        ActuatorRow{"PreTahoeInhibitRefused", P, "", "CH0B CH0C", true, false, "setCharging: CH0B=false CH0C=false val=0x02", false, "CH0B=7f CH0C=7f"},
        ActuatorRow{"PreTahoeDisableAdapter", P, "", "", false, false, "setAdapter: CH0I=true CH0J=true val=0x01", true, "CH0I=01 CH0J=01"},
        ActuatorRow{"PreTahoeOnlyCh0j", P, "", "CH0I", false, false, "setAdapter: CH0I=false CH0J=true val=0x01", true, "CH0I=7f CH0J=01"},
        ActuatorRow{"PreTahoeEnableAdapterRefused", P, "", "CH0I CH0J", false, true, "setAdapter: CH0I=false CH0J=false val=0x00", false, "CH0I=7f CH0J=7f"}),
    [](const auto& info) { return std::string(info.param.name); });

// Orange while charging, green otherwise, 0 to hand the LED back; a refused
// write goes unnoticed. Nothing is logged.
TEST_F(SmcTest, MagSafeLedWritesOneByteToAclc) {
  const std::tuple<void (*)(), const char*, bool> rows[] = {{[] { setMagSafeLED(true); }, "04", true}, {[] { setMagSafeLED(false); }, "03", true}, {resetMagSafeLED, "00", false}};
  for (const bool refused : {false, true}) {
    start(simmac::Firmware::tahoe, "", refused ? "ACLC" : "", true);
    for (const auto& [call, hex, coloured] : rows) {
      simmac::setSmcKeyValue("ACLC", {0x7f});
      call();
      EXPECT_EQ(simmac::smcKeyHex("ACLC"), refused ? "7f" : hex);
      EXPECT_EQ(magSafeLEDColoured, coloured);  // the daemon has taken the LED over
    }
    EXPECT_EQ(newLogMessages(), std::vector<std::string>{});
  }
}

}  // namespace
