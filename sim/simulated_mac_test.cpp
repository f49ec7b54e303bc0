// Tests of the simulated Mac itself: its strictness where a Mac is strict,
// its object accounting, its SMC and battery physics, and its clock.
#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "platform/clock.h"
#include "sim/cf_objects.h"
#include "sim/simulated_mac.h"
#include "tests/test_support.h"

namespace {

using Block = std::array<uint8_t, 80>;

constexpr kern_return_t kInvalidDest = 0x10000003;

uint32_t code(const char* name) {
  uint32_t c = 0;
  for (int i = 0; i < 4; ++i) c = (c << 8) | static_cast<uint8_t>(name[i]);
  return c;
}

Block request(const char* key, uint8_t command, uint32_t size = 0, std::vector<uint8_t> data = {}) {
  Block b{};
  const uint32_t k = code(key);
  std::memcpy(&b[0], &k, 4);
  std::memcpy(&b[28], &size, 4);
  b[42] = command;
  std::copy(data.begin(), data.end(), b.begin() + 48);
  return b;
}

uint32_t u32At(const Block& b, size_t offset) {
  uint32_t v = 0;
  std::memcpy(&v, &b[offset], 4);
  return v;
}

io_connect_t openSmcConnection() {
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  EXPECT_NE(service, 0u);
  io_connect_t conn = 0;
  EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &conn), kIOReturnSuccess);
  IOObjectRelease(service);
  return conn;
}

struct Reply {
  kern_return_t status;
  Block block;
};

Reply call(io_connect_t conn, const Block& in) {
  Reply r{};
  r.block.fill(0xEE);
  size_t outSize = 80;
  r.status = IOConnectCallStructMethod(conn, 2, in.data(), 80, r.block.data(), &outSize);
  return r;
}

class SimulatedMacTest : public ::testing::Test {
 protected:
  void SetUp() override { simmac::boot(spec()); }
  virtual simmac::MachineSpec spec() const { return {}; }
};

// ---- IOKit strictness ----------------------------------------------------------

TEST_F(SimulatedMacTest, StructMethodRefusesWhatAMacRefuses) {
  const io_connect_t conn = openSmcConnection();
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  std::array<uint8_t, 96> in{};  // room for the oversized case
  const Block info = request("CHTE", 9);
  std::copy(info.begin(), info.end(), in.begin());
  struct Case {
    const char* what;
    mach_port_t connection;
    uint32_t selector;
    bool input;
    size_t inputSize;
    bool output;
    bool outputSize;
    size_t outputSizeValue;
    kern_return_t expected;
  };
  const Case cases[] = {
      {"selector 1", conn, 1, true, 80, true, true, 80, kIOReturnBadArgument},
      {"selector 3", conn, 3, true, 80, true, true, 80, kIOReturnBadArgument},
      {"input 79 bytes", conn, 2, true, 79, true, true, 80, kIOReturnBadArgument},
      {"input 81 bytes", conn, 2, true, 81, true, true, 80, kIOReturnBadArgument},
      {"null input", conn, 2, false, 80, true, true, 80, kIOReturnBadArgument},
      {"null output", conn, 2, true, 80, false, true, 80, kIOReturnBadArgument},
      {"null output size", conn, 2, true, 80, true, false, 80, kIOReturnBadArgument},
      {"output size 64", conn, 2, true, 80, true, true, 64, kIOReturnBadArgument},
      {"connection 0", 0, 2, true, 80, true, true, 80, kInvalidDest},
      {"unknown connection", conn + 1000, 2, true, 80, true, true, 80, kInvalidDest},
      {"a service, not a connection", service, 2, true, 80, true, true, 80, kInvalidDest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Block out;
    out.fill(0xEE);
    size_t outSize = c.outputSizeValue;
    EXPECT_EQ(IOConnectCallStructMethod(c.connection, c.selector, c.input ? in.data() : nullptr, c.inputSize,
                                        c.output ? out.data() : nullptr, c.outputSize ? &outSize : nullptr),
              c.expected);
    EXPECT_EQ(out[40], 0xEE) << "reply touched";
    ASSERT_FALSE(simmac::smcExchanges().empty());
    EXPECT_EQ(simmac::smcExchanges().back().status, c.expected);
  }
  IOObjectRelease(service);
  EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
  EXPECT_EQ(call(conn, info).status, kInvalidDest) << "a closed connection is dead";
}

TEST_F(SimulatedMacTest, OpenWantsALiveServiceTheCurrentTaskAndTypeZero) {
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  io_connect_t conn = 77;
  EXPECT_EQ(IOServiceOpen(service, mach_task_self() + 1, 0, &conn), kIOReturnBadArgument);
  EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 1, &conn), kIOReturnBadArgument);
  EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, nullptr), kIOReturnBadArgument);
  EXPECT_EQ(conn, 77u);
  EXPECT_EQ(IOObjectRelease(service), kIOReturnSuccess);
  EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &conn), kInvalidDest) << "released service";
  EXPECT_EQ(IOServiceOpen(0, mach_task_self(), 0, &conn), kInvalidDest);
  EXPECT_EQ(conn, 77u);
  EXPECT_EQ(simmac::objectCounts().ioLive, 0);
}

TEST_F(SimulatedMacTest, RefusedOpenAndMissingServiceFromTheMachine) {
  simmac::MachineSpec refused;
  refused.openStatus = kIOReturnNotPrivileged;
  simmac::boot(refused);
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  ASSERT_NE(service, 0u);
  io_connect_t conn = 5;
  EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &conn), static_cast<kern_return_t>(0xE00002C1));
  EXPECT_EQ(conn, 5u);
  IOObjectRelease(service);

  simmac::MachineSpec noSmc;
  noSmc.smcService = false;
  simmac::boot(noSmc);
  EXPECT_EQ(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC")), 0u);
  EXPECT_EQ(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("NoSuchClass")), 0u);
  const auto counts = simmac::objectCounts();
  EXPECT_EQ(counts.cfLive, 0) << "the matching dictionary is consumed even when nothing matches";
  EXPECT_EQ(counts.ioLive, 0);
  EXPECT_EQ(counts.ioCreated, 0);
}

