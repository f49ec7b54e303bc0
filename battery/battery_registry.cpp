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

// The names of batteryPropertyNames as constant strings, made once.
const std::array<CFStringRef, batteryPropertyNames.size()>& propertyKeys() {
  static const std::array<CFStringRef, batteryPropertyNames.size()> keys = {
      CFSTR("AppleRawCurrentCapacity"), CFSTR("CurrentCapacity"), CFSTR("AppleRawMaxCapacity"),
      CFSTR("MaxCapacity"),             CFSTR("ExternalConnected"), CFSTR("IsCharging"), CFSTR("Amperage")};
  return keys;
}

// Fills `values` from the dictionary; false when a key is not a string.
// Only the keys' types are examined; the six values are looked up by name.
bool convertDictionary(CFDictionaryRef dictionary, BatteryValues& values) {
  CFIndex count = CFDictionaryGetCount(dictionary);
  if (count <= 0) return true;
  std::array<const void*, kStackEntries> stackKeys;
  std::unique_ptr<const void*[]> heapKeys;
  const void** keys = stackKeys.data();
  if (count > kStackEntries) {
    heapKeys = std::make_unique<const void*[]>(static_cast<size_t>(count));
    keys = heapKeys.get();
  }
  // Keys are borrowed from the dictionary: not released here.
  CFDictionaryGetKeysAndValues(dictionary, keys, nullptr);
  CFTypeID stringType = CFStringGetTypeID();
  for (CFIndex i = 0; i < count; ++i)
    if (keys[i] == nullptr || CFGetTypeID(keys[i]) != stringType) return false;
  for (size_t i = 0; i < values.size(); ++i) values[i] = convertValue(CFDictionaryGetValue(dictionary, propertyKeys()[i]));
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
  BatteryReading failed;
  failed.failed = true;
  if (matching == nullptr) return failed;
  // Consumes `matching` whatever it returns.
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, matching);
  if (service == 0) return failed;
  std::optional<BatteryValues> values = readServiceProperties(service);
  BatteryReading reading = values ? batteryReadingFromValues(*values) : failed;
  IOObjectRelease(service);
  return reading;
}
