// Tests of the AppleSMC protocol module against the simulated Mac.
#include "smc/smc_protocol.h"

#include <functional>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "smc/smc_test_helpers.h"
#include "test_support.h"

namespace {

TEST(SmcFourcc, PacksUpToFourCharactersFirstMostSignificant) {
  struct Case {
    const char* name;
    uint32_t code;
  };
  const Case cases[] = {
      {"CH0B", 0x43483042}, {"ACLC", 0x41434C43}, {"CHTE", 0x43485445}, {"AB", 0x4142},
      {"", 0},              {"CH0BX", 0x43483042}, {"ACLCACLC", 0x41434C43},
      {"\xff\x80", 0xff80},  // bytes above 0x7f are not sign-extended
  };
  for (const auto& c : cases) EXPECT_EQ(smc_fourcc(c.name), c.code) << '"' << c.name << '"';
  EXPECT_EQ(smc_fourcc(nullptr), 0u);
}

TEST(SmcStructSize, IsEightyBytes) { EXPECT_EQ(smc_struct_size(), 80u); }

class SmcProtocolTest : public DaemonTest {
 protected:
  void bootAndOpen(const simmac::MachineSpec& spec) {
    simmac::boot(spec);
    initGlobals(dir.path());
    openSmc();
  }
  static simmac::MachineSpec firmware(simmac::Firmware firmware) {
    simmac::MachineSpec spec;
    spec.firmware = firmware;
    return spec;
  }
};

TEST_F(SmcProtocolTest, KeyInfoRequestIsByteExact) {
  bootAndOpen(firmware(simmac::Firmware::preTahoe));
  uint32_t size = 0;
  uint32_t type = 0;
  ASSERT_TRUE(smc_read_key_info(smcConn, smc_fourcc("CH0B"), &size, &type));
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(type, simmac::smcKey("CH0B")->type);

  ASSERT_EQ(simmac::smcExchanges().size(), 1u);
  const auto& exchange = simmac::smcExchanges().front();
  EXPECT_EQ(exchange.connection, smcConn);
  EXPECT_EQ(exchange.selector, 2u);
  const std::vector<uint8_t> expected = {0x42, 0x30, 0x48, 0x43};
  EXPECT_EQ(std::vector<uint8_t>(exchange.request.begin(), exchange.request.begin() + 4), expected);
  EXPECT_EQ(exchange.request, expectedRequest(0x43483042, 0, 9));
}

TEST_F(SmcProtocolTest, WritesAreSentAtTheKeysOwnSize) {
  struct Case {
    simmac::Firmware firmware;
    const char* key;
    bool fourBytes;  // smc_write_bytes rather than smc_write_byte
    uint32_t keySize;
    std::vector<uint8_t> data;  // data area of the write request
    std::string valueAfter;
  };
  const Case cases[] = {
      // One byte to a 1-byte key.
      {simmac::Firmware::preTahoe, "CH0B", false, 1, {0x02}, "02"},
      // One byte to a 4-byte key: the rest of the value goes as zeros.
      {simmac::Firmware::tahoe, "CHTE", false, 4, {0x01, 0, 0, 0}, "01000000"},
      // Four bytes to a 1-byte key: all four travel, the key's size is sent.
      {simmac::Firmware::tahoe, "ACLC", true, 1, {0x04, 0x05, 0x06, 0x07}, "04"},
      {simmac::Firmware::tahoe, "CHTE", true, 4, {0x01, 0x02, 0x03, 0x04}, "01020304"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + (c.fourBytes ? " smc_write_bytes" : " smc_write_byte"));
    bootAndOpen(firmware(c.firmware));
    const uint32_t key = smc_fourcc(c.key);
    ASSERT_TRUE(c.fourBytes ? smc_write_bytes(smcConn, key, c.data[0], c.data[1], c.data[2], c.data[3])
                            : smc_write_byte(smcConn, key, c.data[0]));
    const auto& exchanges = simmac::smcExchanges();
    ASSERT_EQ(exchanges.size(), 2u);  // key info, then the write
    EXPECT_EQ(exchanges[0].request, expectedRequest(key, 0, 9));
    EXPECT_EQ(exchanges[1].request, expectedRequest(key, c.keySize, 6, c.data));
    EXPECT_EQ(exchanges[1].selector, 2u);
    EXPECT_EQ(exchanges[1].connection, smcConn);
    EXPECT_EQ(simmac::smcKeyHex(c.key), c.valueAfter);
  }
}

TEST_F(SmcProtocolTest, ReadSendsKeyInfoThenReadAndYieldsTheFirstByte) {
  bootAndOpen(firmware(simmac::Firmware::tahoe));
  simmac::setSmcKeyValue("CHTE", {0x01, 0x02, 0x03, 0x04});
  uint8_t value = 0;
  ASSERT_TRUE(smc_read_byte(smcConn, KEY_CHTE, &value));
  EXPECT_EQ(value, 0x01);
  const auto& exchanges = simmac::smcExchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].request, expectedRequest(KEY_CHTE, 0, 9));
  EXPECT_EQ(exchanges[1].request, expectedRequest(KEY_CHTE, 4, 5));
}

