// The battery reading computed from the registry's properties.
#include "battery/battery_reading.h"

#include <cstdint>
#include <limits>
#include <optional>

namespace {

__extension__ typedef __int128 Int128;  // the product current × 100 needs 71 bits

std::optional<int64_t> integerProperty(const BatteryProperties& properties, std::string_view key) {
  auto it = properties.find(key);
  if (it == properties.end()) return std::nullopt;
  if (const auto* value = std::get_if<int64_t>(&it->second)) return *value;
  return std::nullopt;
}

bool booleanProperty(const BatteryProperties& properties, std::string_view key) {
  auto it = properties.find(key);
  if (it == properties.end()) return false;
  if (const auto* value = std::get_if<bool>(&it->second)) return *value;
  return false;
}

std::optional<int64_t> firstIntegerProperty(const BatteryProperties& properties, std::string_view first,
                                            std::string_view second) {
  if (auto value = integerProperty(properties, first)) return value;
  return integerProperty(properties, second);
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

BatteryReading batteryReadingFromProperties(const BatteryProperties& properties) {
  BatteryReading reading;
  int64_t current = firstIntegerProperty(properties, "AppleRawCurrentCapacity", "CurrentCapacity").value_or(0);
  std::optional<int64_t> full = firstIntegerProperty(properties, "AppleRawMaxCapacity", "MaxCapacity");
  if (!full) reading.percent = computePercent(current, 100);
  else if (*full < 1) reading.percent = 0;
  else reading.percent = computePercent(current, *full);
  reading.pluggedIn = booleanProperty(properties, "ExternalConnected");
  reading.charging = booleanProperty(properties, "IsCharging");
  return reading;
}
