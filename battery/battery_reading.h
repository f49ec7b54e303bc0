// One snapshot of the battery from the "AppleSmartBattery" registry service.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>

struct BatteryReading {
  int64_t percent = 0;  // capped at 100, not bounded below
  bool pluggedIn = false;
  bool charging = false;
  int64_t amperage = 0;      // "Amperage": mA into the battery (negative: out of it), 0 when not reported
  int64_t rawCapacity = 0;   // "AppleRawMaxCapacity": mAh when full, 0 when not reported
  bool failed = false;       // the registry could not be read: the rest is the zero reading
  bool operator==(const BatteryReading&) const = default;
};

// A registry property as the reading sees it: an exact signed 64-bit
// integer, a Boolean, or anything else (std::monostate).
using BatteryValue = std::variant<std::monostate, int64_t, bool>;
using BatteryProperties = std::map<std::string, BatteryValue, std::less<>>;

// The registry properties the reading uses; no other property is converted.
inline constexpr std::array<std::string_view, 7> batteryPropertyNames{
    "AppleRawCurrentCapacity", "CurrentCapacity", "AppleRawMaxCapacity",
    "MaxCapacity",             "ExternalConnected", "IsCharging", "Amperage"};

// The computation on the properties alone. Current capacity: the first of
// "AppleRawCurrentCapacity", "CurrentCapacity" that is an integer, else 0.
// Full capacity: the first of "AppleRawMaxCapacity", "MaxCapacity" that is an
// integer, else 100. A full capacity taken from a key and below 1 gives 0%.
// Otherwise percent = current × 100 ÷ full truncated toward zero, capped at
// 100, unbounded below. The product is computed exactly (128-bit), so a
// capacity whose product overflows 64 bits still gives the true quotient,
// capped at 100 above and clamped to INT64_MIN below; no overflow occurs.
// pluggedIn and charging are the Booleans "ExternalConnected" and
// "IsCharging", false when absent or not Booleans. amperage and rawCapacity
// are the integers "Amperage" and "AppleRawMaxCapacity", 0 when absent.
BatteryReading batteryReadingFromProperties(const BatteryProperties& properties);

// The same computation on the values of batteryPropertyNames, in that order,
// std::monostate standing for a missing property (the computation treats a
// missing property and one of another type alike). Allocates nothing: the
// reading of every pass goes this way.
using BatteryValues = std::array<BatteryValue, batteryPropertyNames.size()>;
BatteryReading batteryReadingFromValues(const BatteryValues& values);

// Looks the service up, reads its properties, releases everything; the zero
// reading with `failed` set on any failure (no service, the properties call
// failing or giving no dictionary, an object that is not a dictionary, a key
// that is not a string). A number counts as an integer only when its value is an exact
// signed 64-bit integer (an integral float counts); a Boolean is never a
// number and a number never a Boolean. Logs nothing, keeps nothing.
BatteryReading getBatteryPercent();