TEST_F(SimulatedMacTest, MatchingConsumesExactlyOneReference) {
  CFMutableDictionaryRef matching = IOServiceMatching("AppleSmartBattery");
  CFRetain(matching);
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, matching);
  EXPECT_NE(service, 0u);
  EXPECT_EQ(simmac::objectCounts().cfLive, 3) << "dictionary, key and value still alive after one release";
  CFRelease(matching);
  IOObjectRelease(service);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
}

// ---- Object accounting --------------------------------------------------------

TEST_F(SimulatedMacTest, AFullPassLeaksNothingAndCountsBadReleases) {
  const io_connect_t conn = openSmcConnection();
  call(conn, request("CHTE", 9));
  io_service_t battery = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
  CFMutableDictionaryRef props = nullptr;
  ASSERT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnSuccess);
  ASSERT_NE(props, nullptr);
  // Values are not retained for the caller: only the dictionary is released.
  const CFIndex n = CFDictionaryGetCount(props);
  std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(props, keys.data(), values.data());
  CFRelease(props);
  IOObjectRelease(battery);
  IOServiceClose(conn);

  auto counts = simmac::objectCounts();
  EXPECT_GT(counts.cfCreated, 2 * n) << "every key and value counts";
  EXPECT_EQ(counts.cfLive, 0);
  EXPECT_EQ(counts.ioCreated, 3);
  EXPECT_EQ(counts.ioLive, 0);
  EXPECT_EQ(counts.badReleases, 0);

  struct Bad {
    const char* what;
    std::function<kern_return_t()> release;
  };
  const Bad bad[] = {
      {"released service again", [&] { return IOObjectRelease(battery); }},
      {"closed connection again", [&] { return IOServiceClose(conn); }},
      {"never handed out", [] { return IOObjectRelease(0x7777); }},
      {"handle 0", [] { return IOObjectRelease(0); }},
  };
  int64_t expected = 0;
  for (const auto& b : bad) {
    SCOPED_TRACE(b.what);
    EXPECT_NE(b.release(), kIOReturnSuccess);
    EXPECT_EQ(simmac::objectCounts().badReleases, ++expected);
  }
}

TEST_F(SimulatedMacTest, ConnectionsAreClosedNotReleasedAndServicesReleasedNotClosed) {
  const io_connect_t conn = openSmcConnection();
  EXPECT_NE(IOObjectRelease(conn), kIOReturnSuccess);
  EXPECT_EQ(call(conn, request("CHTE", 9)).status, kIOReturnSuccess) << "the connection stays open";
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  EXPECT_NE(IOServiceClose(service), kIOReturnSuccess);
  EXPECT_EQ(simmac::objectCounts().badReleases, 2);
  EXPECT_EQ(simmac::objectCounts().ioLive, 2);
  IOObjectRelease(service);
  IOServiceClose(conn);
  EXPECT_EQ(simmac::objectCounts().ioLive, 0);
}

TEST_F(SimulatedMacTest, BootStartsAFreshAccountingPeriod) {
  CFStringRef leaked = simmac::createString("left over");
  EXPECT_EQ(simmac::objectCounts().cfLive, 1);
  simmac::boot({});
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
  CFRelease(leaked);  // still a valid object; does not disturb the new period
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
  EXPECT_EQ(simmac::objectCounts().cfCreated, 0);
}

// ---- CoreFoundation -------------------------------------------------------------

using SimulatedMacDeathTest = SimulatedMacTest;

TEST_F(SimulatedMacDeathTest, BadReleasesCrashAsOnAMac) {
  EXPECT_DEATH(CFRelease(nullptr), "CFRelease: called with NULL");
  EXPECT_DEATH(CFRetain(nullptr), "CFRetain: called with NULL");
  EXPECT_DEATH(
      {
        CFStringRef s = simmac::createString("x");
        CFRelease(s);
        CFRelease(s);
      },
      "CFRelease: object already released");
  EXPECT_DEATH(
      {
        CFMutableDictionaryRef d = IOServiceMatching("AppleSMC");
        io_service_t s = IOServiceGetMatchingService(kIOMainPortDefault, d);
        IOObjectRelease(s);
        CFRelease(d);  // the lookup consumed it
      },
      "CFRelease: object already released");
  EXPECT_DEATH(
      {
        int notAnObject = 0;
        CFRelease(&notAnObject);
      },
      "CFRelease: not a CF object");
  EXPECT_DEATH(
      {
        CFNumberRef n = simmac::createInteger(1);
        CFRelease(n);
        CFGetTypeID(n);
      },
      "CFGetTypeID: object already released");
}

TEST_F(SimulatedMacDeathTest, WrongTypesCrashAsOnAMac) {
  EXPECT_DEATH(
      {
        int64_t v = 0;
        CFNumberGetValue(reinterpret_cast<CFNumberRef>(kCFBooleanTrue), kCFNumberSInt64Type, &v);
      },
      "CFNumberGetValue: object of the wrong CF type");
  EXPECT_DEATH(CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(simmac::createInteger(1))),
               "CFBooleanGetValue: object of the wrong CF type");
  EXPECT_DEATH(CFDictionaryGetCount(reinterpret_cast<CFDictionaryRef>(simmac::createString("d"))),
               "CFDictionaryGetCount: object of the wrong CF type");
}

