// Tests of the battery reading computed from a properties map.
#include "battery/battery_reading.h"

#include <limits>
#include <ostream>

#include <gtest/gtest.h>

// Readable failure messages for readings and for the cases of a table.
static void PrintTo(const BatteryReading& r, std::ostream* os) {
  *os << "{percent " << r.percent << ", pluggedIn " << r.pluggedIn << ", charging " << r.charging << "}";
}

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
const BatteryValue kOther = std::monostate{};  // a string, a date, ...: not read

struct ReadingCase {
  const char* name;
  BatteryProperties properties;
  BatteryReading expected;
};

void PrintTo(const ReadingCase& c, std::ostream* os) { *os << c.name; }

class BatteryReadingTest : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(BatteryReadingTest, ComputesTheReading) {
  EXPECT_EQ(batteryReadingFromProperties(GetParam().properties), GetParam().expected);
}

const ReadingCase readingCases[] = {
    {"RawCapacities", {{"AppleRawCurrentCapacity", int64_t{4000}}, {"AppleRawMaxCapacity", int64_t{5000}}}, {80, false, false}},
    {"TruncatesTowardZero", {{"AppleRawCurrentCapacity", int64_t{4999}}, {"AppleRawMaxCapacity", int64_t{5000}}}, {99, false, false}},
    {"CapsAt100", {{"AppleRawCurrentCapacity", int64_t{5100}}, {"AppleRawMaxCapacity", int64_t{5000}}}, {100, false, false}},
    {"NonRawKeys", {{"CurrentCapacity", int64_t{57}}, {"MaxCapacity", int64_t{100}}}, {57, false, false}},
    {"NoFullKeyDefaultsTo100", {{"CurrentCapacity", int64_t{57}}}, {57, false, false}},
    {"NoFullKeyLargeCurrent", {{"AppleRawCurrentCapacity", int64_t{4000}}}, {100, false, false}},
    {"RawMaxZeroIsTakenAndGivesZero", {{"AppleRawCurrentCapacity", int64_t{4000}}, {"AppleRawMaxCapacity", int64_t{0}}, {"MaxCapacity", int64_t{100}}}, {0, false, false}},
    {"NegativeMaxGivesZero", {{"CurrentCapacity", int64_t{50}}, {"MaxCapacity", int64_t{-5}}}, {0, false, false}},
    {"RawMaxNotANumberFallsBack", {{"AppleRawCurrentCapacity", int64_t{57}}, {"AppleRawMaxCapacity", kOther}, {"MaxCapacity", int64_t{100}}}, {57, false, false}},
    {"RawCurrentNotANumberFallsBack", {{"AppleRawCurrentCapacity", kOther}, {"CurrentCapacity", int64_t{40}}, {"AppleRawMaxCapacity", int64_t{200}}}, {20, false, false}},
    {"RawCurrentWithNonRawMax", {{"AppleRawCurrentCapacity", int64_t{30}}, {"CurrentCapacity", int64_t{99}}, {"MaxCapacity", int64_t{60}}}, {50, false, false}},
    {"NonRawCurrentWithRawMax", {{"CurrentCapacity", int64_t{30}}, {"AppleRawMaxCapacity", int64_t{60}}, {"MaxCapacity", int64_t{99}}}, {50, false, false}},
    {"NegativeCurrentGivesNegativePercent", {{"AppleRawCurrentCapacity", int64_t{-500}}, {"AppleRawMaxCapacity", int64_t{5000}}}, {-10, false, false}},
    {"NegativeQuotientTruncatesTowardZero", {{"AppleRawCurrentCapacity", int64_t{-1}}, {"AppleRawMaxCapacity", int64_t{5000}}}, {0, false, false}},
    {"NoneOfTheSixKeys", {{"Temperature", int64_t{3000}}, {"Voltage", int64_t{12000}}, {"FullyCharged", true}}, {0, false, false}},
    {"EmptyMap", {}, {0, false, false}},
    {"Flags", {{"CurrentCapacity", int64_t{50}}, {"ExternalConnected", true}, {"IsCharging", true}}, {50, true, true}},
    {"FlagsFalse", {{"CurrentCapacity", int64_t{50}}, {"ExternalConnected", false}, {"IsCharging", false}}, {50, false, false}},
    {"IsChargingAsStringCountsAsAbsent", {{"CurrentCapacity", int64_t{50}}, {"IsCharging", kOther}}, {50, false, false}},
    {"BooleanUnderCapacityKeyCountsAsAbsent", {{"AppleRawCurrentCapacity", true}, {"CurrentCapacity", int64_t{40}}, {"AppleRawMaxCapacity", true}, {"MaxCapacity", int64_t{80}}}, {50, false, false}},
    {"BooleanUnderOnlyCapacityKeys", {{"CurrentCapacity", true}, {"MaxCapacity", false}}, {0, false, false}},
    {"NumberUnderExternalConnectedCountsAsAbsent", {{"CurrentCapacity", int64_t{50}}, {"ExternalConnected", int64_t{1}}, {"IsCharging", int64_t{1}}}, {50, false, false}},
    // current × 100 beyond 64 bits: the exact quotient, capped above and clamped below.
    {"OverflowBothHuge", {{"AppleRawCurrentCapacity", kMax}, {"AppleRawMaxCapacity", kMax}}, {100, false, false}},
    {"OverflowBelowFull", {{"AppleRawCurrentCapacity", kMax / 2}, {"AppleRawMaxCapacity", kMax}}, {49, false, false}},
    {"OverflowPositiveDefaultFull", {{"AppleRawCurrentCapacity", kMax}}, {100, false, false}},
    {"OverflowNegativeExact", {{"AppleRawCurrentCapacity", kMin}, {"AppleRawMaxCapacity", int64_t{5000}}}, {-184467440737095516, false, false}},
    {"OverflowNegativeAgainstHugeFull", {{"AppleRawCurrentCapacity", kMin}, {"AppleRawMaxCapacity", kMax}}, {-100, false, false}},
    {"OverflowNegativeClamped", {{"AppleRawCurrentCapacity", kMin}, {"AppleRawMaxCapacity", int64_t{1}}}, {kMin, false, false}},
    {"OverflowNegativeClampedDefaultFull", {{"AppleRawCurrentCapacity", kMin}}, {kMin, false, false}},
};

INSTANTIATE_TEST_SUITE_P(Cases, BatteryReadingTest, ::testing::ValuesIn(readingCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