TEST_F(SmcProtocolTest, UnknownKeyCostsOneKeyInfoExchangeAndChangesNothing) {
  bootAndOpen(firmware(simmac::Firmware::tahoe));  // no CH0B on this controller
  const uint32_t key = smc_fourcc("CH0B");
  uint32_t size = 0xAAAAAAAA;
  uint32_t type = 0xBBBBBBBB;
  uint8_t value = 0xCC;
  const std::vector<std::function<bool()>> calls = {
      [&] { return smc_read_key_info(smcConn, key, &size, &type); },
      [&] { return smc_key_exists(smcConn, key); },
      [&] { return smc_read_byte(smcConn, key, &value); },
      [&] { return smc_write_byte(smcConn, key, 2); },
      [&] { return smc_write_bytes(smcConn, key, 1, 0, 0, 0); },
  };
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE("call " + std::to_string(i));
    simmac::clearSmcExchanges();
    EXPECT_FALSE(calls[i]());
    ASSERT_EQ(simmac::smcExchanges().size(), 1u);
    const auto& exchange = simmac::smcExchanges().front();
    EXPECT_EQ(exchange.request, expectedRequest(key, 0, 9));
    EXPECT_EQ(exchange.status, 0);        // the call went through ...
    EXPECT_NE(exchange.reply[40], 0);     // ... and the controller said no
  }
  EXPECT_EQ(size, 0xAAAAAAAAu);
  EXPECT_EQ(type, 0xBBBBBBBBu);
  EXPECT_EQ(value, 0xCC);
  EXPECT_FALSE(simmac::smcKey("CH0B").has_value());
}

TEST_F(SmcProtocolTest, NonZeroResultFailsReadsAndWritesOfAKnownKey) {
  simmac::MachineSpec spec = firmware(simmac::Firmware::tahoe);
  spec.rejectedKeys = {"CHTE"};
  bootAndOpen(spec);
  const std::string before = simmac::smcKeyHex("CHTE");
  uint8_t value = 0xCC;
  EXPECT_TRUE(smc_key_exists(smcConn, KEY_CHTE));
  simmac::clearSmcExchanges();

  EXPECT_FALSE(smc_read_byte(smcConn, KEY_CHTE, &value));
  EXPECT_FALSE(smc_write_byte(smcConn, KEY_CHTE, 1));
  EXPECT_FALSE(smc_write_bytes(smcConn, KEY_CHTE, 1, 0, 0, 0));

  EXPECT_EQ(value, 0xCC);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), before);
  const auto& exchanges = simmac::smcExchanges();
  ASSERT_EQ(exchanges.size(), 6u);  // key info and the command, three times
  for (size_t i = 1; i < exchanges.size(); i += 2) {
    EXPECT_EQ(exchanges[i].status, 0);
    EXPECT_NE(exchanges[i].reply[40], 0);
  }
}

