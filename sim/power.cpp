// The simulated Mac's power management: system power notifications through
// notification ports, the sleep cycle of a closed lid or of idle sleep,
// scheduled wakes and assertions, and the faults of a client that breaks the
// rules.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <cmath>

#include <IOKit/IOMessage.h>

#include "sim/cf_objects.h"
#include "sim/machine_state.h"

// A notification port. Ports live as long as the process (see allPorts()),
// so that a port of an earlier boot can still be destroyed by a daemon that
// kept it, and a second destroy is caught.
struct IONotificationPort {
  io_object_t handle = 0;
  uint64_t boot = 0;
  CFRunLoopSourceRef source = nullptr;  // owned by the port, made on first request
  std::deque<simmac::PowerMessage> queue;
  bool destroyed = false;
};

namespace {

using simmac::machine;
using simmac::PowerState;

constexpr double kAckTimeout = 30.0;   // seconds the system waits for IOAllowPowerChange
constexpr io_service_t kRootDomain = 0x2003;  // the IOPMrootDomain service the messages come from

uint64_t bootNumber = 0;

// Every port handed out, destroyed or not.
std::deque<IONotificationPort>& allPorts() {
  static std::deque<IONotificationPort> ports;
  return ports;
}

[[noreturn]] void crash(const char* function, const char* what) {
  std::fprintf(stderr, "simulated Mac: %s: %s\n", function, what);
  std::fflush(stderr);
  std::abort();
}

simmac::PowerClient* clientByConnection(io_connect_t connection) {
  for (auto& c : machine().powerClients)
    if (c.connection == connection) return &c;
  return nullptr;
}

// Queues `type` to every client; returns the ids sent.
std::vector<intptr_t> broadcast(uint32_t type) {
  simmac::Machine& m = machine();
  std::vector<intptr_t> ids;
  for (auto& c : m.powerClients) {
    const intptr_t id = m.nextNotificationId++;
    c.port->queue.push_back({type, id});
    ids.push_back(id);
  }
  return ids;
}

void fallAsleep();
void wakeUp(bool byScheduledWake);
void darkWake();

void dropPassedWakes() {
  simmac::Machine& m = machine();
  auto& events = m.scheduledPowerEvents;
  events.erase(std::remove_if(events.begin(), events.end(),
                              [&](const simmac::ScheduledPowerEvent& e) { return e.at <= m.now; }),
               events.end());
}

// The wake that ends the current sleep: the span's end, or an earlier wake
// scheduled with IOPMSchedulePowerEvent.
void armWakeTimer() {
  simmac::Machine& m = machine();
  dropPassedWakes();
  double at = m.sleepSpanEnd;
  bool scheduled = false;
  for (const auto& e : m.scheduledPowerEvents) {
    if (e.at < at) {
      at = e.at;
      scheduled = true;
    }
  }
  bool maintenance = false;
  if (m.maintenanceEvery > 0.0) {
    // The system's own maintenance wakes, counted from the lid's closing.
    const double next = m.maintenanceFrom + m.maintenanceEvery * (std::floor((m.now - m.maintenanceFrom) / m.maintenanceEvery) + 1.0);
    if (next < at) {
      at = next;
      maintenance = true;
    }
  }
  const uint64_t generation = m.powerGeneration;
  simmac::schedule(at, [generation, scheduled, maintenance] {
    simmac::Machine& mm = machine();
    if (mm.powerGeneration != generation || mm.powerState != PowerState::asleep) return;
    // With the lid closed a wake is dark: maintenance ones always, scheduled ones unless the machine says otherwise.
    if (maintenance || (scheduled && !mm.spec.fullScheduledWakes)) darkWake();
    else wakeUp(scheduled);
  });
}

// Processes run for a short while, the display off: no power message either
// way, and back to sleep without asking (or the lid opens meanwhile).
void darkWake() {
  simmac::Machine& m = machine();
  m.powerState = PowerState::darkWake;
  const uint64_t generation = ++m.powerGeneration;
  m.sleepSpans.back().end = m.now;
  m.sleepSpans.back().darkWake = true;
  dropPassedWakes();
  if (m.powerHook) m.powerHook(false);
  const double until = std::min(m.now + m.spec.darkWakeSeconds, m.sleepSpanEnd);
  simmac::schedule(until, [generation] {
    simmac::Machine& mm = machine();
    if (mm.powerGeneration != generation || mm.powerState != PowerState::darkWake) return;
    if (mm.now >= mm.sleepSpanEnd) simmac::openLid();
    else fallAsleep();
  });
}

void beginWillSleep() {
  simmac::Machine& m = machine();
  m.powerState = PowerState::willSleep;
  m.idleSleepProposed = false;
  const uint64_t generation = ++m.powerGeneration;
  m.awaitedAcks = broadcast(kIOMessageSystemWillSleep);
  if (m.awaitedAcks.empty()) {
    fallAsleep();
    return;
  }
  simmac::schedule(m.now + kAckTimeout, [generation] {
    simmac::Machine& mm = machine();
    if (mm.powerGeneration != generation || mm.powerState != PowerState::willSleep) return;
    for (size_t i = 0; i < mm.awaitedAcks.size(); ++i)
      simmac::recordFault("kIOMessageSystemWillSleep not acknowledged within 30 s");
    mm.awaitedAcks.clear();
    fallAsleep();
  });
}

void fallAsleep() {
  simmac::Machine& m = machine();
  m.powerState = PowerState::asleep;
  ++m.powerGeneration;
  m.sleepSpans.push_back({m.now, m.now, false, false});
  if (m.powerHook) m.powerHook(true);
  armWakeTimer();
}

void wakeUp(bool byScheduledWake) {
  simmac::Machine& m = machine();
  const bool fromSleep = m.powerState == PowerState::asleep;  // else from a dark wake
  m.powerState = PowerState::awake;
  const uint64_t generation = ++m.powerGeneration;
  if (fromSleep && !m.sleepSpans.empty()) {
    m.sleepSpans.back().end = m.now;
    m.sleepSpans.back().scheduledWake = byScheduledWake;
  }
  dropPassedWakes();
  if (m.powerHook) m.powerHook(false);
  broadcast(kIOMessageSystemWillPowerOn);
  broadcast(kIOMessageSystemHasPoweredOn);
  if (byScheduledWake && m.sleepSpanEnd > m.now + m.spec.darkWakeSeconds) {
    simmac::schedule(m.now + m.spec.darkWakeSeconds, [generation] {
      if (machine().powerGeneration == generation && machine().powerState == PowerState::awake) beginWillSleep();
    });
  }
}

void answered(intptr_t id) {
  simmac::Machine& m = machine();
  auto it = std::find(m.awaitedAcks.begin(), m.awaitedAcks.end(), id);
  if (it == m.awaitedAcks.end()) return;
  m.awaitedAcks.erase(it);
  if (!m.awaitedAcks.empty()) return;
  if (m.powerState == PowerState::willSleep) fallAsleep();
  else if (m.idleSleepProposed) beginWillSleep();
}

bool isWake(const std::string& type) { return type == kIOPMAutoWake || type == "wakepoweron"; }

}  // namespace

