// Tests of getBatteryPercent() against the simulated Mac's registry: every
// failure gives the zero reading, and no path leaks or over-releases an object.
#include "battery/battery_reading.h"

#include <cmath>
#include <limits>
#include <ostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// Readable failure messages for readings and for the cases of a table.
static void PrintTo(const BatteryReading& r, std::ostream* os) {
  *os << "{percent " << r.percent << ", pluggedIn " << r.pluggedIn << ", charging " << r.charging << "}";
}

#include "sim/simulated_mac.h"
#include "tests/test_support.h"

namespace {

class BatteryRegistryTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    before = simmac::objectCounts();
  }

  // Reads the battery and checks that the call handed back every object it got.
  BatteryReading read() {
    BatteryReading reading = getBatteryPercent();
    simmac::ObjectCounts after = simmac::objectCounts();
    EXPECT_EQ(after.cfLive, before.cfLive) << "CF objects leaked";
    EXPECT_EQ(after.ioLive, before.ioLive) << "IO objects leaked";
    EXPECT_EQ(after.badReleases, before.badReleases);
    return reading;
  }

  // Capacities and flags under keys fixed by the test, whatever the model reports.
  static void setCapacities(int64_t current, int64_t full) {
    simmac::setPropertyOverride("AppleRawCurrentCapacity", current);
    simmac::setPropertyOverride("AppleRawMaxCapacity", full);
  }

  simmac::ObjectCounts before;
};

TEST_F(BatteryRegistryTest, ReadsTheModelsBattery) {
  setCapacities(4000, 5000);
  simmac::setPropertyOverride("ExternalConnected", true);
  simmac::setPropertyOverride("IsCharging", false);
  EXPECT_EQ(read(), (BatteryReading{80, true, false}));
  // The accounting saw the lookup: the leak checks above can fail.
  EXPECT_GT(simmac::objectCounts().cfCreated, before.cfCreated);
  EXPECT_GT(simmac::objectCounts().ioCreated, before.ioCreated);

  simmac::setPropertyOverride("ExternalConnected", false);
  simmac::setPropertyOverride("IsCharging", true);
  setCapacities(4999, 5000);
  EXPECT_EQ(read(), (BatteryReading{99, false, true}));
}

TEST_F(BatteryRegistryTest, FollowsTheModelWithoutOverrides) {
  simmac::setBatteryPercent(42.0);
  simmac::setPluggedIn(false);
  BatteryReading reading = read();
  EXPECT_EQ(reading.percent, 42);
  EXPECT_FALSE(reading.pluggedIn);
  EXPECT_EQ(reading.charging, simmac::batteryCharging());
}

TEST_F(BatteryRegistryTest, RepeatedReadsLeakNothing) {
  setCapacities(2500, 5000);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(read().percent, 50);
}

struct FaultCase {
  const char* name;
  void (*inject)();
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class BatteryRegistryFaultTest : public BatteryRegistryTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BatteryRegistryFaultTest, GivesTheZeroReading) {
  setCapacities(4000, 5000);
  simmac::setPropertyOverride("ExternalConnected", true);
  simmac::setPropertyOverride("IsCharging", true);
  ASSERT_EQ(read(), (BatteryReading{80, true, true}));  // healthy before the fault
  GetParam().inject();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read(), BatteryReading{});
}

const FaultCase faultCases[] = {
    {"NoService", [] { simmac::setBatteryService(false); }},
    {"PropertiesCallFails", [] { simmac::setPropertiesFailure(kIOReturnNotPrivileged); }},
    {"PropertiesCallFailsWithError", [] { simmac::setPropertiesFailure(kIOReturnError); }},
    {"NullDictionary", [] { simmac::setPropertiesNull(true); }},
    {"NotADictionary", [] { simmac::setPropertiesNotDictionary(true); }},
    {"NonStringKey", [] { simmac::setPropertiesNonStringKey(true); }},
};

INSTANTIATE_TEST_SUITE_P(Faults, BatteryRegistryFaultTest, ::testing::ValuesIn(faultCases),
                         [](const auto& info) { return std::string(info.param.name); });

class NoBatteryMachineTest : public BatteryRegistryTest {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.battery = std::nullopt;
    return spec;
  }
};

TEST_F(NoBatteryMachineTest, GivesTheZeroReadingOnEveryCall) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read(), BatteryReading{});
}