TEST_F(SmcProtocolTest, FailingCallFailsEverythingAndLeavesOutParametersAlone) {
  bootAndOpen(firmware(simmac::Firmware::tahoe));
  const std::string before = simmac::smcKeyHex("CHTE");
  simmac::setSmcCallFailure(kIOReturnError);
  uint32_t size = 7;
  uint32_t type = 8;
  uint8_t value = 9;
  SMCParamStruct input{};
  SMCParamStruct output{};
  input.key = KEY_CHTE;
  input.command = kSMCCommandReadKeyInfo;
  EXPECT_EQ(smc_call(smcConn, &input, &output), kIOReturnError);
  EXPECT_FALSE(smc_read_key_info(smcConn, KEY_CHTE, &size, &type));
  EXPECT_FALSE(smc_key_exists(smcConn, KEY_CHTE));
  EXPECT_FALSE(smc_read_byte(smcConn, KEY_CHTE, &value));
  EXPECT_FALSE(smc_write_byte(smcConn, KEY_CHTE, 1));
  EXPECT_FALSE(smc_write_bytes(smcConn, KEY_CHTE, 1, 0, 0, 0));
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, 8u);
  EXPECT_EQ(value, 9);
  // One exchange each: a failed key info is never followed by the command.
  EXPECT_EQ(simmac::smcExchanges().size(), 6u);
  EXPECT_EQ(keysSentWithCommand(kSMCCommandWriteBytes).size(), 0u);
  simmac::setSmcCallFailure(std::nullopt);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), before);
}

TEST_F(SmcProtocolTest, KeyInfoIsFetchedAnewForEveryWrite) {
  // Key info is fetched afresh for every operation: a key removed between two
  // writes fails the second write at its key-info step.
  bootAndOpen(firmware(simmac::Firmware::tahoe));
  EXPECT_TRUE(smc_write_byte(smcConn, KEY_CHIE, 8));
  simmac::removeSmcKey("CHIE");
  simmac::clearSmcExchanges();
  EXPECT_FALSE(smc_write_byte(smcConn, KEY_CHIE, 0));
  EXPECT_EQ(keysSentWithCommand(kSMCCommandReadKeyInfo), std::vector<std::string>{"CHIE"});
  EXPECT_EQ(simmac::smcExchanges().size(), 1u);
}

TEST_F(SmcProtocolTest, OpenYieldsAConnectionAndReleasesTheService) {
  simmac::boot(firmware(simmac::Firmware::tahoe));
  io_connect_t conn = 0;
  ASSERT_EQ(smc_open(&conn), KERN_SUCCESS);
  EXPECT_NE(conn, 0u);
  auto counts = simmac::objectCounts();
  EXPECT_EQ(counts.ioLive, 1);  // the connection only
  EXPECT_EQ(counts.cfLive, 0);  // the matching dictionary went to the lookup
  EXPECT_EQ(counts.badReleases, 0);
  EXPECT_EQ(smc_close(conn), KERN_SUCCESS);
  counts = simmac::objectCounts();
  EXPECT_EQ(counts.ioLive, 0);
  EXPECT_EQ(counts.badReleases, 0);
}

TEST_F(SmcProtocolTest, OpenFailuresLeaveTheHandleAndNoObjects) {
  struct Case {
    const char* what;
    bool service;
    kern_return_t openStatus;
    kern_return_t expected;
    int64_t servicesLookedUp;
  };
  const Case cases[] = {
      {"no service", false, kIOReturnSuccess, -1, 0},
      {"refused", true, kIOReturnNotPrivileged, kIOReturnNotPrivileged, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    simmac::MachineSpec spec;
    spec.smcService = c.service;
    spec.openStatus = c.openStatus;
    simmac::boot(spec);
    io_connect_t conn = 0x5a5a;
    EXPECT_EQ(smc_open(&conn), c.expected);
    EXPECT_EQ(conn, 0x5a5au);
    const auto counts = simmac::objectCounts();
    EXPECT_EQ(counts.ioCreated, c.servicesLookedUp);
    EXPECT_EQ(counts.ioLive, 0);
    EXPECT_EQ(counts.cfLive, 0);
    EXPECT_EQ(counts.badReleases, 0);
  }
}

}  // namespace
