// The simulated Mac where the daemon's tests rely on it: as strict as a Mac
// (handles, ownership, the SMC's byte format, key sizes and refusals), its
// machine file, and hestled on Linux.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "sim/cf_objects.h"
#include "tests/test_support.h"

namespace {

using Block = std::array<uint8_t, 80>;
constexpr kern_return_t kInvalidDest = 0x10000003;

Block request(const char* key, uint8_t command, uint32_t size = 0, std::vector<uint8_t> data = {}) {
  Block b{};
  const uint32_t k = uint32_t(key[0]) << 24 | uint32_t(key[1]) << 16 | uint32_t(key[2]) << 8 | uint32_t(key[3]);
  std::memcpy(&b[0], &k, 4);
  std::memcpy(&b[28], &size, 4);
  b[42] = command;
  std::copy(data.begin(), data.end(), b.begin() + 48);
  return b;
}

io_service_t service(const char* name) { return IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(name)); }

io_connect_t openSmcConnection() {
  const io_service_t smc = service("AppleSMC");
  io_connect_t conn = 0;
  EXPECT_EQ(IOServiceOpen(smc, mach_task_self(), 0, &conn), kIOReturnSuccess);
  IOObjectRelease(smc);
  return conn;
}

// The reply block (0xEE where untouched) and the call's status.
std::pair<kern_return_t, Block> call(io_connect_t conn, const Block& in, uint32_t selector = 2, size_t inSize = 80,
                                     size_t outSize = 80) {
  Block out;
  out.fill(0xEE);
  std::vector<uint8_t> input(std::max<size_t>(inSize, in.size()));  // as many bytes as the call claims
  std::copy(in.begin(), in.end(), input.begin());
  const kern_return_t status = IOConnectCallStructMethod(conn, selector, input.data(), inSize, out.data(), &outSize);
  return {status, out};
}

using SimulatedMacTest = DaemonTest;
using SimulatedMacDeathTest = DaemonTest;

TEST_F(SimulatedMacTest, StructMethodRefusesWhatAMacRefuses) {
  const io_connect_t conn = openSmcConnection();
  const io_service_t smc = service("AppleSMC");
  const Block info = request("CHTE", 9);
  Block out;
  size_t outSize = 80;
  const std::tuple<const char*, kern_return_t, kern_return_t> rows[] = {
      {"selector 1", call(conn, info, 1).first, kIOReturnBadArgument},
      {"input 79 bytes", call(conn, info, 2, 79).first, kIOReturnBadArgument},
      {"output 64 bytes", call(conn, info, 2, 80, 64).first, kIOReturnBadArgument},
      {"null input", IOConnectCallStructMethod(conn, 2, nullptr, 80, out.data(), &outSize), kIOReturnBadArgument},
      {"null output", IOConnectCallStructMethod(conn, 2, info.data(), 80, nullptr, &outSize), kIOReturnBadArgument},
      {"connection 0", call(0, info).first, kInvalidDest},
      {"a service", call(smc, info).first, kInvalidDest},
  };
  for (const auto& [what, status, expected] : rows) EXPECT_EQ(status, expected) << what;
  EXPECT_EQ(simmac::smcExchanges().back().status, kInvalidDest);
  EXPECT_EQ(call(conn, info, 1).second[40], 0xEE) << "a refused call leaves the reply alone";
  EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
  EXPECT_EQ(call(conn, info).first, kInvalidDest) << "a closed connection is dead";
  IOObjectRelease(smc);
}

