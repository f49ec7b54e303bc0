// Simulated Mac: the part of <IOKit/pwr_mgt/IOPMLib.h> that the daemon uses:
// system power notifications, scheduled wakes and assertions.
#ifndef HESTLE_SIM_IOPMLIB_H
#define HESTLE_SIM_IOPMLIB_H

#include <stdint.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#ifdef __cplusplus
extern "C" {
#endif

// Creates the notification port; 0 on failure. The power messages arrive on
// the port's run-loop source; messageArgument is the id to acknowledge.
io_connect_t IORegisterForSystemPower(void *refcon, IONotificationPortRef *thePortRef,
                                      IOServiceInterestCallback callback, io_object_t *notifier);
// Then IOServiceClose the connection and IONotificationPortDestroy the port.
IOReturn IODeregisterForSystemPower(io_object_t *notifier);
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);
IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t notificationID);

typedef uint32_t IOPMAssertionID;
typedef uint32_t IOPMAssertionLevel;
enum { kIOPMAssertionLevelOff = 0, kIOPMAssertionLevelOn = 255 };

#define kIOPMAssertionTypePreventUserIdleSystemSleep CFSTR("PreventUserIdleSystemSleep")

IOReturn IOPMAssertionCreateWithName(CFStringRef AssertionType, IOPMAssertionLevel AssertionLevel,
                                     CFStringRef AssertionName, IOPMAssertionID *AssertionID);
IOReturn IOPMAssertionRelease(IOPMAssertionID AssertionID);

#define kIOPMAutoWake "wake"

IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);
IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);

// Every scheduled power event, whoever scheduled it (+1; NULL when there is
// none): dictionaries of the three keys below.
#define kIOPMPowerEventTimeKey "time"            // CFDate
#define kIOPMPowerEventAppNameKey "scheduledby"  // CFString: the my_id given
#define kIOPMPowerEventTypeKey "eventtype"       // CFString, e.g. "wake"
CFArrayRef IOPMCopyScheduledPowerEvents(void);

#ifdef __cplusplus
}
#endif

#endif
