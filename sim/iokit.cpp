// The IOKit subset of the simulated Mac: service lookup by class name, the
// AppleSMC user client and the battery's registry properties, with Apple's
// ownership rules and the refusals a Mac gives.
#include <cstring>

#include "sim/cf_objects.h"
#include "sim/machine_state.h"

namespace {

constexpr uint32_t kSmcSelector = 2;
constexpr size_t kSmcBlockSize = 80;
// mach_port_deallocate of a name that denotes no right.
constexpr kern_return_t kKernInvalidName = 15;

using simmac::IoKind;
using simmac::machine;

io_object_t handOut(IoKind kind) { return simmac::handOutIoObject(kind); }

}  // namespace

io_object_t simmac::handOutIoObject(IoKind kind) {
  auto& m = machine();
  const io_object_t handle = m.nextHandle;
  m.nextHandle += 4;  // port names step like a Mac's do; 0 is never handed out
  if (m.nextHandle < 0x1003) m.nextHandle = 0x1003;
  m.ioObjects[handle] = kind;
  ++m.ioCreated;
  return handle;
}

namespace {

const IoKind* find(io_object_t handle) {
  const auto& objects = machine().ioObjects;
  auto it = objects.find(handle);
  return it == objects.end() ? nullptr : &it->second;
}

kern_return_t refuseRelease() {
  ++machine().badReleases;
  return kKernInvalidName;
}

void record(mach_port_t connection, uint32_t selector, const void* input, size_t inputSize,
            const std::array<uint8_t, 80>& reply, kern_return_t status) {
  auto& m = machine();
  if (!m.recordExchanges) return;
  simmac::SmcExchange e;
  e.connection = connection;
  e.selector = selector;
  if (input != nullptr && inputSize <= 4096) {
    const auto* bytes = static_cast<const uint8_t*>(input);
    e.request.assign(bytes, bytes + inputSize);
  }
  e.reply = reply;
  e.status = status;
  m.exchanges.push_back(std::move(e));
}

}  // namespace

extern "C" {

mach_port_t mach_task_self_ = 0x203;
const mach_port_t kIOMainPortDefault = 0;

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  if (name == nullptr) return nullptr;
  CFMutableDictionaryRef dict = simmac::createDictionary();
  CFStringRef key = simmac::createString("IOProviderClass");
  CFStringRef value = simmac::createString(name);
  simmac::dictionaryAdd(dict, key, value);
  CFRelease(key);
  CFRelease(value);
  return dict;
}

io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching) {
  if (matching == nullptr) return 0;
  // The class name is read before the reference is consumed, which happens
  // on every path, a match or not.
  auto name = simmac::stringOf(simmac::dictionaryValueForName(matching, "IOProviderClass"));
  CFRelease(matching);
  auto& m = machine();
  if (mainPort != kIOMainPortDefault || !name) return 0;
  if (*name == "AppleSMC" && m.spec.smcService && m.now >= m.spec.startTime + m.spec.smcAfter)
    return handOut(IoKind::smcService);
  if (*name == "AppleSmartBattery" && m.batteryPresent) return handOut(IoKind::batteryService);
  if (*name == "IOPMrootDomain") return handOut(IoKind::rootDomain);
  return 0;
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type, io_connect_t* connect) {
  const IoKind* kind = find(service);
  if (kind == nullptr) return simmac::kMachSendInvalidDest;
  if (*kind == IoKind::smcConnection) return kIOReturnBadArgument;
  if (*kind != IoKind::smcService) return kIOReturnUnsupported;  // no user client of this type
  if (owningTask != mach_task_self_ || type != 0 || connect == nullptr) return kIOReturnBadArgument;
  if (machine().spec.openStatus != kIOReturnSuccess) return machine().spec.openStatus;
  *connect = handOut(IoKind::smcConnection);
  return kIOReturnSuccess;
}