TEST_F(SimulatedMacTest, BooleansAreStaticSingletonsAndNotNumbers) {
  EXPECT_NE(CFBooleanGetTypeID(), CFNumberGetTypeID());
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  for (int i = 0; i < 3; ++i) CFRelease(kCFBooleanTrue);
  CFRetain(kCFBooleanFalse);
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_EQ(simmac::objectCounts().cfCreated, 0);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
}

TEST_F(SimulatedMacTest, NumberConversionsReportLoss) {
  struct Case {
    const char* what;
    bool isFloat;
    int64_t integer;
    double real;
    CFNumberType type;
    bool exact;
    double stored;  // what lands in the caller's slot, as a double
  };
  const Case cases[] = {
      {"int to SInt64", false, -4000, 0, kCFNumberSInt64Type, true, -4000},
      {"int to SInt32", false, 123456, 0, kCFNumberIntType, true, 123456},
      {"int 300 to SInt8", false, 300, 0, kCFNumberSInt8Type, false, 44},
      {"int 2^40 to SInt32", false, int64_t{1} << 40, 0, kCFNumberSInt32Type, false, 0},
      {"int to Float64", false, 57, 0, kCFNumberFloat64Type, true, 57},
      {"int 2^53+1 to Float64", false, (int64_t{1} << 53) + 1, 0, kCFNumberDoubleType, false, 9007199254740992.0},
      {"int max to Float64", false, INT64_MAX, 0, kCFNumberFloat64Type, false, 9223372036854775808.0},
      {"80.0 to SInt64", true, 0, 80.0, kCFNumberSInt64Type, true, 80},
      {"57.5 to SInt64", true, 0, 57.5, kCFNumberSInt64Type, false, 57},
      {"-57.5 to SInt64", true, 0, -57.5, kCFNumberLongLongType, false, -57},
      {"1e300 to SInt64", true, 0, 1e300, kCFNumberSInt64Type, false, 9223372036854775807.0},
      {"-1e300 to SInt64", true, 0, -1e300, kCFNumberSInt64Type, false, -9223372036854775808.0},
      {"2^63 to SInt64", true, 0, 9223372036854775808.0, kCFNumberSInt64Type, false, 9223372036854775807.0},
      {"NaN to SInt64", true, 0, std::nan(""), kCFNumberSInt64Type, false, 0},
      {"0.1 to Float32", true, 0, 0.1, kCFNumberFloat32Type, false, static_cast<double>(0.1f)},
      {"0.5 to Float32", true, 0, 0.5, kCFNumberFloatType, true, 0.5},
      {"0.1 to Float64", true, 0, 0.1, kCFNumberFloat64Type, true, 0.1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CFNumberRef n = c.isFloat ? simmac::createFloat(c.real) : simmac::createInteger(c.integer);
    EXPECT_EQ(CFNumberIsFloatType(n), c.isFloat);
    EXPECT_EQ(CFNumberGetType(n), c.isFloat ? kCFNumberFloat64Type : kCFNumberSInt64Type);
    alignas(8) unsigned char slot[8] = {};
    EXPECT_EQ(CFNumberGetValue(n, c.type, slot), c.exact);
    double stored = 0;
    switch (c.type) {
      case kCFNumberSInt8Type: stored = *reinterpret_cast<int8_t*>(slot); break;
      case kCFNumberIntType:
      case kCFNumberSInt32Type: stored = *reinterpret_cast<int32_t*>(slot); break;
      case kCFNumberFloat32Type:
      case kCFNumberFloatType: stored = *reinterpret_cast<float*>(slot); break;
      case kCFNumberFloat64Type:
      case kCFNumberDoubleType: stored = *reinterpret_cast<double*>(slot); break;
      default: stored = static_cast<double>(*reinterpret_cast<int64_t*>(slot));
    }
    EXPECT_EQ(stored, c.stored);
    CFRelease(n);
  }
}

TEST_F(SimulatedMacTest, StringsNeedABufferAndTheirFullSize) {
  CFStringRef s = simmac::createString("Temp\xC3\xA9rature");  // "é" is two UTF-8 bytes, one unit
  EXPECT_EQ(CFGetTypeID(s), CFStringGetTypeID());
  EXPECT_EQ(CFStringGetCStringPtr(s, kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringGetLength(s), 11);
  const CFIndex max = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8);
  EXPECT_GE(max, 12);
  char buffer[64];
  EXPECT_FALSE(CFStringGetCString(s, buffer, 12, kCFStringEncodingUTF8)) << "no room for the NUL";
  ASSERT_TRUE(CFStringGetCString(s, buffer, 13, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "Temp\xC3\xA9rature");
  EXPECT_FALSE(CFStringGetCString(s, buffer, sizeof buffer, 0x0600 /* ASCII */));
  CFRelease(s);
}

TEST_F(SimulatedMacTest, DictionaryLookupComparesStringContents) {
  CFMutableDictionaryRef d = IOServiceMatching("AppleSMC");
  CFStringRef key = simmac::createString("IOProviderClass");
  const void* value = CFDictionaryGetValue(d, key);
  ASSERT_NE(value, nullptr);
  char buffer[32];
  ASSERT_TRUE(CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8));
  EXPECT_STREQ(buffer, "AppleSMC");
  CFStringRef other = simmac::createString("Nope");
  EXPECT_EQ(CFDictionaryGetValue(d, other), nullptr);
  CFRelease(other);
  CFRelease(key);
  CFRelease(d);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
}

// ---- The SMC --------------------------------------------------------------------

struct FirmwareCase {
  const char* name;
  simmac::Firmware firmware;
  std::vector<std::tuple<const char*, uint32_t, const char*, bool>> keys;  // name, size, type, usable
  std::vector<const char*> absent;
};

const FirmwareCase kFirmwares[] = {
    {"tahoe",
     simmac::Firmware::tahoe,
     {{"CHTE", 4, "ui32", true}, {"CHIE", 1, "hex_", true}, {"ACLC", 1, "ui8 ", true}},
     {"CH0B", "CH0C", "CH0I", "CH0J"}},
    {"preTahoe",
     simmac::Firmware::preTahoe,
     {{"CH0B", 1, "hex_", true},
      {"CH0C", 1, "hex_", true},
      {"CH0I", 1, "ui8 ", true},
      {"CH0J", 1, "ui8 ", true},
      {"ACLC", 1, "ui8 ", true}},
     {"CHTE", "CHIE"}},
    {"tahoe202609",
     simmac::Firmware::tahoe202609,
     {{"CHTE", 0, "ui32", false},
      {"CH0B", 0, "hex_", false},
      {"CH0C", 0, "hex_", false},
      {"CHIE", 1, "hex_", true},
      {"ACLC", 1, "ui8 ", true}},
     {"CH0I", "CH0J"}},
};

TEST_F(SimulatedMacTest, KeyTablePerFirmware) {
  for (const auto& fw : kFirmwares) {
    SCOPED_TRACE(fw.name);
    simmac::MachineSpec spec;
    spec.firmware = fw.firmware;
    simmac::boot(spec);
    const io_connect_t conn = openSmcConnection();
    for (const auto& [name, size, type, usable] : fw.keys) {
      SCOPED_TRACE(name);
      Reply info = call(conn, request(name, 9));
      ASSERT_EQ(info.status, kIOReturnSuccess);
      EXPECT_EQ(info.block[40], 0);
      EXPECT_EQ(u32At(info.block, 28), size);
      EXPECT_EQ(u32At(info.block, 32), code(type));
      EXPECT_EQ(simmac::smcKeyHex(name), std::string(2 * size, '0')) << "power-on value is zero";
      Reply read = call(conn, request(name, 5, size));
      Reply write = call(conn, request(name, 6, size, {1}));
      EXPECT_EQ(read.block[40] == 0, usable);
      EXPECT_EQ(write.block[40] == 0, usable);
    }
    for (const char* name : fw.absent) {
      SCOPED_TRACE(name);
      EXPECT_EQ(call(conn, request(name, 9)).block[40], 0x84);
      EXPECT_FALSE(simmac::smcKey(name).has_value());
    }
    IOServiceClose(conn);
  }
}

TEST_F(SimulatedMacTest, CommandsAnswerByteExactly) {
  const io_connect_t conn = openSmcConnection();
  Block info = call(conn, request("CHTE", 9)).block;
  Block expected{};
  expected[28] = 4;
  std::memcpy(&expected[32], "23iu", 4);  // 'ui32' in host (little-endian) order
  EXPECT_EQ(info, expected);

  Block unknown = call(conn, request("ZZZZ", 9)).block;
  Block onlyResult{};
  onlyResult[40] = 0x84;
  EXPECT_EQ(unknown, onlyResult);

  Block write = call(conn, request("CHTE", 6, 4, {1, 2, 3, 4, 5})).block;
  Block ok{};
  EXPECT_EQ(write, ok);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01020304") << "the first `size` data bytes are stored";

  Block read = call(conn, request("CHTE", 5, 4)).block;
  Block value{};
  value[48] = 1, value[49] = 2, value[50] = 3, value[51] = 4;
  EXPECT_EQ(read, value);

  struct Refused {
    const char* what;
    Block in;
  };
  const Refused refused[] = {
      {"read with size 1 of a 4-byte key", request("CHTE", 5, 1)},
      {"read with size 0", request("CHTE", 5, 0)},
      {"write with size 1 of a 4-byte key", request("CHTE", 6, 1, {9})},
      {"write with size 8", request("CHTE", 6, 8, {9})},
      {"read of an unknown key", request("ZZZZ", 5, 1)},
      {"write of an unknown key", request("ZZZZ", 6, 1, {1})},
      {"command 7", request("CHTE", 7, 4)},
      {"command 0", request("CHTE", 0)},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    Reply reply = call(conn, r.in);
    EXPECT_EQ(reply.status, kIOReturnSuccess);
    EXPECT_NE(reply.block[40], 0);
  }
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01020304") << "refused writes change nothing";

  const auto& record = simmac::smcExchanges();
  ASSERT_EQ(record.size(), 4u + std::size(refused));
  EXPECT_EQ(record[0].connection, conn);
  EXPECT_EQ(record[0].selector, 2u);
  const Block infoRequest = request("CHTE", 9);
  EXPECT_EQ(record[0].request, std::vector<uint8_t>(infoRequest.begin(), infoRequest.end()));
  EXPECT_EQ(record[0].reply, info);
  EXPECT_EQ(record[3].reply, read);
}

TEST_F(SimulatedMacTest, MissingRejectedAndFailingAsInjected) {
  simmac::MachineSpec spec;
  spec.missingKeys = {"CHIE"};
  spec.rejectedKeys = {"CHTE"};
  simmac::boot(spec);
  const io_connect_t conn = openSmcConnection();
  EXPECT_EQ(call(conn, request("CHIE", 9)).block[40], 0x84);
  EXPECT_EQ(call(conn, request("CHTE", 9)).block[40], 0) << "rejected keys still have key info";
  EXPECT_NE(call(conn, request("CHTE", 5, 4)).block[40], 0);
  EXPECT_NE(call(conn, request("CHTE", 6, 4, {1})).block[40], 0);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "00000000");

  simmac::rejectSmcKey("ACLC", false, true);
  EXPECT_EQ(call(conn, request("ACLC", 5, 1)).block[40], 0);
  EXPECT_NE(call(conn, request("ACLC", 6, 1, {3})).block[40], 0);
  simmac::removeSmcKey("ACLC");
  EXPECT_EQ(call(conn, request("ACLC", 9)).block[40], 0x84);

  simmac::setSmcCallFailure(kIOReturnError);
  Reply failed = call(conn, request("CHTE", 9));
  EXPECT_EQ(failed.status, kIOReturnError);
  EXPECT_EQ(failed.block[40], 0xEE) << "reply untouched";
  simmac::setSmcCallFailure(std::nullopt);
  EXPECT_EQ(call(conn, request("CHTE", 9)).status, kIOReturnSuccess);

  simmac::clearSmcExchanges();
  simmac::setRecordSmcExchanges(false);
  call(conn, request("CHTE", 9));
  EXPECT_TRUE(simmac::smcExchanges().empty());
}

