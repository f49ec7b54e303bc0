// Simulated Mac: the subset of <IOKit/IOKitLib.h> that the daemon uses,
// with Apple's names, types and ownership rules.
#ifndef HESTLE_SIM_IOKITLIB_H
#define HESTLE_SIM_IOKITLIB_H

#include <stddef.h>
#include <stdint.h>

#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef kern_return_t IOReturn;
typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_registry_entry_t;
typedef uint32_t IOOptionBits;

#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnError ((IOReturn)0xe00002bc)
#define kIOReturnNoDevice ((IOReturn)0xe00002c0)
#define kIOReturnNotPrivileged ((IOReturn)0xe00002c1)
#define kIOReturnBadArgument ((IOReturn)0xe00002c2)
#define kIOReturnUnsupported ((IOReturn)0xe00002c7)
#define kIOReturnNotFound ((IOReturn)0xe00002f0)

extern const mach_port_t kIOMainPortDefault;

// Returns a +1 dictionary.
CFMutableDictionaryRef IOServiceMatching(const char *name);
// Always consumes one reference to `matching`; 0 when nothing matches.
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type, io_connect_t *connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector, const void *inputStruct,
                                        size_t inputStructCnt, void *outputStruct, size_t *outputStructCnt);
// The dictionary is +1: the caller releases it with CFRelease.
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef *properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
// One property, +1; NULL when the entry has none of that name.
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);

// ---- Notification ports ----------------------------------------------------------

typedef struct IONotificationPort *IONotificationPortRef;
typedef void (*IOServiceInterestCallback)(void *refcon, io_service_t service, uint32_t messageType,
                                          void *messageArgument);

// The port's run-loop source; not retained for the caller: do not release it.
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
void IONotificationPortDestroy(IONotificationPortRef notify);

#ifdef __cplusplus
}
#endif

#endif
