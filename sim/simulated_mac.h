// The simulated Mac: a model of a MacBook behind the IOKit and CoreFoundation
// subset in sim/include. Tests and the simulation harness build a machine,
// advance its clock, inject faults and read back what the daemon did.
//
// Strict where a Mac is strict:
// - IOServiceMatching returns a +1 dictionary {"IOProviderClass": name};
//   IOServiceGetMatchingService consumes one reference to it on every path
//   and returns 0 when nothing matches (or the port is not kIOMainPortDefault).
// - IOServiceOpen wants a live AppleSMC service, mach_task_self() and type 0
//   (else kIOReturnBadArgument; a dead handle: 0x10000003, MACH_SEND_INVALID_DEST).
// - IOConnectCallStructMethod: anything but an open AppleSMC connection gets
//   0x10000003; selector != 2, input size != 80, a null output or output size
//   != 80 get kIOReturnBadArgument. Refused calls are recorded too.
// - Services are released with IOObjectRelease, connections closed with
//   IOServiceClose; the wrong one, a second release or an unknown handle
//   (0 included) counts in badReleases and changes nothing.
// - CFRelease/CFRetain/any CF accessor of NULL, of a released object, of a
//   pointer that is no CF object, or of an object of the wrong CF type prints
//   "simulated Mac: <function>: <what>" to stderr and aborts. Released objects
//   are kept (emptied) for the last 4096 releases so a double release is told
//   apart from a new object at the same address.
// - CFStringGetCStringPtr always returns NULL (a Mac may; use CFStringGetCString).
// - CFNumberGetValue stores the converted value (truncated toward zero,
//   clamped to the target's range, NaN as 0) and returns false when it lost
//   anything. CFBoolean and CFNumber have distinct type ids; kCFBooleanTrue/
//   False are static: retain and release do nothing and are not counted.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <IOKit/IOKitLib.h>
#include <nlohmann/json_fwd.hpp>