TEST_F(SimulatedMacTest, KeysTellWhatTheMachineDoes) {
  struct Case {
    simmac::Firmware firmware;
    const char* key;
    std::vector<uint8_t> value;
    bool inhibited;
    bool disabled;
  };
  const Case cases[] = {
      {simmac::Firmware::tahoe, "CHTE", {1, 0, 0, 0}, true, false},
      {simmac::Firmware::tahoe, "CHTE", {0, 0, 0, 1}, true, false},
      {simmac::Firmware::tahoe, "CHIE", {8}, false, true},
      {simmac::Firmware::tahoe, "CHIE", {1}, false, false},
      {simmac::Firmware::preTahoe, "CH0B", {2}, true, false},
      {simmac::Firmware::preTahoe, "CH0C", {2}, true, false},
      {simmac::Firmware::preTahoe, "CH0I", {1}, false, true},
      {simmac::Firmware::preTahoe, "CH0J", {1}, false, true},
      {simmac::Firmware::tahoe202609, "CHIE", {8}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    simmac::MachineSpec spec;
    spec.firmware = c.firmware;
    simmac::boot(spec);
    EXPECT_FALSE(simmac::chargeInhibited());
    EXPECT_FALSE(simmac::adapterDisabled());
    const io_connect_t conn = openSmcConnection();
    Block in = request(c.key, 6, static_cast<uint32_t>(simmac::smcKey(c.key)->size), c.value);
    ASSERT_EQ(call(conn, in).block[40], 0);
    EXPECT_EQ(simmac::chargeInhibited(), c.inhibited);
    EXPECT_EQ(simmac::adapterDisabled(), c.disabled);
  }
  const io_connect_t conn = openSmcConnection();
  call(conn, request("ACLC", 6, 1, {4}));
  EXPECT_EQ(simmac::ledValue(), 4);
}

TEST_F(SimulatedMacTest, WritesPersistUntilReboot) {
  const io_connect_t conn = openSmcConnection();
  call(conn, request("CHTE", 6, 4, {1}));
  simmac::advance(86400);
  EXPECT_TRUE(simmac::chargeInhibited());
  IOServiceClose(conn);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01000000") << "closing the connection changes nothing";
  simmac::reboot();
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "00000000");
  EXPECT_FALSE(simmac::chargeInhibited());
}

