// The IOKit subset of the simulated Mac (first cut: links, does little).
#include <IOKit/IOKitLib.h>

mach_port_t mach_task_self_ = 0x103;
const mach_port_t kIOMainPortDefault = 0;

CFMutableDictionaryRef IOServiceMatching(const char*) { return nullptr; }
io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef) { return 0; }
kern_return_t IOServiceOpen(io_service_t, task_port_t, uint32_t, io_connect_t*) { return kIOReturnNoDevice; }
kern_return_t IOServiceClose(io_connect_t) { return kIOReturnBadArgument; }
kern_return_t IOObjectRelease(io_object_t) { return kIOReturnBadArgument; }
kern_return_t IOConnectCallStructMethod(mach_port_t, uint32_t, const void*, size_t, void*, size_t*) {
  return kIOReturnBadArgument;
}
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t, CFMutableDictionaryRef*, CFAllocatorRef,
                                                IOOptionBits) {
  return kIOReturnNotFound;
}