TEST_F(SimulatedMacTest, HandlesFollowIOKitsRules) {
  io_service_t smc = service("AppleSMC");
  io_connect_t conn = 77;
  EXPECT_EQ(IOServiceOpen(smc, mach_task_self() + 1, 0, &conn), kIOReturnBadArgument);
  EXPECT_EQ(IOServiceOpen(smc, mach_task_self(), 1, &conn), kIOReturnBadArgument);
  EXPECT_EQ(IOServiceOpen(smc, mach_task_self(), 0, nullptr), kIOReturnBadArgument);
  EXPECT_EQ(conn, 77u);
  conn = openSmcConnection();
  EXPECT_NE(IOObjectRelease(conn), kIOReturnSuccess) << "connections are closed";
  EXPECT_NE(IOServiceClose(smc), kIOReturnSuccess) << "services are released";
  EXPECT_EQ(IOObjectRelease(smc), kIOReturnSuccess);
  EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
  EXPECT_EQ(IOServiceOpen(smc, mach_task_self(), 0, &conn), kInvalidDest) << "a released service";
  for (io_object_t bad : {smc, conn, io_object_t{0x7777}, io_object_t{0}}) EXPECT_NE(IOObjectRelease(bad), 0);
  EXPECT_EQ(simmac::objectCounts().badReleases, 6);
  CFMutableDictionaryRef matching = IOServiceMatching("AppleSmartBattery");
  CFRetain(matching);
  smc = IOServiceGetMatchingService(kIOMainPortDefault, matching);  // consumes one reference
  EXPECT_EQ(simmac::objectCounts().cfLive, 3) << "dictionary, key and value";
  CFRelease(matching);
  IOObjectRelease(smc);
  EXPECT_EQ(service("NoSuchClass"), 0u);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0) << "consumed even when nothing matches";
  EXPECT_EQ(simmac::objectCounts().ioLive, 0);
}

TEST_F(SimulatedMacDeathTest, CoreFoundationMisuseAbortsAsOnAMac) {
  const std::pair<std::function<void()>, const char*> rows[] = {
      {[] { CFRelease(nullptr); }, "CFRelease: called with NULL"},
      {[] { CFStringRef s = simmac::createString("x"); CFRelease(s); CFRelease(s); }, "object already released"},
      {[] { CFMutableDictionaryRef d = IOServiceMatching("AppleSMC");
            IOObjectRelease(IOServiceGetMatchingService(kIOMainPortDefault, d));
            CFRelease(d); }, "CFRelease: object already released"},  // the lookup consumed it
      {[] { int notAnObject = 0; CFRelease(&notAnObject); }, "CFRelease: not a CF object"},
      {[] { int64_t v; CFNumberGetValue(reinterpret_cast<CFNumberRef>(kCFBooleanTrue), kCFNumberSInt64Type, &v); },
       "CFNumberGetValue: object of the wrong CF type"},
  };
  for (const auto& [misuse, message] : rows) EXPECT_DEATH(misuse(), message);
}

TEST_F(SimulatedMacTest, SmcAnswersByteExactlyPerFirmware) {
  const io_connect_t conn = openSmcConnection();
  Block expected{};
  expected[28] = 4;
  std::memcpy(&expected[32], "23iu", 4);  // 'ui32' in host (little-endian) order
  EXPECT_EQ(call(conn, request("CHTE", 9)).second, expected);
  EXPECT_EQ(call(conn, request("CHTE", 6, 4, {1, 2, 3, 4, 5})).second, Block{});
  expected = Block{};
  expected[48] = 1, expected[49] = 2, expected[50] = 3, expected[51] = 4;
  EXPECT_EQ(call(conn, request("CHTE", 5, 4)).second, expected);
  const std::tuple<Block, uint8_t> refused[] = {
      {request("ZZZZ", 9), 0x84},       {request("CHTE", 5, 1), 0x87},     {request("CHTE", 6, 8, {9}), 0x87},
      {request("ZZZZ", 6, 1, {1}), 0x84}, {request("CHTE", 7, 4), 0x82}, {request("CHTE", 0), 0x82},
  };
  for (const auto& [in, result] : refused) EXPECT_EQ(call(conn, in).second[40], result) << int(in[42]);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01020304") << "the first `size` bytes, and no refused write";
}