TEST_F(SimulatedMacTest, PersistedKeysSurviveAFreshBoot) {
  TempDir dir;
  const std::string path = dir.file("keys.json");
  simmac::persistKeysTo(path);
  const io_connect_t conn = openSmcConnection();
  call(conn, request("CHTE", 6, 4, {1}));
  call(conn, request("CHIE", 6, 1, {8}));
  call(conn, request("CHTE", 6, 2, {7})) /* refused: wrong size */;
  const auto saved = nlohmann::json::parse(readWholeFile(path));
  EXPECT_EQ(saved.at("keys").at("CHTE"), "01000000");
  EXPECT_EQ(saved.at("keys").at("CHIE"), "08");
  EXPECT_EQ(saved.at("keys").at("ACLC"), "00");

  simmac::boot({});  // a new process on the same machine
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "00000000");
  simmac::persistKeysTo(path);
  EXPECT_EQ(simmac::smcKeyHex("CHTE"), "01000000");
  EXPECT_TRUE(simmac::adapterDisabled());

  simmac::reboot();
  EXPECT_EQ(nlohmann::json::parse(readWholeFile(path)).at("keys").at("CHTE"), "00000000");

  writeWholeFile(path, "{\"keys\": \"garbage\"}");
  simmac::boot({});
  EXPECT_THROW(simmac::persistKeysTo(path), std::runtime_error);
}

// ---- The battery ----------------------------------------------------------------

simmac::MachineSpec batteryAt(double percent, bool plugged = true) {
  simmac::MachineSpec spec;
  spec.battery->percent = percent;
  spec.battery->pluggedIn = plugged;
  spec.battery->chargePerHour = 40;
  spec.battery->drainPerHour = 12;
  return spec;
}

TEST_F(SimulatedMacTest, BatteryChargesHoldsAndDrainsAtItsRates) {
  simmac::boot(batteryAt(50));
  simmac::advance(1800);
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 70.0);
  EXPECT_TRUE(simmac::batteryCharging());
  simmac::setSmcKeyValue("CHTE", {1, 0, 0, 0});
  simmac::advance(3600);
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 70.0) << "held while inhibited";
  EXPECT_FALSE(simmac::batteryCharging());
  simmac::setSmcKeyValue("CHIE", {8});
  simmac::advance(3600);
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 58.0) << "drains with the adapter disabled";
  simmac::setSmcKeyValue("CHIE", {0});
  simmac::setSmcKeyValue("CHTE", {0, 0, 0, 0});
  simmac::setPluggedIn(false);
  simmac::advance(3600);
  EXPECT_DOUBLE_EQ(simmac::batteryPercent(), 46.0) << "drains unplugged";
  simmac::advance(10 * 3600);
  EXPECT_EQ(simmac::batteryPercent(), 0.0) << "down to 0, not below";
  simmac::setPluggedIn(true);
  simmac::advance(5 * 3600);
  EXPECT_EQ(simmac::batteryPercent(), 100.0) << "up to 100, not above";
  EXPECT_FALSE(simmac::batteryCharging());
}

