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

enum class IoKind { smcService, batteryService, smcConnection };

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
  std::string persistPath;

  // Battery.
  bool batteryPresent = false;  // the "AppleSmartBattery" service exists
  BatterySpec battery;
  double percent = 0.0;
  std::optional<kern_return_t> propertiesFailure;
  bool propertiesNull = false;
  bool propertiesNotDictionary = false;
  bool propertiesNonStringKey = false;

  // Clock: events ordered by time, then by the order they were scheduled in.
  double now = 0.0;
  double realTimeSpeed = 0.0;
  std::function<void(double)> waitHook;
  std::multimap<double, std::function<void()>> events;

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

// Battery model (battery_model.cpp).
void runBattery(double seconds);  // integrates at the current rate
CFTypeRef createBatteryPropertiesObject();  // +1; honours the property faults

}  // namespace simmac