// What the daemon's rules and the scenarios' judgement lean on: with the
// adapter switched off the registry reports no external power; clamshell mode
// stays awake with the lid closed only on external power; asleep and
// unplugged the battery drains at the sleep rate.
TEST_F(SimulatedMacTest, TheRegistryFollowsTheAdapterAndSleepDrainsSlowly) {
  boot(machineWith(simmac::Firmware::tahoe, 100, true));
  for (const uint8_t chie : {0, 8, 0}) {
    simmac::setSmcKeyValue("CHIE", {chie});
    EXPECT_EQ(simmac::batteryProperties().at("ExternalConnected"), simmac::PropertyValue(chie == 0)) << int(chie);
  }
  simmac::setClamshell(true), simmac::closeLid(600);
  EXPECT_FALSE(simmac::asleep());
  simmac::setPluggedIn(false);
  EXPECT_TRUE(simmac::asleep());
  simmac::setClamshell(false), simmac::closeLid(7200);
  simmac::advance(3600);
  EXPECT_TRUE(simmac::asleep());
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 99);
}

// --help: the usage on standard output, status 0; arguments it cannot use:
// status 2 and the usage on standard error.
TEST(HestledOnLinux, AnswersHelpAndRefusesUnusableArguments) {
  TempDir dir;
  writeWholeFile(dir.file("broken.json"), "{");
  const std::vector<std::pair<const char*, std::vector<std::string>>> rows = {
      {HESTLE_SIM_PATH, {"--help"}}, {HESTLED_PATH, {"--help"}}, {HESTLED_PATH, {}}, {HESTLED_PATH, {"--data-dir"}},
      {HESTLED_PATH, {"--data-dir", dir.path(), "--speed", "0"}}, {HESTLED_PATH, {"--data-dir", dir.path(), "--bogus", "1"}},
      {HESTLED_PATH, {"--data-dir", dir.path(), "--machine", dir.file("broken.json")}},
  };
  for (const auto& [program, args] : rows) {
    const Ran ran = runProgram(program, args);
    const bool help = args.size() == 1 && args[0] == "--help";
    EXPECT_EQ(ran.end.status(), help ? 0 : 2) << program << ::testing::PrintToString(args);
    EXPECT_TRUE(help ? ran.out.rfind("usage: ", 0) == 0 && ran.err.empty()
                     : ran.err.find("\nusage: hestled --data-dir DIR") != std::string::npos) << ran.out << ran.err;
    if (help && program == std::string(HESTLED_PATH)) {  // its options, explained
      EXPECT_TRUE(ran.out.find("--state FILE ") != std::string::npos && ran.out.find("--speed N ") != std::string::npos);
    }
  }
}

// The machine's start time and the keys an earlier process left.
TEST(HestledOnLinux, RunsTheMachineFromItsFileAndKeepsTheKeys) {
  TempDir dir;
  writeWholeFile(dir.file("machine.json"), R"({"firmware": "preTahoe", "start": "2026-12-04T20:53:30Z"})");
  writeWholeFile(dir.file("keys.json"), R"({"keys":{"CH0I":"01","CH0J":"01","ACLC":"04"}})");
  const pid_t pid = startProgram({HESTLED_PATH, {"--data-dir", dir.file("data"), "--speed", "1000", "--machine",
                                  dir.file("machine.json"), "--state", dir.file("keys.json")}, "", "", -1, {"TZ=UTC"}});
  ProcessGuard guard{pid};
  ASSERT_TRUE(eventually([&] { return countLines(logLines(readWholeFile(dir.file("data/daemon.log"))), "Starting main loop") == 1; }));
  EXPECT_EQ(stopProcess(pid, SIGTERM).status(), 0);
  const std::string log = readWholeFile(dir.file("data/daemon.log"));
  EXPECT_EQ(log.rfind("[2026-12-04 20:53:30] === hestle_warden starting ===\n", 0), 0u) << log;
  EXPECT_NE(log.find("Key CH0I: EXISTS value=0x01"), std::string::npos) << log;  // loaded before the probe
  EXPECT_NE(log.find("Firmware: Pre-Tahoe (CH0B/CH0C)"), std::string::npos) << log;
  EXPECT_EQ(savedKeys(dir.file("keys.json")).size(), 5u);
}

}  // namespace