TEST_F(SimulatedMacTest, PlugEventMidWaitChangesTheRateFromThatMoment) {
  simmac::boot(batteryAt(50));
  const double start = simmac::now();
  simmac::schedule(start + 900, [] { simmac::setPluggedIn(false); });
  simmac::schedule(start + 2700, [] { simmac::setPluggedIn(true); });
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_FALSE(waitForWake(fds[0], 3600));
  EXPECT_EQ(simmac::now(), start + 3600);
  // 15 min charging (+10), 30 min draining (-6), 15 min charging (+10).
  EXPECT_NEAR(simmac::batteryPercent(), 64.0, 1e-9);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(SimulatedMacTest, RegistryReportsWhatTheBatteryDoes) {
  struct Case {
    const char* what;
    double percent;
    bool plugged;
    std::vector<std::pair<const char*, std::vector<uint8_t>>> keys;
    bool external;
    bool charging;
  };
  const Case cases[] = {
      {"charging", 50, true, {}, true, true},
      {"full", 100, true, {}, true, false},
      {"inhibited", 50, true, {{"CHTE", {1, 0, 0, 0}}}, true, false},
      {"adapter disabled", 50, true, {{"CHIE", {8}}}, false, false},
      {"unplugged", 50, false, {}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    simmac::boot(batteryAt(c.percent, c.plugged));
    for (const auto& [key, value] : c.keys) simmac::setSmcKeyValue(key, value);
    auto p = simmac::batteryProperties();
    EXPECT_EQ(std::get<bool>(p.at("ExternalConnected")), c.external);
    EXPECT_EQ(std::get<bool>(p.at("IsCharging")), c.charging);
    EXPECT_EQ(std::get<int64_t>(p.at("AppleRawMaxCapacity")), 5000);
    EXPECT_EQ(std::get<int64_t>(p.at("AppleRawCurrentCapacity")), static_cast<int64_t>(c.percent * 50));
    EXPECT_EQ(std::get<int64_t>(p.at("CurrentCapacity")), static_cast<int64_t>(c.percent));
    EXPECT_EQ(std::get<int64_t>(p.at("MaxCapacity")), 100);
    EXPECT_GE(p.size(), 15u);
  }
}

TEST_F(SimulatedMacTest, RegistryDictionaryCarriesTypedValues) {
  simmac::boot(batteryAt(80));
  simmac::setPropertyOverride("MaxCapacity", std::string("100"));
  simmac::setPropertyOverride("Extra", 2.5);
  io_service_t battery = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
  CFMutableDictionaryRef props = nullptr;
  ASSERT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnSuccess);
  ASSERT_EQ(CFGetTypeID(props), CFDictionaryGetTypeID());
  auto valueOf = [&](const char* name) {
    CFStringRef key = simmac::createString(name);
    const void* v = CFDictionaryGetValue(props, key);
    CFRelease(key);
    return v;
  };
  int64_t raw = 0;
  ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(valueOf("AppleRawCurrentCapacity")), kCFNumberSInt64Type, &raw));
  EXPECT_EQ(raw, 4000);
  EXPECT_EQ(CFGetTypeID(valueOf("ExternalConnected")), CFBooleanGetTypeID());
  EXPECT_EQ(CFGetTypeID(valueOf("MaxCapacity")), CFStringGetTypeID()) << "override replaces";
  EXPECT_TRUE(CFNumberIsFloatType(static_cast<CFNumberRef>(valueOf("Extra")))) << "override adds";
  EXPECT_EQ(CFGetTypeID(valueOf("Serial")), CFStringGetTypeID());
  CFRelease(props);
  IOObjectRelease(battery);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
}

TEST_F(SimulatedMacTest, PropertyFaults) {
  io_service_t battery = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery"));
  CFMutableDictionaryRef props = nullptr;

  simmac::setPropertiesFailure(kIOReturnNotFound);
  EXPECT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnNotFound);
  EXPECT_EQ(props, nullptr);
  simmac::setPropertiesFailure(std::nullopt);

  simmac::setPropertiesNull(true);
  props = reinterpret_cast<CFMutableDictionaryRef>(1);
  EXPECT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnSuccess);
  EXPECT_EQ(props, nullptr);
  simmac::setPropertiesNull(false);

  simmac::setPropertiesNotDictionary(true);
  ASSERT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnSuccess);
  EXPECT_EQ(CFGetTypeID(props), CFStringGetTypeID());
  CFRelease(props);
  simmac::setPropertiesNotDictionary(false);

  simmac::setPropertiesNonStringKey(true);
  ASSERT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kIOReturnSuccess);
  const CFIndex n = CFDictionaryGetCount(props);
  std::vector<const void*> keys(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(props, keys.data(), nullptr);
  int numberKeys = 0;
  for (const void* k : keys) numberKeys += CFGetTypeID(k) == CFNumberGetTypeID();
  EXPECT_EQ(numberKeys, 1);
  CFRelease(props);
  IOObjectRelease(battery);

  simmac::setBatteryService(false);
  EXPECT_EQ(IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSmartBattery")), 0u);
  EXPECT_EQ(IORegistryEntryCreateCFProperties(battery, &props, kCFAllocatorDefault, 0), kInvalidDest)
      << "a released entry is dead";
  const auto counts = simmac::objectCounts();
  EXPECT_EQ(counts.cfLive, 0);
  EXPECT_EQ(counts.ioLive, 0);
  EXPECT_EQ(counts.badReleases, 0);
}

// ---- The clock ------------------------------------------------------------------

class WaitTest : public SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    ASSERT_EQ(pipe(fds), 0);
  }
  void TearDown() override {
    close(fds[0]);
    close(fds[1]);
  }
  void wake() { ASSERT_EQ(write(fds[1], "x", 1), 1); }
  int fds[2] = {-1, -1};
};

