// The user's settings, "config.json".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ChargeConfig {
  bool chargeLimitEnabled = false;
  int64_t chargeLimitPercent = 80;
  bool calibrationEnabled = false;
  int64_t calibrationIntervalDays = 30;
  double lastCalibrationTimestamp = 0.0;
  // Where the firmware cannot pause charging: hold the limit awake by running
  // the Mac from its battery (the adapter switched off and on). Optional in
  // the file, false when absent.
  bool adapterCycling = false;
  bool operator==(const ChargeConfig&) const = default;
};

// The lowest setting of macOS's own Charge Limit (80 to 100 % in steps of 5)
// at or above `limit`: what to suggest where the firmware cannot pause charging.
inline int64_t macOSChargeLimitFor(int64_t limit) {
  if (limit <= 80) return 80;
  return limit >= 100 ? 100 : (limit + 4) / 5 * 5;
}

// The members the settings know, in their order; any other member of the file
// is someone else's, kept when the daemon or hestle rewrites it.
inline constexpr std::string_view kChargeConfigMembers[] = {"chargeLimitEnabled", "chargeLimitPercent",
                                                            "calibrationEnabled", "calibrationIntervalDays",
                                                            "lastCalibrationTimestamp", "adapterCycling"};

// The compact JSON form, members in declaration order, "adapterCycling"
// only when true; none when the timestamp is not finite.
std::optional<std::string> encodeChargeConfig(const ChargeConfig& config);
// Why a settings file cannot be used.
enum class ConfigFault {
  none,
  notRegularFile,   // a link, FIFO, directory, ...
  tooLarge,         // over 64 KiB
  unreadable,       // no permission, an I/O error
  notJson,          // empty, malformed
  notObject,        // JSON, but not an object
  tooDeep,          // nested deeper than 64 levels
  memberTwice,      // `member` given twice
  memberMissing,    // `member` missing
  wrongType,        // `member` null or of another type, or an integer out of range
};
struct ConfigProblem {
  ConfigFault fault = ConfigFault::none;
  std::string_view member;  // one of the member names, for the member faults
  bool operator==(const ConfigProblem&) const = default;
};

// The problem in a few words for a log line: "not JSON", "larger than 64 KiB",
// "\"chargeLimitPercent\" is not a whole number", ...
std::string describeConfigProblem(const ConfigProblem& problem);

// All five members required, "adapterCycling" optional, exact types; none on any violation, and then
// `why` (when given) says what is wrong. Integers must be integral numbers in
// the signed 64-bit range judged by their text (1e2 and 80.0 are 100 and 80;
// 80.5 and 9223372036854775808 are refused); the timestamp is any finite
// number. Extra members and any order are accepted; a member given twice, or
// nesting deeper than 64, refuses all.
std::optional<ChargeConfig> decodeChargeConfig(std::string_view json, ConfigProblem* why = nullptr);

// One reading of configPath: the settings it holds, or the defaults; when it
// exists but cannot be used, `problem` says why. (No file is no problem.)
struct ConfigReading {
  ChargeConfig config;
  bool present = false;  // the file exists
  ConfigProblem problem;
};
// The same syscalls as readConfig(); never blocks, logs or writes. A file
// whose identity (device, inode, size, modification and change times to the
// nanosecond) is that of the last one read is not read again: one fstatat.
ConfigReading readConfigFile();

// The settings of configPath, or the defaults. Never blocks, logs or writes:
// a link, FIFO, device, directory or file over 64 KiB gives the defaults.
ChargeConfig readConfig();
// Replaces configPath atomically with mode 0666; failures are silent.
void writeConfig(const ChargeConfig& config);
