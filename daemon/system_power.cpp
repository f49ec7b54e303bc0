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

// How long the daemon holds its passes back after acknowledging a sleep,
// should the sleep not come (on a Mac it comes within seconds), and after
// kIOMessageSystemWillPowerOn, until kIOMessageSystemHasPoweredOn.
constexpr double kHoldPasses = 60.0;

io_connect_t rootPort = 0;
IONotificationPortRef notifyPort = nullptr;
io_object_t notifier = 0;
bool sleeping = false;
double sleptAt = 0.0;    // monotonic time of the acknowledgement
double holdUntil = 0.0;  // monotonic: passes held back until then while sleeping
bool wakePass = false;
std::optional<CFAbsoluteTime> scheduledWake;

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
      holdUntil = sleptAt + kHoldPasses;
      break;
    case kIOMessageSystemWillPowerOn:
      holdUntil = monotonicNow() + kHoldPasses;
      break;
    case kIOMessageSystemHasPoweredOn:
      logWake();
      sleeping = false;
      wakePass = true;
      break;
    default:  // kIOMessageSystemWillNotSleep: nothing to do
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

bool sleepUnderway() { return sleeping && monotonicNow() < holdUntil; }

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

void cancelScheduledWake() {
  if (!scheduledWake) return;
  CFDateRef date = CFDateCreate(kCFAllocatorDefault, *scheduledWake);
  scheduledWake.reset();
  if (date == nullptr) return;
  IOPMCancelScheduledPowerEvent(date, wakeOwner(), CFSTR(kIOPMAutoWake));
  CFRelease(date);
}