namespace simmac {

void recordFault(const std::string& what) { machine().faults.push_back(what); }

bool portHasMessage(IONotificationPortRef port) { return port != nullptr && !port->destroyed && !port->queue.empty(); }

bool deliverPortMessage(IONotificationPortRef port) {
  if (!portHasMessage(port)) return false;
  const PowerMessage message = port->queue.front();
  port->queue.pop_front();
  for (const auto& c : machine().powerClients) {
    if (c.port != port) continue;
    const PowerClient client = c;  // the callback may deregister
    client.callback(client.refcon, kRootDomain, message.type, reinterpret_cast<void*>(message.id));
    return true;
  }
  return true;  // the client has gone: the message is dropped
}

void closeLid(double seconds, double darkWakeEvery) {
  Machine& m = machine();
  m.sleepSpanEnd = std::max(m.sleepSpanEnd, m.now + seconds);
  m.maintenanceEvery = darkWakeEvery;
  m.maintenanceFrom = m.now;
  if (m.clamshell) return;  // on an external display the closed lid keeps it awake
  if (m.powerState == PowerState::awake) {
    beginWillSleep();
  } else if (m.powerState == PowerState::asleep) {
    ++m.powerGeneration;
    armWakeTimer();
  }
}

void proposeIdleSleep(double seconds) {
  Machine& m = machine();
  if (m.powerState != PowerState::awake || m.idleSleepProposed) return;
  for (const auto& [id, type] : m.assertions)
    if (type == "PreventUserIdleSystemSleep") return;
  m.sleepSpanEnd = m.now + seconds;
  const uint64_t generation = ++m.powerGeneration;
  m.idleSleepProposed = true;
  m.awaitedAcks = broadcast(kIOMessageCanSystemSleep);
  if (m.awaitedAcks.empty()) {
    beginWillSleep();
    return;
  }
  schedule(m.now + kAckTimeout, [generation] {
    Machine& mm = machine();
    if (mm.powerGeneration != generation || !mm.idleSleepProposed) return;
    for (size_t i = 0; i < mm.awaitedAcks.size(); ++i)
      recordFault("kIOMessageCanSystemSleep not answered within 30 s");
    beginWillSleep();
  });
}

void openLid() {
  Machine& m = machine();
  m.sleepSpanEnd = m.now;
  m.maintenanceEvery = 0.0;
  if (m.powerState == PowerState::asleep || m.powerState == PowerState::darkWake) {
    wakeUp(false);
  } else if (m.powerState == PowerState::awake) {
    ++m.powerGeneration;  // no re-sleep, no pending idle sleep
    m.idleSleepProposed = false;
    m.awaitedAcks.clear();
  }
}

bool asleep() { return machine().powerState == PowerState::asleep; }

const std::vector<SleepSpan>& sleepSpans() { return machine().sleepSpans; }

std::vector<double> scheduledWakes() {
  std::vector<double> out;
  for (const auto& e : machine().scheduledPowerEvents)
    if (e.at > machine().now) out.push_back(e.at);
  std::sort(out.begin(), out.end());
  return out;
}

const std::vector<std::string>& faults() { return machine().faults; }

void setPowerHook(std::function<void(bool)> hook) { machine().powerHook = std::move(hook); }

void destroyAllPowerState() { ++bootNumber; }

void setClamshell(bool on) {
  Machine& m = machine();
  if (!on) {
    if (m.clamshell) {
      m.clamshell = false;
      openLid();
    }
    return;
  }
  m.clamshell = true;
  checkClamshellPower(false);
}

bool clamshell() { return machine().clamshell; }

bool inDarkWake() { return machine().powerState == PowerState::darkWake; }

void checkClamshellPower(bool byAdapter) {
  Machine& m = machine();
  if (!m.clamshell || m.powerState != PowerState::awake || (m.battery.pluggedIn && !adapterDisabled())) return;
  // macOS keeps a closed Mac awake only on external power: it sleeps at
  // once, until the lid opens.
  if (byAdapter) recordFault("adapter switched off in clamshell mode: the Mac slept");
  m.sleepSpanEnd = std::numeric_limits<double>::max();
  beginWillSleep();
}

}  // namespace simmac