TEST_F(WaitTest, VirtualWaitStopsAtEventsAndWakesThroughTheFd) {
  const double start = simmac::now();
  std::vector<double> hookCalls, eventTimes;
  simmac::setWaitHook([&](double t) { hookCalls.push_back(t); });
  simmac::schedule(start + 3, [&] { eventTimes.push_back(simmac::now()); });
  simmac::schedule(start + 5, [&] {
    eventTimes.push_back(simmac::now());
    wake();
  });
  simmac::schedule(start + 7, [&] { eventTimes.push_back(simmac::now()); });
  EXPECT_TRUE(waitForWake(fds[0], 10));
  EXPECT_EQ(simmac::now(), start + 5) << "woken at the virtual moment of the event";
  EXPECT_EQ(eventTimes, (std::vector<double>{start + 3, start + 5}));
  EXPECT_EQ(wallClockNow(), simmac::now());

  // The byte is left for the caller: a wake still pending ends the next wait at once.
  EXPECT_TRUE(waitForWake(fds[0], 10));
  EXPECT_EQ(simmac::now(), start + 5);
  char byte;
  ASSERT_EQ(read(fds[0], &byte, 1), 1);

  EXPECT_FALSE(waitForWake(fds[0], 10));
  EXPECT_EQ(simmac::now(), start + 15);
  EXPECT_EQ(eventTimes.size(), 3u);
  EXPECT_EQ(hookCalls, (std::vector<double>{start, start + 5, start + 5}));
}

TEST_F(WaitTest, EventsScheduledByEventsAndAdvanceRunInOrder) {
  const double start = simmac::now();
  std::vector<int> order;
  simmac::schedule(start + 2, [&] { order.push_back(2); });
  simmac::schedule(start + 1, [&] {
    order.push_back(1);
    simmac::schedule(simmac::now() + 0.5, [&] { order.push_back(15); });
  });
  simmac::schedule(start + 2, [&] { order.push_back(3); });
  simmac::advance(2);
  EXPECT_EQ(order, (std::vector<int>{1, 15, 2, 3}));
  simmac::schedule(start + 100, [&] { order.push_back(100); });
  simmac::clearSchedule();
  simmac::advance(200);
  EXPECT_EQ(order.size(), 4u);
  EXPECT_THROW(simmac::advance(-1), std::invalid_argument);
}

TEST_F(WaitTest, RealTimeModeMovesTheClockByElapsedTimeTimesSpeed) {
  simmac::setRealTimeSpeed(1000);
  const double start = simmac::now();
  bool ran = false;
  simmac::schedule(start + 4, [&] { ran = true; });
  EXPECT_FALSE(waitForWake(fds[0], 10));  // 10 ms of real time
  EXPECT_TRUE(ran);
  EXPECT_EQ(simmac::now(), start + 10);
  wake();
  EXPECT_TRUE(waitForWake(fds[0], 3600));
  EXPECT_EQ(simmac::now(), start + 10) << "a pending wake returns at once";
}

// ---- Machine descriptions ---------------------------------------------------------

TEST(MachineSpecFromJson, ReadsEveryMember) {
  const auto spec = simmac::machineSpecFromJson(nlohmann::json::parse(R"({
    "firmware": "preTahoe", "missingKeys": ["CH0C"], "rejectedKeys": ["CH0I", "CH0J"],
    "battery": {"percent": 95, "capacityMah": 4500, "pluggedIn": false, "chargePerHour": 30,
                "drainPerHour": 10.5, "properties": {"CycleCount": 3, "Serial": "X", "IsCharging": true, "V": 1.5}},
    "start": "2026-12-04T20:53:30Z"})"));
  EXPECT_EQ(spec.firmware, simmac::Firmware::preTahoe);
  EXPECT_EQ(spec.missingKeys, std::vector<std::string>{"CH0C"});
  EXPECT_EQ(spec.rejectedKeys, (std::vector<std::string>{"CH0I", "CH0J"}));
  ASSERT_TRUE(spec.battery);
  EXPECT_EQ(spec.battery->percent, 95);
  EXPECT_EQ(spec.battery->capacityMah, 4500);
  EXPECT_FALSE(spec.battery->pluggedIn);
  EXPECT_EQ(spec.battery->chargePerHour, 30);
  EXPECT_EQ(spec.battery->drainPerHour, 10.5);
  EXPECT_EQ(spec.battery->overrides.at("CycleCount"), simmac::PropertyValue(int64_t{3}));
  EXPECT_EQ(spec.battery->overrides.at("Serial"), simmac::PropertyValue(std::string("X")));
  EXPECT_EQ(spec.battery->overrides.at("IsCharging"), simmac::PropertyValue(true));
  EXPECT_EQ(spec.battery->overrides.at("V"), simmac::PropertyValue(1.5));
  EXPECT_EQ(spec.startTime, 1796417610.0);

  EXPECT_EQ(simmac::machineSpecFromJson(nlohmann::json::parse(R"({"firmware":"tahoe-2026-09"})")).firmware,
            simmac::Firmware::tahoe202609);
  const auto noSmc = simmac::machineSpecFromJson(nlohmann::json::parse(R"({"firmware":"noSMC","battery":null})"));
  EXPECT_FALSE(noSmc.smcService);
  EXPECT_EQ(noSmc.firmware, simmac::Firmware::tahoe);
  EXPECT_FALSE(noSmc.battery);
  const auto refused = simmac::machineSpecFromJson(nlohmann::json::parse(R"({"firmware":"refused"})"));
  EXPECT_EQ(refused.openStatus, kIOReturnNotPrivileged);
  EXPECT_TRUE(refused.smcService);
  const auto defaults = simmac::machineSpecFromJson(nlohmann::json::object());
  EXPECT_EQ(defaults.firmware, simmac::Firmware::tahoe);
  EXPECT_TRUE(defaults.battery);
  EXPECT_EQ(defaults.startTime, simmac::MachineSpec{}.startTime);
}

