// System power notifications: acknowledging sleep promptly, a pass at once
// after the wake, and the wakes the daemon schedules.
#include "daemon/system_power.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include "daemon/sleep_rule.h"
#include "platform/clock.h"
#include "store/log.h"

namespace {

io_connect_t rootPort = 0;
IONotificationPortRef notifyPort = nullptr;
io_object_t notifier = 0;
bool sleeping = false;   // from kIOMessageSystemWillSleep to kIOMessageSystemHasPoweredOn
double sleptAt = 0.0;    // monotonic time of the acknowledgement
bool wakePass = false;
std::optional<CFAbsoluteTime> scheduledWake;

constexpr const char* kWakeOwner = "org.hestle.hestled";
CFStringRef wakeOwner() { return CFSTR("org.hestle.hestled"); }

void logWake() {
  std::string what;
  if (sleeping) what = "after " + std::to_string(std::llround((monotonicNow() - sleptAt) / 60.0)) + " min asleep";
  if (scheduledWake) {
    // A wake that has come is dropped by the system; one still ahead is not needed now.
    const bool ahead = CFAbsoluteTimeGetCurrent() + 60.0 < *scheduledWake;
    if (ahead) cancelScheduledWake();
    scheduledWake.reset();
    what += std::string(what.empty() ? "" : ", ") + (ahead ? "scheduled wake cancelled" : "at the wake it scheduled");
  }
  log("Wake: " + (what.empty() ? std::string() : what + " — ") + "running a pass");
}

void onPowerMessage(void*, io_service_t, uint32_t messageType, void* messageArgument) {
  const auto id = reinterpret_cast<intptr_t>(messageArgument);
  switch (messageType) {
    case kIOMessageCanSystemSleep:
      // Idle sleep is never vetoed: the daemon holds the limit through sleep.
      IOAllowPowerChange(rootPort, id);
      break;
    case kIOMessageSystemWillSleep:
      prepareForSleep();
      IOAllowPowerChange(rootPort, id);
      sleeping = true;
      sleptAt = monotonicNow();
      break;
    case kIOMessageSystemHasPoweredOn:
      logWake();
      sleeping = false;
      wakePass = true;
      break;
    default:  // kIOMessageSystemWillPowerOn, kIOMessageSystemWillNotSleep: nothing to do
      break;
  }
}

}  // namespace

bool registerForSystemPower() {
  sleeping = false;
  wakePass = false;
  scheduledWake.reset();
  notifyPort = nullptr;
  notifier = 0;
  rootPort = IORegisterForSystemPower(nullptr, &notifyPort, onPowerMessage, &notifier);
  if (rootPort == 0) {
    log("WARNING: Cannot register for sleep and wake notifications — sleep is not prepared for");
    return false;
  }
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(notifyPort), kCFRunLoopDefaultMode);
  return true;
}

void deregisterForSystemPower() {
  cancelScheduledWake();
  if (rootPort == 0) return;
  CFRunLoopRemoveSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(notifyPort), kCFRunLoopDefaultMode);
  IODeregisterForSystemPower(&notifier);
  IOServiceClose(rootPort);
  IONotificationPortDestroy(notifyPort);
  rootPort = 0;
  notifyPort = nullptr;
  sleeping = false;
}

bool inSleepSpan() { return sleeping; }

bool takeWakePass() {
  const bool due = wakePass;
  wakePass = false;
  return due;
}

bool scheduleWakeIn(double seconds) {
  cancelScheduledWake();
  const CFAbsoluteTime at = CFAbsoluteTimeGetCurrent() + seconds;
  CFDateRef date = CFDateCreate(kCFAllocatorDefault, at);
  if (date == nullptr) return false;
  const IOReturn status = IOPMSchedulePowerEvent(date, wakeOwner(), CFSTR(kIOPMAutoWake));
  CFRelease(date);
  if (status != kIOReturnSuccess) return false;
  scheduledWake = at;
  return true;
}

void cancelLeftoverWakes() {
  CFArrayRef events = IOPMCopyScheduledPowerEvents();
  if (events == nullptr) return;
  int cancelled = 0;
  for (CFIndex i = 0; i < CFArrayGetCount(events); ++i) {
    const void* item = CFArrayGetValueAtIndex(events, i);
    if (item == nullptr || CFGetTypeID(item) != CFDictionaryGetTypeID()) continue;
    const auto event = static_cast<CFDictionaryRef>(item);
    const void* date = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey));
    const void* owner = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventAppNameKey));
    const void* type = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTypeKey));
    if (date == nullptr || owner == nullptr || type == nullptr || CFGetTypeID(date) != CFDateGetTypeID() ||
        CFGetTypeID(owner) != CFStringGetTypeID() || CFGetTypeID(type) != CFStringGetTypeID())
      continue;
    char name[64] = {};
    if (!CFStringGetCString(static_cast<CFStringRef>(owner), name, sizeof name, kCFStringEncodingUTF8) ||
        std::string(name) != kWakeOwner)
      continue;
    if (IOPMCancelScheduledPowerEvent(static_cast<CFDateRef>(date), static_cast<CFStringRef>(owner),
                                      static_cast<CFStringRef>(type)) == kIOReturnSuccess)
      ++cancelled;
  }
  CFRelease(events);
  if (cancelled > 0) log("Start-up: cancelled " + std::to_string(cancelled) + " wake(s) an earlier run left scheduled");
}

void cancelScheduledWake() {
  if (!scheduledWake) return;
  CFDateRef date = CFDateCreate(kCFAllocatorDefault, *scheduledWake);
  scheduledWake.reset();
  if (date == nullptr) return;
  IOPMCancelScheduledPowerEvent(date, wakeOwner(), CFSTR(kIOPMAutoWake));
  CFRelease(date);
}
