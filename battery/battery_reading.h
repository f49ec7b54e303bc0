// One snapshot of the battery from the "AppleSmartBattery" registry service.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

struct BatteryReading {
  int64_t percent = 0;  // capped at 100, not bounded below
  bool pluggedIn = false;
  bool charging = false;
  bool operator==(const BatteryReading&) const = default;
};

// A registry property as the reading sees it: an exact signed 64-bit
// integer, a Boolean, or anything else (std::monostate).
using BatteryValue = std::variant<std::monostate, int64_t, bool>;
using BatteryProperties = std::map<std::string, BatteryValue, std::less<>>;

// The computation on the properties alone.
BatteryReading batteryReadingFromProperties(const BatteryProperties& properties);

// Looks the service up, reads its properties, releases everything; the zero
// reading on any failure.
BatteryReading getBatteryPercent();
