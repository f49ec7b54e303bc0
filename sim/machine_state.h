// Inside the simulated Mac: the one machine's state, shared by the model's
// files (SMC, battery, clock, IOKit). Not part of the API the daemon sees.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <IOKit/pwr_mgt/IOPMLib.h>

#include "sim/simulated_mac.h"

namespace simmac {

// SMC result codes as the controller reports them.
inline constexpr uint8_t kSmcSuccess = 0x00;
inline constexpr uint8_t kSmcBadCommand = 0x82;
inline constexpr uint8_t kSmcKeyNotFound = 0x84;
inline constexpr uint8_t kSmcKeyNotReadable = 0x85;
inline constexpr uint8_t kSmcKeyNotWritable = 0x86;
inline constexpr uint8_t kSmcKeySizeMismatch = 0x87;

// What a Mac answers for a message to a port that is not (or no longer) a right.
inline constexpr kern_return_t kMachSendInvalidDest = 0x10000003;

enum class IoKind { smcService, batteryService, rootDomain, smcConnection, powerConnection, powerNotifier, notificationPort };

// Where the machine is in its power cycle.
enum class PowerState {
  awake,
  willSleep,  // kIOMessageSystemWillSleep sent, acknowledgements awaited (30 s at most)
  asleep,     // no process runs; the battery follows the sleep rates
  darkWake,   // processes run a short while, no power message; the battery as asleep
};

// A message queued on a notification port, delivered by the run loop.
struct PowerMessage {
  uint32_t type = 0;
  intptr_t id = 0;
};

// A run-loop source: a CFFileDescriptor's (which it retains) or a
// notification port's (which owns it).
struct RunLoopSourceData {
  CFFileDescriptorRef fileDescriptor = nullptr;
  IONotificationPortRef port = nullptr;
  CFIndex order = 0;
  bool valid = true;
};

// A client of IORegisterForSystemPower.
struct PowerClient {
  io_connect_t connection = 0;
  io_object_t notifier = 0;
  IONotificationPortRef port = nullptr;
  IOServiceInterestCallback callback = nullptr;
  void* refcon = nullptr;
};

// An IOPMSchedulePowerEvent entry, its time on the machine's timeline.
struct ScheduledPowerEvent {
  double at = 0.0;
  CFAbsoluteTime date = 0.0;
  std::string id;
  std::string type;
};

struct ScheduledEvent {
  double at = 0.0;
  std::function<void()> action;
};

struct Machine {
  MachineSpec spec;

  // SMC: key table by key code, the exchange record, injected call failure.
  std::map<uint32_t, SmcKeyState> keys;
  std::vector<SmcExchange> exchanges;
  bool recordExchanges = true;
  std::optional<kern_return_t> callFailure;
  std::map<uint32_t, int> refusedWrites;  // writes still to refuse, by key code
  std::string persistPath;
  std::string unifiedLog;  // what the daemon handed the system's log

  // Battery.
  bool batteryPresent = false;  // the "AppleSmartBattery" service exists
  BatterySpec battery;
  double percent = 0.0;
  std::optional<kern_return_t> propertiesFailure;
  bool propertiesNull = false;
  bool propertiesNotDictionary = false;
  bool propertiesNonStringKey = false;

  // Clock: events ordered by time, then by the order they were scheduled in.
  // `now` is the machine's timeline (it counts through sleep); the wall clock
  // is now + wallOffset, moved only by clock jumps.
  double now = 0.0;
  double wallOffset = 0.0;
  double realTimeSpeed = 0.0;
  std::function<void(double)> waitHook;
  std::multimap<double, std::function<void()>> events;

  // The run loop: sources by mode, each retained while held.
  std::vector<std::pair<std::string, CFRunLoopSourceRef>> runLoopSources;

  // Power: clients, the sleep cycle, scheduled wakes, assertions, faults.
  std::vector<PowerClient> powerClients;
  PowerState powerState = PowerState::awake;
  std::vector<intptr_t> awaitedAcks;  // ids of the WillSleep / CanSystemSleep sent
  bool idleSleepProposed = false;     // the awaited acks answer kIOMessageCanSystemSleep
  double sleepSpanEnd = 0.0;          // the lid opens (timeline)
  double maintenanceEvery = 0.0;      // the system's own dark wakes while the lid is closed, 0: none
  double maintenanceFrom = 0.0;       // counted from here
  bool clamshell = false;             // lid closed, awake on an external display
  uint64_t powerGeneration = 0;       // bumped at each change of state: stale timers do nothing
  intptr_t nextNotificationId = 0x1000;
  std::vector<ScheduledPowerEvent> scheduledPowerEvents;
  std::map<uint32_t, std::string> assertions;
  uint32_t nextAssertionId = 0x100;
  std::vector<SleepSpan> sleepSpans;
  std::vector<std::string> faults;
  std::function<void(bool)> powerHook;

  // IOKit objects handed out, by handle.
  std::unordered_map<io_object_t, IoKind> ioObjects;
  io_object_t nextHandle = 0x1003;
  int64_t ioCreated = 0;
  int64_t badReleases = 0;
};

Machine& machine();

// The four-character code of a key name ("CHTE" -> 0x43485445), and back.
uint32_t keyCode(const std::string& name);
std::string keyName(uint32_t code);

// SMC model (smc_model.cpp).
void resetSmcKeys();  // the firmware's table at power-on values, spec faults applied
std::array<uint8_t, 80> serveSmcCommand(const uint8_t* request);
void saveKeys();      // to the persistence file, if any

// A new IOKit handle of `kind`, counted (iokit.cpp).
io_object_t handOutIoObject(IoKind kind);

// Run loop (run_loop.cpp): delivers one ready source; false when none is.
bool dispatchOneSource(const std::string& mode);
bool modeHasSources(const std::string& mode);
std::vector<int> watchedDescriptors(const std::string& mode);  // armed read callbacks
// Marks the source invalid and takes it out of every run loop.
void invalidateRunLoopSource(CFRunLoopSourceRef source);

// The wait of a blocked thread (clock_sim.cpp): up to `seconds` of time,
// asking `ready` (awake only) at the start and after every event, true as
// soon as it answers true. Asleep, neither `ready` nor the time limit counts.
// In real-time mode it polls the descriptors `fds` gives.
bool waitUntilReady(double seconds, const std::function<bool()>& ready,
                    const std::function<std::vector<int>()>& fds);

// Power (power.cpp).
bool deliverPortMessage(IONotificationPortRef port);  // one queued message, if any
bool portHasMessage(IONotificationPortRef port);
void destroyAllPowerState();  // at boot: ports and clients of an earlier boot
void recordFault(const std::string& what);
// In clamshell mode without external power (unplugged, or the adapter switched
// off: `byAdapter`, a fault) the machine sleeps at once.
void checkClamshellPower(bool byAdapter);

// Battery model (battery_model.cpp).
void runBattery(double seconds);  // integrates at the current rate
CFTypeRef createBatteryPropertiesObject();  // +1; honours the property faults

}  // namespace simmac
