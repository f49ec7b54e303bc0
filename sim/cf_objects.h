// Inside the simulated Mac: creating CoreFoundation objects and counting them.
// Not part of the API the daemon sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <CoreFoundation/CoreFoundation.h>

namespace simmac {

// Each returns a +1 object that counts as created (and live until released).
CFStringRef createString(const std::string& utf8);
CFNumberRef createInteger(int64_t value);  // kCFNumberSInt64Type
CFNumberRef createFloat(double value);     // kCFNumberFloat64Type
CFMutableDictionaryRef createDictionary();
// Adds an entry, retaining key and value (as CFDictionarySetValue does).
void dictionaryAdd(CFMutableDictionaryRef dict, CFTypeRef key, CFTypeRef value);

// The UTF-8 text of `cf` when it is a live CFString.
std::optional<std::string> stringOf(CFTypeRef cf);
// The value under the string key `key` of a live dictionary, or null.
CFTypeRef dictionaryValueForName(CFDictionaryRef dict, const std::string& key);

struct CfCounts {
  int64_t created = 0;
  int64_t live = 0;
};
CfCounts cfCounts();
// Starts a new accounting period: objects created before it no longer count.
void resetCfCounts();

}  // namespace simmac