// Registry values of the wrong kind or not exactly an integer count as absent,
// so the reading falls back to the second key or the default.
struct OverrideCase {
  const char* name;
  std::vector<std::pair<std::string, simmac::PropertyValue>> overrides;
  BatteryReading expected;
};

void PrintTo(const OverrideCase& c, std::ostream* os) { *os << c.name; }

class BatteryRegistryOverrideTest : public BatteryRegistryTest,
                                    public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(BatteryRegistryOverrideTest, ReadsOnlyWhatIsExact) {
  // Defaults under every key, so that only the overrides of the case decide.
  simmac::setPropertyOverride("AppleRawCurrentCapacity", int64_t{4000});
  simmac::setPropertyOverride("CurrentCapacity", int64_t{30});
  simmac::setPropertyOverride("AppleRawMaxCapacity", int64_t{5000});
  simmac::setPropertyOverride("MaxCapacity", int64_t{60});
  simmac::setPropertyOverride("ExternalConnected", true);
  simmac::setPropertyOverride("IsCharging", true);
  for (const auto& [key, value] : GetParam().overrides) simmac::setPropertyOverride(key, value);
  EXPECT_EQ(read(), GetParam().expected);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const OverrideCase overrideCases[] = {
    {"Baseline", {}, {80, true, true}},
    {"IntegralFloatCounts", {{"AppleRawCurrentCapacity", 4000.0}}, {80, true, true}},
    {"IntegralFloatFullCounts", {{"AppleRawMaxCapacity", 8000.0}}, {50, true, true}},
    {"FractionDoesNotCount", {{"AppleRawCurrentCapacity", 57.5}, {"AppleRawMaxCapacity", int64_t{100}}}, {30, true, true}},
    {"FractionFullFallsBack", {{"AppleRawCurrentCapacity", int64_t{30}}, {"AppleRawMaxCapacity", 57.5}}, {50, true, true}},
    {"StringFullFallsBack", {{"AppleRawCurrentCapacity", int64_t{57}}, {"AppleRawMaxCapacity", std::string("5000")}, {"MaxCapacity", int64_t{100}}}, {57, true, true}},
    {"StringCurrentFallsBack", {{"AppleRawCurrentCapacity", std::string("4000")}, {"AppleRawMaxCapacity", int64_t{60}}}, {50, true, true}},
    {"BooleanCurrentFallsBack", {{"AppleRawCurrentCapacity", true}, {"AppleRawMaxCapacity", int64_t{60}}}, {50, true, true}},
    {"BooleanFullFallsBack", {{"AppleRawCurrentCapacity", int64_t{30}}, {"AppleRawMaxCapacity", false}}, {50, true, true}},
    {"NumberIsNotABoolean", {{"ExternalConnected", int64_t{1}}, {"IsCharging", 1.0}}, {80, false, false}},
    {"StringIsNotABoolean", {{"IsCharging", std::string("Yes")}}, {80, true, false}},
    {"FalseFlags", {{"ExternalConnected", false}, {"IsCharging", false}}, {80, false, false}},
    {"NaNFallsBack", {{"AppleRawCurrentCapacity", kNaN}, {"AppleRawMaxCapacity", int64_t{60}}}, {50, true, true}},
    {"InfinityFallsBack", {{"AppleRawCurrentCapacity", kInf}, {"AppleRawMaxCapacity", -kInf}}, {50, true, true}},
    {"HugeFloatFallsBack", {{"AppleRawCurrentCapacity", 1e300}, {"AppleRawMaxCapacity", -1e300}}, {50, true, true}},
    // 2^63 is integral but one past the largest signed 64-bit value.
    {"TwoToThe63FallsBack", {{"AppleRawCurrentCapacity", 9223372036854775808.0}, {"AppleRawMaxCapacity", int64_t{60}}}, {50, true, true}},
    {"MinusTwoToThe63Counts", {{"AppleRawCurrentCapacity", -9223372036854775808.0}}, {-184467440737095516, true, true}},
    {"LargestIntegerCounts", {{"AppleRawCurrentCapacity", std::numeric_limits<int64_t>::max()}}, {100, true, true}},
    {"NegativeCapacity", {{"AppleRawCurrentCapacity", int64_t{-500}}}, {-10, true, true}},
    {"ZeroRawMaxIsTaken", {{"AppleRawMaxCapacity", int64_t{0}}, {"MaxCapacity", int64_t{100}}}, {0, true, true}},
};

INSTANTIATE_TEST_SUITE_P(Overrides, BatteryRegistryOverrideTest, ::testing::ValuesIn(overrideCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