kern_return_t IOServiceClose(io_connect_t connect) {
  const IoKind* kind = find(connect);
  if (kind == nullptr) return refuseRelease();
  if (*kind != IoKind::smcConnection && *kind != IoKind::powerConnection) {
    ++machine().badReleases;
    return kIOReturnBadArgument;
  }
  machine().ioObjects.erase(connect);
  return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t object) {
  const IoKind* kind = find(object);
  if (kind == nullptr) return refuseRelease();
  if (*kind == IoKind::smcConnection || *kind == IoKind::powerConnection || *kind == IoKind::notificationPort) {
    // A connection is closed with IOServiceClose (a port destroyed with
    // IONotificationPortDestroy); this leaves it open.
    ++machine().badReleases;
    return kIOReturnBadArgument;
  }
  machine().ioObjects.erase(object);
  return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector, const void* inputStruct,
                                        size_t inputStructCnt, void* outputStruct, size_t* outputStructCnt) {
  std::array<uint8_t, 80> reply{};
  kern_return_t status = kIOReturnSuccess;
  const IoKind* kind = find(connection);
  if (kind == nullptr || *kind != IoKind::smcConnection) {
    status = simmac::kMachSendInvalidDest;
  } else if (selector != kSmcSelector || inputStruct == nullptr || inputStructCnt != kSmcBlockSize ||
             outputStruct == nullptr || outputStructCnt == nullptr || *outputStructCnt != kSmcBlockSize) {
    status = kIOReturnBadArgument;
  } else if (machine().callFailure) {
    status = *machine().callFailure;
  } else {
    reply = simmac::serveSmcCommand(static_cast<const uint8_t*>(inputStruct));
    std::memcpy(outputStruct, reply.data(), reply.size());
    *outputStructCnt = kSmcBlockSize;
  }
  record(connection, selector, inputStruct, inputStructCnt, reply, status);
  return status;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* properties,
                                                CFAllocatorRef, IOOptionBits) {
  const IoKind* kind = find(entry);
  if (kind == nullptr) return simmac::kMachSendInvalidDest;
  if (*kind == IoKind::smcConnection || properties == nullptr) return kIOReturnBadArgument;
  if (*kind == IoKind::rootDomain) {
    *properties = simmac::createDictionary();
    return kIOReturnSuccess;
  }
  if (*kind == IoKind::smcService) {
    CFMutableDictionaryRef dict = simmac::createDictionary();
    CFStringRef key = simmac::createString("IOClass");
    CFStringRef value = simmac::createString("AppleSMCKeysEndpoint");
    simmac::dictionaryAdd(dict, key, value);
    CFRelease(key);
    CFRelease(value);
    *properties = dict;
    return kIOReturnSuccess;
  }
  auto& m = machine();
  if (m.propertiesFailure && *m.propertiesFailure != kIOReturnSuccess) return *m.propertiesFailure;
  if (m.propertiesNull) {
    *properties = nullptr;
    return kIOReturnSuccess;
  }
  // A non-dictionary is handed out through the dictionary slot, as a broken
  // registry entry would.
  *properties = reinterpret_cast<CFMutableDictionaryRef>(const_cast<void*>(simmac::createBatteryPropertiesObject()));
  return kIOReturnSuccess;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef, IOOptionBits) {
  const IoKind* kind = find(entry);
  const auto name = simmac::stringOf(key);
  if (kind == nullptr || *kind != IoKind::rootDomain || !name) return nullptr;
  // The lid is closed in clamshell mode and while a sleep span lasts; only on
  // an external display does closing it not sleep the Mac.
  const auto& m = machine();
  if (*name == "AppleClamshellState") return m.clamshell || m.sleepSpanEnd > m.now ? kCFBooleanTrue : kCFBooleanFalse;
  if (*name == "AppleClamshellCausesSleep") return m.clamshell ? kCFBooleanFalse : kCFBooleanTrue;
  return nullptr;
}

}  // extern "C"
