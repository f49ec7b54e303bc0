// config.json as the front end changes it: read strictly, changed member by
// member, written whole and atomically the way hestled reads it.
#pragma once

#include <optional>
#include <string>

#include "store/charge_config.h"

// Larger than any settings file hestle or hestled writes.
inline constexpr size_t kMaxConfigBytes = 64 * 1024;

// The settings to start a change from: the file's, or the defaults when there
// is no file. When the file exists but cannot be used (not a regular file,
// unreadable, malformed), `config` is none and `error` says why; the file is
// then to be left alone, not replaced.
struct LoadedConfig {
  std::optional<ChargeConfig> config;
  bool fromFile = false;
  std::string error;
};
LoadedConfig loadConfig(const std::string& dataDir);

// Writes all five members to config.json in `dataDir`: a temporary file in
// the directory renamed over it, mode 0666 so that hestled and every user can
// use it. Empty on success, otherwise the reason.
std::string saveConfig(const std::string& dataDir, const ChargeConfig& config);
