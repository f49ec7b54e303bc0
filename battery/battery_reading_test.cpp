// The battery reading through the simulated registry: which keys win, the
// arithmetic, which values count, and every failure of the lookup.
#include "battery/battery_reading.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "tests/test_support.h"

static void PrintTo(const BatteryReading& r, std::ostream* os) { *os << "{" << r.percent << ", " << r.pluggedIn << ", " << r.charging << "}"; }

namespace {

class BatteryReadingTest : public DaemonTest {
 protected:
  // Reads the battery; the call must release every object it obtained.
  BatteryReading read() {
    const auto before = simmac::objectCounts();
    const BatteryReading reading = getBatteryPercent();
    const auto after = simmac::objectCounts();
    EXPECT_TRUE(after.cfLive == before.cfLive && after.ioLive == before.ioLive && after.badReleases == 0);
    return reading;
  }
};

// Each row starts from the seven keys holding strings, which count as absent. A
// number counts only as an exact signed 64-bit integer; a Boolean is never a
// number, nor the reverse. The product current × 100 may exceed 64 bits.
TEST_F(BatteryReadingTest, RawKeysFirstExactIntegersOnlyCappedAt100) {
  using I = int64_t;
  const I kMax = std::numeric_limits<I>::max(), kMin = std::numeric_limits<I>::min();
  const double twoTo63 = 9223372036854775808.0;
  const std::string RC = "AppleRawCurrentCapacity", C = "CurrentCapacity", RM = "AppleRawMaxCapacity", M = "MaxCapacity", EC = "ExternalConnected", IC = "IsCharging", A = "Amperage";
  const std::tuple<const char*, std::vector<std::pair<std::string, simmac::PropertyValue>>, BatteryReading> rows[] = {
      {"raw first", {{RC, I{4000}}, {C, I{1}}, {RM, I{5000}}, {M, I{1}}}, {80, false, false, 0, 5000}},
      {"truncated", {{RC, I{4999}}, {RM, I{5000}}}, {99, false, false, 0, 5000}},
      {"capped", {{RC, I{5100}}, {RM, I{5000}}}, {100, false, false, 0, 5000}},
      {"non-raw", {{C, I{57}}, {M, I{100}}}, {57, false, false}},
      {"full defaults to 100", {{C, I{57}}}, {57, false, false}},
      {"no capacity", {}, {0, false, false}},
      {"raw full of 0 is taken", {{RC, I{4000}}, {RM, I{0}}, {M, I{100}}}, {0, false, false, 0, 0}},
      {"raw current, non-raw full", {{RC, I{30}}, {C, I{99}}, {M, I{60}}}, {50, false, false}},
      {"negative current", {{RC, I{-500}}, {RM, I{5000}}}, {-10, false, false, 0, 5000}},
      {"toward zero", {{RC, I{-1}}, {RM, I{5000}}}, {0, false, false, 0, 5000}},
      {"beyond 64 bits", {{RC, kMax / 2}, {RM, kMax}}, {49, false, false, 0, kMax}},
      {"beyond 64 bits, clamped", {{RC, kMin}, {RM, I{1}}}, {kMin, false, false, 0, 1}},
      {"integral float", {{RC, 4000.0}, {RM, I{5000}}}, {80, false, false, 0, 5000}},
      {"fraction", {{RC, 57.5}, {C, I{30}}}, {30, false, false}},
      {"infinity", {{RC, INFINITY}, {C, I{30}}}, {30, false, false}},
      {"2^63", {{RC, twoTo63}, {C, I{30}}}, {30, false, false}},
      {"-2^63", {{RC, -twoTo63}, {RM, I{5000}}}, {-184467440737095516, false, false, 0, 5000}},
      {"Boolean capacity", {{RC, true}, {C, I{30}}}, {30, false, false}},
      {"flags", {{EC, true}, {IC, false}}, {0, true, false}},
      {"flags only from Booleans", {{EC, I{1}}, {IC, 1.0}}, {0, false, false}},
      {"charging", {{IC, true}}, {0, false, true}},
      {"current", {{A, I{-600}}, {M, I{5000}}}, {0, false, false, -600, 0}}};
  for (const auto& [name, overrides, reading] : rows) {
    for (const std::string& key : {RC, C, RM, M, EC, IC, A}) simmac::setPropertyOverride(key, std::string("absent"));
    for (const auto& [key, value] : overrides) simmac::setPropertyOverride(key, value);
    EXPECT_EQ(read(), reading) << name;
  }
}

TEST_F(BatteryReadingTest, AnyFailureGivesTheZeroReading) {
  const std::pair<const char*, void (*)()> faults[] = {
      {"no service", [] { simmac::setBatteryService(false); }}, {"properties refused", [] { simmac::setPropertiesFailure(kIOReturnNotPrivileged); }},
      {"no dictionary", [] { simmac::setPropertiesNull(true); }}, {"not a dictionary", [] { simmac::setPropertiesNotDictionary(true); }},
      {"key not a string", [] { simmac::setPropertiesNonStringKey(true); }}, 
      {"no battery", [] { simmac::MachineSpec spec; spec.battery = std::nullopt, simmac::boot(spec); }}};
  for (const auto& [name, inject] : faults) {
    boot(machineWith(simmac::Firmware::tahoe, 42, false));
    ASSERT_EQ(read(), (BatteryReading{42, false, false, -600, 5000})) << "healthy before: " << name;
    inject();
    EXPECT_EQ(read(), (BatteryReading{0, false, false, 0, 0, true})) << name;
  }
}

}  // namespace
