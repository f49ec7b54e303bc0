// config.json as the front end changes it: read strictly, changed member by
// member, written whole and atomically the way hestled reads it, with the
// members hestle does not know kept, and never a concurrent change lost.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "store/charge_config.h"

// Larger than any settings file hestle or hestled writes.
inline constexpr size_t kMaxConfigBytes = 64 * 1024;
// How long hestle waits for another holder of the data directory's lock
// before it goes on without it: a user who holds it does not stop others.
inline constexpr double kConfigLockWaitSeconds = 2.0;

// The settings to start a change from: the file's, or the defaults when there
// is no file. When the file exists but cannot be used (not a regular file,
// unreadable, malformed), `config` is none and `error` says why; the file is
// then to be left alone, not replaced. `text` is the file's content.
struct LoadedConfig {
  std::optional<ChargeConfig> config;
  bool fromFile = false;
  std::string error;
  std::string text;
};
LoadedConfig loadConfig(const std::string& dataDir);

// Loads the settings, applies `change` and saves them (mode 0666, so that
// hestled and every user can use them), keeping the members hestle does not
// know. Holds an advisory lock on the data directory while it does (waiting
// at most kConfigLockWaitSeconds; `lockNote` is set when another holder kept
// it that long and the change went on without). The lock is a courtesy: a
// writer that got in between the read and the write, lock or not, is found
// out after the write, and its change kept and this one made again on top.
// Empty on success, otherwise the reason.
std::string updateConfig(const std::string& dataDir, const std::function<void(ChargeConfig&)>& change,
                         bool& lockNote);