TEST(MachineSpecFromJson, RefusesIllTypedMembers) {
  const char* bad[] = {
      R"([])",
      R"({"firmware": "sonoma"})",
      R"({"firmware": 3})",
      R"({"missingKeys": "CHTE"})",
      R"({"missingKeys": ["CHTEX"]})",
      R"({"rejectedKeys": [1]})",
      R"({"battery": 5})",
      R"({"battery": {"percent": "95"}})",
      R"({"battery": {"percent": 101}})",
      R"({"battery": {"capacityMah": 4500.5}})",
      R"({"battery": {"capacityMah": 0}})",
      R"({"battery": {"pluggedIn": 1}})",
      R"({"battery": {"chargePerHour": -1}})",
      R"({"battery": {"properties": []}})",
      R"({"battery": {"properties": {"A": null}}})",
      R"({"battery": {"properties": {"A": [1]}}})",
      R"({"battery": {"properties": {"A": 18446744073709551615}}})",
      R"({"battery": {"plugedIn": true}})",
      R"({"start": 1796417610})",
      R"({"start": "2026-12-04 20:53:30"})",
      R"({"start": "2026-12-04T20:53:30"})",
      R"({"start": "2026-13-04T20:53:30Z"})",
      R"({"start": "2026-02-31T20:53:30Z"})",
      R"({"firmwre": "tahoe"})",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_THROW(simmac::machineSpecFromJson(nlohmann::json::parse(text)), std::invalid_argument);
  }
}

// ---- hestled on Linux ---------------------------------------------------------------

#ifdef HESTLED_PATH
int runHestled(const std::vector<std::string>& args) {
  std::string command = std::string(HESTLED_PATH);
  for (const auto& a : args) command += " '" + a + "'";
  command += " 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HestledArguments, UsageErrorsExitWithStatus2) {
  TempDir dir;
  writeWholeFile(dir.file("bad.json"), R"({"firmware": "sonoma"})");
  writeWholeFile(dir.file("broken.json"), "{");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--data-dir"},
      {"--machine", dir.file("bad.json")},
      {"--data-dir", dir.path(), "--speed", "0"},
      {"--data-dir", dir.path(), "--speed", "fast"},
      {"--data-dir", dir.path(), "--bogus", "1"},
      {"--data-dir", dir.path(), "--machine", dir.file("bad.json")},
      {"--data-dir", dir.path(), "--machine", dir.file("broken.json")},
      {"--data-dir", dir.path(), "--machine", dir.file("missing.json")},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(runHestled(args), 2);
  }
}

// Starts hestled with `args` (TZ=UTC), waits until daemon.log in `dataDir`
// holds "Starting main loop" (or the process ended), and returns its pid.
pid_t startHestled(const std::string& dataDir, std::vector<std::string> args) {
  args.insert(args.begin(), {HESTLED_PATH, "--data-dir", dataDir, "--speed", "1000"});
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    setenv("TZ", "UTC", 1);
    if (!freopen("/dev/null", "w", stderr)) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int i = 0; i < 1000; ++i) {
    if (readWholeFile(dataDir + "/daemon.log").find("Starting main loop") != std::string::npos) break;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return -1;
    usleep(10000);
  }
  return pid;
}

int stopHestled(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HestledProcess, RunsTheMachineFromItsFileAndKeepsTheKeys) {
  TempDir dir;
  writeWholeFile(dir.file("machine.json"), R"({"firmware": "preTahoe", "start": "2026-12-04T20:53:30Z"})");
  writeWholeFile(dir.file("keys.json"), R"({"keys":{"CH0I":"01","CH0J":"01","ACLC":"04"}})");
  const pid_t pid = startHestled(dir.file("data"), {"--machine", dir.file("machine.json"), "--state", dir.file("keys.json")});
  ASSERT_GT(pid, 0) << "hestled ended before its main loop";
  EXPECT_EQ(stopHestled(pid), 0);
  const std::string log = readWholeFile(dir.file("data/daemon.log"));
  EXPECT_EQ(log.rfind("[2026-12-04 20:53:30] ", 0), 0u) << "the machine's start time\n" << log;
  // The earlier process's adapter keys were loaded: the probe saw them.
  EXPECT_NE(log.find("Key CH0I: EXISTS value=0x01"), std::string::npos) << log;
  EXPECT_NE(log.find("Firmware: Pre-Tahoe (CH0B/CH0C)"), std::string::npos) << log;
  const auto keys = nlohmann::json::parse(readWholeFile(dir.file("keys.json"))).at("keys");
  EXPECT_EQ(keys.size(), 5u) << keys.dump();
  EXPECT_TRUE(keys.contains("CH0B"));
}

TEST(HestledProcess, WithoutAStartTheClockIsTheRealOne) {
  TempDir dir;
  const pid_t pid = startHestled(dir.file("data"), {});
  ASSERT_GT(pid, 0) << "hestled ended before its main loop";
  const time_t real = time(nullptr);
  EXPECT_EQ(stopHestled(pid), 0);
  const std::string log = readWholeFile(dir.file("data/daemon.log"));
  ASSERT_GT(log.size(), 21u);
  std::tm tm{};
  ASSERT_NE(strptime(log.substr(1, 19).c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << log;
  EXPECT_NEAR(static_cast<double>(timegm(&tm)), static_cast<double>(real), 120.0) << log;
}
#endif

}  // namespace
