// The battery reading computed from the registry's properties.
#include "battery/battery_reading.h"

#include <cstdint>
#include <limits>
#include <optional>

namespace {

__extension__ typedef __int128 Int128;  // the product current × 100 needs 71 bits

// Positions in batteryPropertyNames.
enum PropertyIndex : size_t { kRawCurrent, kCurrent, kRawMax, kMax, kExternalConnected, kIsCharging, kAmperage };
static_assert(batteryPropertyNames[kRawCurrent] == "AppleRawCurrentCapacity" &&
              batteryPropertyNames[kCurrent] == "CurrentCapacity" &&
              batteryPropertyNames[kRawMax] == "AppleRawMaxCapacity" && batteryPropertyNames[kMax] == "MaxCapacity" &&
              batteryPropertyNames[kExternalConnected] == "ExternalConnected" &&
              batteryPropertyNames[kIsCharging] == "IsCharging" && batteryPropertyNames[kAmperage] == "Amperage");

std::optional<int64_t> integerValue(const BatteryValues& values, PropertyIndex index) {
  if (const auto* value = std::get_if<int64_t>(&values[index])) return *value;
  return std::nullopt;
}

bool booleanValue(const BatteryValues& values, PropertyIndex index) {
  if (const auto* value = std::get_if<bool>(&values[index])) return *value;
  return false;
}

std::optional<int64_t> firstIntegerValue(const BatteryValues& values, PropertyIndex first, PropertyIndex second) {
  if (auto value = integerValue(values, first)) return value;
  return integerValue(values, second);
}

int64_t computePercent(int64_t current, int64_t full) {
  // Exact in 128 bits: |current × 100| < 2^70. The quotient truncates toward
  // zero like the 64-bit division it stands for.
  Int128 quotient = (static_cast<Int128>(current) * 100) / full;
  if (quotient > 100) return 100;
  if (quotient < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(quotient);
}

}  // namespace

BatteryReading batteryReadingFromValues(const BatteryValues& values) {
  BatteryReading reading;
  int64_t currentCapacity = firstIntegerValue(values, kRawCurrent, kCurrent).value_or(0);
  std::optional<int64_t> full = firstIntegerValue(values, kRawMax, kMax);
  if (!full) reading.percent = computePercent(currentCapacity, 100);
  else if (*full < 1) reading.percent = 0;
  else reading.percent = computePercent(currentCapacity, *full);
  reading.pluggedIn = booleanValue(values, kExternalConnected);
  reading.charging = booleanValue(values, kIsCharging);
  reading.amperage = integerValue(values, kAmperage).value_or(0);
  reading.rawCapacity = integerValue(values, kRawMax).value_or(0);
  return reading;
}

BatteryReading batteryReadingFromProperties(const BatteryProperties& properties) {
  BatteryValues values;
  for (size_t i = 0; i < values.size(); ++i) {
    auto it = properties.find(batteryPropertyNames[i]);
    if (it != properties.end()) values[i] = it->second;
  }
  return batteryReadingFromValues(values);
}
