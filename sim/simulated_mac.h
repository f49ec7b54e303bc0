// The simulated Mac: a model of a MacBook behind the IOKit and CoreFoundation
// subset in sim/include. Tests and the simulation harness build a machine,
// advance its clock, inject faults and read back what the daemon did.
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
};

// Parses the "machine" object of a scenario (see README): firmware
// "tahoe" | "preTahoe" | "tahoe-2026-09" | "noSMC" | "refused", missingKeys,
// rejectedKeys, battery (null: none) with percent, capacityMah, pluggedIn,
// chargePerHour, drainPerHour, properties. Throws std::invalid_argument.
MachineSpec machineSpecFromJson(const nlohmann::json& j);

// Boots a fresh machine: key table of the firmware at its power-on values,
// the battery, the clock at spec.startTime, no faults beyond the spec, empty
// exchange record, zeroed object accounting.
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

// Current key table; std::nullopt when the key does not exist.
std::optional<SmcKeyState> smcKey(const std::string& name);
// Value of a key as lowercase hex of all its bytes ("01000000"), "" if absent.
std::string smcKeyHex(const std::string& name);
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
// The properties the registry would report now (after overrides).
std::map<std::string, PropertyValue> batteryProperties();

// ---- The clock ---------------------------------------------------------------

double now();                  // virtual seconds since 1970
void advance(double seconds);  // moves time on; the battery follows
// Real-time mode (a `hestled` process on Linux): waits really pass, `speed`
// virtual seconds per real second. 0 (the default) is pure virtual time.
void setRealTimeSpeed(double speed);
// Called once at the start of every waitForWake (the end of a daemon pass),
// with the virtual time.
void setWaitHook(std::function<void(double)> hook);
// Runs `action` when virtual time reaches `at` during a wait or advance.
void schedule(double at, std::function<void()> action);
void clearSchedule();

// ---- Object accounting ---------------------------------------------------------

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
// (writes persist until reboot) and saves them after every accepted write.
void persistKeysTo(const std::string& path);

}  // namespace simmac