namespace simmac {

// ---- The machine -----------------------------------------------------------

enum class Firmware {
  tahoe,        // CHTE (4 bytes), CHIE (1), ACLC (1)
  preTahoe,     // CH0B, CH0C, CH0I, CH0J, ACLC (1 byte each)
  tahoe202609,  // macOS 26.7: CHTE, CH0B, CH0C are zero-size stubs that refuse
                // reads and writes; only CHIE and ACLC accept writes
};

// A registry property value as the model hands it out: an integer becomes a
// CFNumber of type SInt64, a double a CFNumber of type Float64, a bool a
// CFBoolean, a string a CFString.
using PropertyValue = std::variant<int64_t, double, bool, std::string>;

struct BatterySpec {
  double percent = 80.0;        // state of charge at boot
  int64_t capacityMah = 5000;   // full capacity ("AppleRawMaxCapacity")
  bool pluggedIn = true;        // adapter connected at boot
  double chargePerHour = 40.0;  // percent per hour while charging
  double drainPerHour = 12.0;   // percent per hour while running from the battery
  double sleepDrainPerHour = 1.0;  // percent per hour asleep, adapter off or disconnected
  // Raw registry properties that replace (or add to) the model's own.
  std::map<std::string, PropertyValue> overrides;
};

struct MachineSpec {
  Firmware firmware = Firmware::tahoe;
  bool smcService = true;                    // false: no AppleSMC service
  kern_return_t openStatus = kIOReturnSuccess;  // e.g. kIOReturnNotPrivileged
  std::vector<std::string> missingKeys;      // no key info
  std::vector<std::string> rejectedKeys;     // key info, but reads and writes get result != 0
  std::optional<BatterySpec> battery = BatterySpec{};  // none: no "AppleSmartBattery"
  double startTime = 1796417610.0;           // virtual wall clock at boot (2026-12-04T20:53:30Z)
  double smcAfter = 0.0;                     // seconds after boot before the AppleSMC service appears
  // macOS's own Charge Limit (80 to 100 in steps of 5): on the adapter, at or
  // above it, macOS pauses charging by itself and the battery reports not
  // charging, whatever the firmware and the daemon do.
  std::optional<int64_t> systemChargeLimit;
  double darkWakeSeconds = 30.0;             // how long a dark wake runs processes
  bool fullScheduledWakes = false;           // a scheduled wake with the lid closed is a full wake, not a dark one
  bool clamshell = false;                    // boots with the lid closed on an external display
  std::map<std::string, int> refusedWrites;  // the next N writes of a key are refused
};

// Parses the "machine" object of a scenario (and of `hestled --machine`):
//   {"firmware": "tahoe" | "preTahoe" | "tahoe-2026-09" | "noSMC" | "refused",
//    "missingKeys": ["CHIE"], "rejectedKeys": ["CH0C"],
//    "battery": null | {"percent": 95, "capacityMah": 5000, "pluggedIn": true,
//                       "chargePerHour": 40, "drainPerHour": 12, "sleepDrainPerHour": 1,
//                       "properties": {"CycleCount": 3, "Serial": "X", ...}},
//    "start": "2026-12-04T20:53:30Z", "smcAfter": 20, "systemChargeLimit": 80, "darkWakeSeconds": 30,
//    "scheduledWakes": "dark" | "full", "clamshell": false, "refusedWrites": {"CHTE": 1}}
// Every member is optional (defaults of MachineSpec / BatterySpec). "noSMC" is
// Tahoe firmware without the AppleSMC service, "refused" Tahoe firmware whose
// IOServiceOpen answers kIOReturnNotPrivileged. Property values: integers,
// floating-point numbers, Booleans, strings. "start" is UTC with an optional
// fraction of a second. Throws std::invalid_argument, with the reason, for an
// unknown firmware, an ill-typed or out-of-range member, or an unknown member.
MachineSpec machineSpecFromJson(const nlohmann::json& j);

// Boots a fresh machine: key table of the firmware at its power-on values,
// the battery, the clock at spec.startTime, no faults beyond the spec, empty
// exchange record (recording on), zeroed object accounting, no schedule, no
// wait hook, virtual time (speed 0), no key file. IOKit handles of an earlier
// boot are dead; CF objects stay valid but no longer count.
void boot(const MachineSpec& spec);

// Reboot keeps the spec but resets the SMC (key writes persist only until then).
void reboot();

// ---- The SMC ---------------------------------------------------------------

struct SmcKeyState {
  uint32_t size = 0;
  uint32_t type = 0;
  std::vector<uint8_t> value;  // `size` bytes
  bool rejectReads = false;    // reads answered with a non-zero result
  bool rejectWrites = false;   // writes answered with a non-zero result
};

// The controller answers the 80-byte block (fields at their byte offsets,
// host order): command 9 (key info) -> result 0, valueSize at 28, valueType
// at 32, nothing else; an unknown key -> only result 0x84. Command 5 (read)
// and 6 (write) need the key to exist (0x84) and the request's valueSize to
// equal the key's size (0x87); a rejected or zero-size key refuses reads
// (0x85) and writes (0x86); a read replies the value at 48, a write stores
// the first `size` data bytes. Any other command: 0x82.
//
// Current key table; std::nullopt when the key does not exist.
std::optional<SmcKeyState> smcKey(const std::string& name);
// Value of a key as lowercase hex of all its bytes ("01000000"), "" if absent.
std::string smcKeyHex(const std::string& name);
// Sets a key's value directly (no exchange recorded): padded or cut to the
// key's size; a key that does not exist is created with size bytes.size()
// and type 'hex_'.
void setSmcKeyValue(const std::string& name, const std::vector<uint8_t>& bytes);
void removeSmcKey(const std::string& name);
void rejectSmcKey(const std::string& name, bool reads, bool writes);

// Every struct-method call the daemon made, in order.
struct SmcExchange {
  uint32_t connection = 0;
  uint32_t selector = 0;
  std::vector<uint8_t> request;  // as sent (inputStructCnt bytes)
  std::array<uint8_t, 80> reply{};
  kern_return_t status = 0;
};
const std::vector<SmcExchange>& smcExchanges();
void clearSmcExchanges();
// Long runs switch the record off to keep memory flat (on by default).
void setRecordSmcExchanges(bool on);

// Fault injection for the struct-method call: while set, every call returns
// this status and leaves the reply untouched.
void setSmcCallFailure(std::optional<kern_return_t> status);

// What the machine is doing, derived from the keys.
bool chargeInhibited();  // CHTE != 0, or CH0B/CH0C != 0 (per firmware)
bool adapterDisabled();  // CHIE == 8, or CH0I/CH0J != 0
uint8_t ledValue();      // ACLC: 0 system, 3 green, 4 orange

// ---- The battery -----------------------------------------------------------

// Between clock moments the state of charge moves at a constant rate:
// +chargePerHour while the adapter is connected and enabled and charging is
// not inhibited (up to 100, or up to macOS's Charge Limit), 0 while inhibited, -drainPerHour while the
// adapter is disabled or disconnected (down to 0); asleep, -sleepDrainPerHour
// instead of -drainPerHour. Every change (a key write,
// a plug event) takes effect from the virtual moment it happens.
double batteryPercent();          // exact model value
void setBatteryPercent(double percent);
void setPluggedIn(bool connected);  // adapter physically connected
bool pluggedIn();
bool batteryCharging();           // charging right now
void setBatteryService(bool present);
// The properties call returns this status (non-zero: failure) while set.
void setPropertiesFailure(std::optional<kern_return_t> status);
// The properties call succeeds but hands out no dictionary.
void setPropertiesNull(bool on);
// The properties call returns a CFString instead of a dictionary.
void setPropertiesNotDictionary(bool on);
// The dictionary holds one extra entry whose key is a CFNumber.
void setPropertiesNonStringKey(bool on);
void setPropertyOverride(const std::string& key, std::optional<PropertyValue> value);
// Replaces or adds a property; std::nullopt drops the override again.
// The properties the registry would report now (after overrides):
// "AppleRawCurrentCapacity" (mAh, rounded), "AppleRawMaxCapacity",
// "CurrentCapacity" (percent, rounded), "MaxCapacity" 100, "ExternalConnected"
// (false while the adapter is disabled), "IsCharging" (only while charging)
// and a score of other real-looking properties of mixed types.
std::map<std::string, PropertyValue> batteryProperties();

// What the daemon handed the system's log (platform/system_log.h) since boot
// or the last call, a line each; taking it empties it.
std::string takeUnifiedLog();

// ---- The clock ---------------------------------------------------------------

// The daemon waits in CFRunLoopRunInMode: it calls the wait hook with now();
// serves a ready source at once; otherwise, in virtual time, moves on to the
// end, stopping at each scheduled event (runs it, then serves a source that
// has become ready at that moment). While the machine sleeps no source is
// served and the time limit does not count (it is awake time, dark wakes
// included): the wait goes on to the wake. In
// real-time mode it polls for seconds / speed of real time, running events as
// virtual time reaches them.
//
// Three clocks: now() is the machine's timeline (it counts through sleep and
// is what schedule() and the trace use); wallClockNow() and
// CFAbsoluteTimeGetCurrent() are now() plus the offset that jumpWallClock()
// moves; monotonicNow() (platform/clock.h) counts from boot through sleep
// and never jumps.
double now();                  // virtual seconds since 1970
// Moves time on, running events that fall due in order; the battery follows.
// Throws std::invalid_argument for a negative or non-finite amount.
void advance(double seconds);
// Real-time mode (a `hestled` process on Linux): waits really pass, `speed`
// virtual seconds per real second. 0 (the default) is pure virtual time.
void setRealTimeSpeed(double speed);
// Called once at the start of every CFRunLoopRunInMode (the end of a daemon
// pass, and again when the daemon waits on after a source), with now().
void setWaitHook(std::function<void(double)> hook);
// Sets the wall clock `seconds` forward (negative: back); nothing else moves.
void jumpWallClock(double seconds);
double wallClock();
// Runs `action` when virtual time reaches `at` during a wait or advance
// (events at the same moment in the order scheduled; a time already past
// runs at the next wait or advance).
void schedule(double at, std::function<void()> action);
void clearSchedule();

// ---- Sleep and wake ----------------------------------------------------------
//
// A lid closed for a span: kIOMessageSystemWillSleep goes to every client of
// IORegisterForSystemPower through its notification port's run-loop source;
// the machine sleeps once all have answered IOAllowPowerChange, or 30 s after
// the message with a fault recorded for each silent one. IOCancelPowerChange
// of a forced sleep is refused (a fault). Asleep, no process runs. The span
// ends (the lid opens) with kIOMessageSystemWillPowerOn then
// kIOMessageSystemHasPoweredOn: only that is a full wake. A wake scheduled
// with IOPMSchedulePowerEvent (type "wake") inside the span, and each of the
// system's maintenance wakes (closeLid's `darkWakeEvery`), is a dark wake:
// processes run for darkWakeSeconds (30 s) with no power message at all, and
// the machine goes back to sleep without asking (no kIOMessageCanSystemSleep,
// no kIOMessageSystemWillSleep). With fullScheduledWakes a scheduled wake is
// a full wake instead, followed darkWakeSeconds later by a sleep the usual
// way if the span lasts. Idle sleep asks first with kIOMessageCanSystemSleep:
// one veto keeps the machine awake (kIOMessageSystemWillNotSleep follows),
// and a PreventUserIdleSystemSleep assertion keeps it from being proposed.
// A charger connected or removed while asleep wakes nothing.
//
// Clamshell mode: the lid closed on an external display, awake. A closed lid
// does not sleep it; losing external power does, at once (the forced sleep's
// messages), until the clamshell mode ends (the lid opens); the adapter
// switched off by the SMC there is also a fault. The root power domain's
// "AppleClamshellState" (IORegistryEntryCreateCFProperty) is true while the
// lid is closed, in clamshell mode or in a sleep span, and its
// "AppleClamshellCausesSleep" false only in clamshell mode.
//
// Scheduled power events outlive the process that made them (until they pass
// or are cancelled) and are listed by IOPMCopyScheduledPowerEvents.

struct SleepSpan {
  double start = 0.0;        // timeline
  double end = 0.0;          // equal to start while still asleep
  bool scheduledWake = false;  // ended by a wake scheduled with IOPMSchedulePowerEvent
  bool darkWake = false;       // ended by a dark wake
};

void closeLid(double seconds, double darkWakeEvery = 0.0);
void setClamshell(bool on);
bool clamshell();
// Processes run, lid closed, no power message was sent.
bool inDarkWake();
void proposeIdleSleep(double seconds);
// Ends the span now: a sleeping machine (or one in a dark wake) wakes fully;
// a re-sleep pending after a scheduled wake is dropped.
void openLid();
bool asleep();
const std::vector<SleepSpan>& sleepSpans();
// Wakes scheduled and not yet passed, on the timeline.
std::vector<double> scheduledWakes();
// Faults of the daemon seen by the machine ("kIOMessageSystemWillSleep not
// acknowledged within 30 s", "veto of a forced sleep refused"), in order.
const std::vector<std::string>& faults();
// Called with true when the machine falls asleep (after the acknowledgements)
// and with false when it wakes (before the messages are delivered).
void setPowerHook(std::function<void(bool asleep)> hook);

// ---- Object accounting ---------------------------------------------------------

// Counted since the last boot. Every CF object the simulated Mac makes counts,
// those inside a dictionary included; they die with the last reference.
struct ObjectCounts {
  int64_t cfCreated = 0;     // CF objects handed out (+1 references created)
  int64_t cfLive = 0;        // CF objects not yet released to zero
  int64_t ioCreated = 0;     // io_object_t handed out (services, connections)
  int64_t ioLive = 0;        // not yet released / closed
  int64_t badReleases = 0;   // IOObjectRelease/IOServiceClose of an unknown object
};
ObjectCounts objectCounts();
// A CFRelease of NULL or of a released object aborts the process, as on a Mac.

// ---- Persistence for a `hestled` process ------------------------------------

// Loads key values saved by an earlier process on the same simulated machine
// (writes persist until reboot) and saves them after every accepted write,
// every setSmcKeyValue and every reboot (a temporary file renamed over
// `path`). The file is one JSON object holding every key of the table as
// lowercase hex of all its bytes: {"keys":{"ACLC":"00","CHIE":"08","CHTE":"01000000"}}.
// Keys the firmware lacks, or of another size, are ignored when loading; a
// file that is not of this form throws std::runtime_error. "" stops saving.
void persistKeysTo(const std::string& path);

}  // namespace simmac

// A test's wait on one descriptor, as the daemon's run loop waits: the wait
// hook, then true at once when `fd` is readable; otherwise on to the end,
// stopping at each event and returning true when `fd` has become readable.
bool waitForWake(int fd, double seconds);
