// Inside the simulated Mac: creating CoreFoundation objects and counting them.
// Not part of the API the daemon sees.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>

namespace simmac {

// Each returns a +1 object that counts as created (and live until released).
CFStringRef createString(const std::string& utf8);
CFNumberRef createInteger(int64_t value);  // kCFNumberSInt64Type
CFNumberRef createFloat(double value);     // kCFNumberFloat64Type
CFMutableDictionaryRef createDictionary();
CFArrayRef createArray(const std::vector<CFTypeRef>& items);  // retains each item
// Adds an entry, retaining key and value (as CFDictionarySetValue does).
void dictionaryAdd(CFMutableDictionaryRef dict, CFTypeRef key, CFTypeRef value);

// The UTF-8 text of `cf` when it is a live CFString.
std::optional<std::string> stringOf(CFTypeRef cf);
// The value under the string key `key` of a live dictionary, or null.
CFTypeRef dictionaryValueForName(CFDictionaryRef dict, const std::string& key);

// Objects of the other CF classes the simulated Mac hands out (dates, run-loop
// sources, file descriptors): a +1 object of `type` carrying `payload`;
// `finalize` runs once when the last reference goes.
CFTypeRef createOpaque(CFTypeID type, void* payload, std::function<void()> finalize);
// The payload of a live object of `type`; aborts as a Mac would on NULL, a
// released object, a non-CF pointer or another type.
void* opaquePayload(CFTypeRef cf, CFTypeID type, const char* function);
// True when `cf` is a live object (or a constant).
bool isLiveObject(CFTypeRef cf);

inline constexpr CFTypeID kDateTypeID = 42;
inline constexpr CFTypeID kRunLoopSourceTypeID = 46;
inline constexpr CFTypeID kFileDescriptorTypeID = 53;

struct CfCounts {
  int64_t created = 0;
  int64_t live = 0;
};
CfCounts cfCounts();
// Starts a new accounting period: objects created before it no longer count.
void resetCfCounts();

}  // namespace simmac
