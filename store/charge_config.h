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
  bool operator==(const ChargeConfig&) const = default;
};

// The compact JSON form, members in declaration order; none when the
// timestamp is not finite.
std::optional<std::string> encodeChargeConfig(const ChargeConfig& config);
// All five members required, exact types; none on any violation. Integers
// must be integral numbers in the signed 64-bit range judged by their text
// (1e2 and 80.0 are 100 and 80; 80.5 and 9223372036854775808 are refused);
// the timestamp is any finite number. Extra members and any order are
// accepted; a member given twice, or nesting deeper than 64, refuses all.
std::optional<ChargeConfig> decodeChargeConfig(std::string_view json);

// The settings of configPath, or the defaults. Never blocks, logs or writes:
// a link, FIFO, device, directory or file over 64 KiB gives the defaults.
ChargeConfig readConfig();
// Replaces configPath atomically with mode 0666; failures are silent.
void writeConfig(const ChargeConfig& config);
