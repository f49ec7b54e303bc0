// Clamshell mode, from the root power domain's properties.
#include "daemon/clamshell.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

// The Boolean property `key` of `entry`; `fallback` when absent or of another type.
static bool booleanProperty(io_registry_entry_t entry, CFStringRef key, bool fallback) {
  CFTypeRef value = IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0);
  if (value == nullptr) return fallback;
  const bool result = CFGetTypeID(value) == CFBooleanGetTypeID() ? CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0
                                                                 : fallback;
  CFRelease(value);
  return result;
}

bool inClamshellMode() {
  CFMutableDictionaryRef matching = IOServiceMatching("IOPMrootDomain");
  if (matching == nullptr) return false;
  // Consumes `matching` whatever it returns.
  const io_service_t rootDomain = IOServiceGetMatchingService(kIOMainPortDefault, matching);
  if (rootDomain == 0) return false;
  const bool closed = booleanProperty(rootDomain, CFSTR("AppleClamshellState"), false) &&
                      !booleanProperty(rootDomain, CFSTR("AppleClamshellCausesSleep"), true);
  IOObjectRelease(rootDomain);
  return closed;
}
