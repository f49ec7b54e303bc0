// The battery reading's only contact with the platform: the registry lookup
// and the conversion of the CoreFoundation properties into a plain map.
#include "battery/battery_reading.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// AppleSmartBattery has some sixty properties; larger dictionaries take the heap.
constexpr CFIndex kStackEntries = 128;

constexpr size_t longestPropertyName() {
  size_t longest = 0;
  for (auto name : batteryPropertyNames) longest = std::max(longest, name.size());
  return longest;
}

BatteryValue convertNumber(CFNumberRef number) {
  if (CFNumberIsFloatType(number)) {
    // Checked here rather than trusting CFNumberGetValue into SInt64: its
    // clamping lets 2^63 pass as exact on some systems.
    double value = 0.0;
    if (!CFNumberGetValue(number, kCFNumberFloat64Type, &value)) return std::monostate{};
    if (!std::isfinite(value) || std::trunc(value) != value) return std::monostate{};
    if (value < -9223372036854775808.0 || value >= 9223372036854775808.0) return std::monostate{};
    return static_cast<int64_t>(value);
  }
  int64_t value = 0;
  if (!CFNumberGetValue(number, kCFNumberSInt64Type, &value)) return std::monostate{};
  return value;
}

BatteryValue convertValue(CFTypeRef value) {
  if (value == nullptr) return std::monostate{};
  CFTypeID type = CFGetTypeID(value);
  if (type == CFNumberGetTypeID()) return convertNumber(static_cast<CFNumberRef>(value));
  if (type == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
  return std::monostate{};
}

// The position in batteryPropertyNames of one of the properties the reading
// uses, or none for any other string. Never allocates: the names are short ASCII.
std::optional<size_t> matchPropertyName(CFStringRef key) {
  CFIndex length = CFStringGetLength(key);
  if (length < 1 || static_cast<size_t>(length) > longestPropertyName()) return std::nullopt;
  std::array<char, 4 * longestPropertyName() + 1> buffer{};
  if (!CFStringGetCString(key, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8))
    return std::nullopt;
  // An embedded NUL would otherwise let "IsCharging\0x" pass as "IsCharging".
  std::string_view text(buffer.data());
  if (text.size() != static_cast<size_t>(length)) return std::nullopt;
  for (size_t i = 0; i < batteryPropertyNames.size(); ++i)
    if (batteryPropertyNames[i] == text) return i;
  return std::nullopt;
}

// Fills `values` from the dictionary; false when a key is not a string.
bool convertDictionary(CFDictionaryRef dictionary, BatteryValues& values) {
  CFIndex count = CFDictionaryGetCount(dictionary);
  if (count <= 0) return true;
  std::array<const void*, kStackEntries> stackKeys;
  std::array<const void*, kStackEntries> stackValues;
  std::unique_ptr<const void*[]> heapKeys;
  std::unique_ptr<const void*[]> heapValues;
  const void** keys = stackKeys.data();
  const void** objects = stackValues.data();
  if (count > kStackEntries) {
    heapKeys = std::make_unique<const void*[]>(static_cast<size_t>(count));
    heapValues = std::make_unique<const void*[]>(static_cast<size_t>(count));
    keys = heapKeys.get();
    objects = heapValues.get();
  }
  // Keys and values are borrowed from the dictionary: not released here.
  CFDictionaryGetKeysAndValues(dictionary, keys, objects);
  CFTypeID stringType = CFStringGetTypeID();
  std::array<bool, batteryPropertyNames.size()> seen{};
  for (CFIndex i = 0; i < count; ++i) {
    if (keys[i] == nullptr || CFGetTypeID(keys[i]) != stringType) return false;
    auto index = matchPropertyName(static_cast<CFStringRef>(keys[i]));
    if (index && !seen[*index]) {
      seen[*index] = true;
      values[*index] = convertValue(objects[i]);
    }
  }
  return true;
}

// The values of the service's properties, or none on failure. Releases what
// it creates.
std::optional<BatteryValues> readServiceProperties(io_service_t service) {
  CFMutableDictionaryRef object = nullptr;
  kern_return_t status = IORegistryEntryCreateCFProperties(service, &object, kCFAllocatorDefault, 0);
  if (status != kIOReturnSuccess || object == nullptr) {
    if (object != nullptr) CFRelease(object);
    return std::nullopt;
  }
  std::optional<BatteryValues> values;
  if (CFGetTypeID(object) == CFDictionaryGetTypeID()) {
    values.emplace();
    if (!convertDictionary(object, *values)) values.reset();
  }
  CFRelease(object);
  return values;
}

}  // namespace

BatteryReading getBatteryPercent() {
  CFMutableDictionaryRef matching = IOServiceMatching("AppleSmartBattery");
  if (matching == nullptr) return {};
  // Consumes `matching` whatever it returns.
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, matching);
  if (service == 0) return {};
  std::optional<BatteryValues> values = readServiceProperties(service);
  BatteryReading reading = values ? batteryReadingFromValues(*values) : BatteryReading{};
  IOObjectRelease(service);
  return reading;
}