extern "C" {

io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier) {
  if (thePortRef == nullptr || callback == nullptr || notifier == nullptr) return 0;
  IONotificationPort* port = &allPorts().emplace_back();
  port->handle = simmac::handOutIoObject(simmac::IoKind::notificationPort);
  port->boot = bootNumber;
  simmac::PowerClient client;
  client.connection = simmac::handOutIoObject(simmac::IoKind::powerConnection);
  client.notifier = simmac::handOutIoObject(simmac::IoKind::powerNotifier);
  client.port = port;
  client.callback = callback;
  client.refcon = refcon;
  machine().powerClients.push_back(client);
  *thePortRef = port;
  *notifier = client.notifier;
  return client.connection;
}

IOReturn IODeregisterForSystemPower(io_object_t* notifier) {
  if (notifier == nullptr) return kIOReturnBadArgument;
  simmac::Machine& m = machine();
  auto it = std::find_if(m.powerClients.begin(), m.powerClients.end(),
                         [&](const simmac::PowerClient& c) { return c.notifier == *notifier; });
  if (it == m.powerClients.end()) return kIOReturnBadArgument;
  m.ioObjects.erase(it->notifier);
  // Its messages are no longer awaited: a client that leaves does not hold up a sleep.
  std::deque<simmac::PowerMessage> pending = it->port->queue;
  m.powerClients.erase(it);
  for (const auto& message : pending) answered(message.id);
  *notifier = 0;
  return kIOReturnSuccess;
}

IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID) {
  if (clientByConnection(kernelPort) == nullptr) return simmac::kMachSendInvalidDest;
  answered(notificationID);
  return kIOReturnSuccess;
}

IOReturn IOCancelPowerChange(io_connect_t kernelPort, intptr_t notificationID) {
  if (clientByConnection(kernelPort) == nullptr) return simmac::kMachSendInvalidDest;
  simmac::Machine& m = machine();
  if (std::find(m.awaitedAcks.begin(), m.awaitedAcks.end(), notificationID) == m.awaitedAcks.end())
    return kIOReturnSuccess;
  if (!m.idleSleepProposed) {
    // A lid closed or a sleep chosen from the menu cannot be vetoed.
    simmac::recordFault("veto of a forced sleep refused");
    return kIOReturnError;
  }
  m.idleSleepProposed = false;
  m.awaitedAcks.clear();
  ++m.powerGeneration;
  broadcast(kIOMessageSystemWillNotSleep);
  return kIOReturnSuccess;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
  if (notify == nullptr) crash("IONotificationPortGetRunLoopSource", "called with NULL");
  if (notify->destroyed) crash("IONotificationPortGetRunLoopSource", "port already destroyed");
  if (notify->source == nullptr) {
    auto* data = new simmac::RunLoopSourceData;
    data->port = notify;
    notify->source = reinterpret_cast<CFRunLoopSourceRef>(const_cast<void*>(
        simmac::createOpaque(simmac::kRunLoopSourceTypeID, data, [data] { delete data; })));
  }
  return notify->source;
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
  if (notify == nullptr) crash("IONotificationPortDestroy", "called with NULL");
  if (notify->destroyed) crash("IONotificationPortDestroy", "port already destroyed");
  notify->destroyed = true;
  notify->queue.clear();
  if (notify->boot != bootNumber) return;  // of an earlier boot: nothing left to count
  machine().ioObjects.erase(notify->handle);
  if (notify->source != nullptr) {
    simmac::invalidateRunLoopSource(notify->source);
    CFRelease(notify->source);  // the port's own reference: a caller that released it crashes here
    notify->source = nullptr;
  }
}

IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
  if (time_to_wake == nullptr || type == nullptr) return kIOReturnBadArgument;
  const double date = *static_cast<double*>(
      simmac::opaquePayload(time_to_wake, simmac::kDateTypeID, "IOPMSchedulePowerEvent"));
  const auto typeText = simmac::stringOf(type);
  if (!typeText || !isWake(*typeText)) return kIOReturnBadArgument;
  simmac::ScheduledPowerEvent e;
  e.date = date;
  e.at = date + kCFAbsoluteTimeIntervalSince1970 - machine().wallOffset;
  e.id = my_id ? simmac::stringOf(my_id).value_or("") : "";
  e.type = *typeText;
  machine().scheduledPowerEvents.push_back(e);
  return kIOReturnSuccess;
}

IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
  if (time_to_wake == nullptr || type == nullptr) return kIOReturnBadArgument;
  const double date = *static_cast<double*>(
      simmac::opaquePayload(time_to_wake, simmac::kDateTypeID, "IOPMCancelScheduledPowerEvent"));
  const std::string id = my_id ? simmac::stringOf(my_id).value_or("") : "";
  const std::string typeText = simmac::stringOf(type).value_or("");
  auto& events = machine().scheduledPowerEvents;
  for (auto it = events.begin(); it != events.end(); ++it) {
    if (it->date == date && it->id == id && it->type == typeText) {
      events.erase(it);
      return kIOReturnSuccess;
    }
  }
  return kIOReturnNotFound;
}

IOReturn IOPMAssertionCreateWithName(CFStringRef AssertionType, IOPMAssertionLevel AssertionLevel,
                                     CFStringRef AssertionName, IOPMAssertionID* AssertionID) {
  const auto type = simmac::stringOf(AssertionType);
  if (!type || !simmac::stringOf(AssertionName) || AssertionID == nullptr) return kIOReturnBadArgument;
  if (AssertionLevel != kIOPMAssertionLevelOn && AssertionLevel != kIOPMAssertionLevelOff) return kIOReturnBadArgument;
  simmac::Machine& m = machine();
  *AssertionID = m.nextAssertionId++;
  m.assertions[*AssertionID] = AssertionLevel == kIOPMAssertionLevelOn ? *type : std::string();
  return kIOReturnSuccess;
}

IOReturn IOPMAssertionRelease(IOPMAssertionID AssertionID) {
  return machine().assertions.erase(AssertionID) ? kIOReturnSuccess : kIOReturnNotFound;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
  auto* value = new double(at);
  return reinterpret_cast<CFDateRef>(
      simmac::createOpaque(simmac::kDateTypeID, value, [value] { delete value; }));
}

CFArrayRef IOPMCopyScheduledPowerEvents(void) {
  simmac::Machine& m = machine();
  dropPassedWakes();
  if (m.scheduledPowerEvents.empty()) return nullptr;
  std::vector<CFTypeRef> items;
  for (const auto& e : m.scheduledPowerEvents) {
    CFMutableDictionaryRef d = simmac::createDictionary();
    const CFTypeRef entries[][2] = {{CFSTR(kIOPMPowerEventTimeKey), CFDateCreate(kCFAllocatorDefault, e.date)},
                                    {CFSTR(kIOPMPowerEventAppNameKey), simmac::createString(e.id)},
                                    {CFSTR(kIOPMPowerEventTypeKey), simmac::createString(e.type)}};
    for (const auto& [key, value] : entries) {
      simmac::dictionaryAdd(d, key, value);
      CFRelease(value);
    }
    items.push_back(d);
  }
  CFArrayRef array = simmac::createArray(items);
  for (CFTypeRef item : items) CFRelease(item);
  return array;
}

}  // extern "C"
