// Loading, changing and saving config.json for the front end.
#include "cli/config_edit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/data_files.h"
#include "store/safe_file.h"

constexpr int kMaxUpdateAttempts = 20;

LoadedConfig loadConfig(const std::string& dataDir) {
  const std::string path = configFilePath(dataDir);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {ChargeConfig{}, false, "", ""};
    return {std::nullopt, false, "cannot read " + path + ": " + std::strerror(errno), ""};
  }
  if (!S_ISREG(st.st_mode)) {
    return {std::nullopt, false, path + " is not a regular file; remove it to start from the defaults", ""};
  }
  auto bytes = readRegularFile(path, kMaxConfigBytes);
  if (!bytes) return {std::nullopt, false, "cannot read " + path, ""};
  auto config = decodeChargeConfig(*bytes);
  if (!config) {
    return {std::nullopt, false,
            path + " is malformed (hestled needs all five settings with their exact types, "
                   "and uses the defaults until then); it was left as it is: fix it, or remove it "
                   "to start from the defaults",
            ""};
  }
  return {config, true, "", std::move(*bytes)};
}

// The compact form of `config`, then the members of `keptFrom` that are not
// among its five, in their order.
static std::optional<std::string> encodeKeeping(const ChargeConfig& config, const std::string& keptFrom) {
  auto out = encodeChargeConfig(config);
  if (!out || keptFrom.empty()) return out;
  static const char* const known[] = {"chargeLimitEnabled", "chargeLimitPercent", "calibrationEnabled",
                                      "calibrationIntervalDays", "lastCalibrationTimestamp", "adapterCycling"};
  try {
    const auto object = nlohmann::ordered_json::parse(keptFrom);
    out->pop_back();  // the closing brace
    for (const auto& [name, value] : object.items()) {
      if (std::find(std::begin(known), std::end(known), name) != std::end(known)) continue;
      *out += ',' + nlohmann::json(name).dump() + ':' + value.dump();
    }
    *out += '}';
  } catch (...) {
    return std::nullopt;  // not reached for text that loadConfig() accepted
  }
  return out;
}

std::string saveConfig(const std::string& dataDir, const ChargeConfig& config, const std::string& keptFrom) {
  const std::string path = configFilePath(dataDir);
  struct stat st {};
  if (stat(dataDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "there is no data directory " + dataDir + "; is hestled installed and started?";
  }
  auto json = encodeKeeping(config, keptFrom);
  if (!json) return "cannot encode the settings (the last calibration time is not a number)";
  errno = 0;
  if (!replaceFileAtomically(path, *json, 0666)) {
    int saved = errno;
    std::string reason = "cannot write " + path;
    if (saved != 0) reason += std::string(": ") + std::strerror(saved);
    return reason;
  }
  return "";
}

// An exclusive flock on the data directory, which no user can replace (so
// nothing can be planted in its place), released when the descriptor closes.
// -1 when it is not had; `heldByOther` when another holder kept it for
// kConfigLockWaitSeconds.
static int lockDataDirectory(const std::string& dataDir, bool& heldByOther) {
  heldByOther = false;
  const int fd = open(dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kConfigLockWaitSeconds);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      heldByOther = errno == EWOULDBLOCK || errno == EINTR;
      close(fd);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return fd;
}

// What identifies the file's content: a replacement has another inode (the
// descriptor held open keeps the old one from being reused), an edit in place
// another size or time. A missing file: all zero (no file has inode 0).
static FileIdentity currentIdentity(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? identityOfStat(st) : FileIdentity{};
}

std::string updateConfig(const std::string& dataDir, const std::function<void(ChargeConfig&)>& change,
                         bool& lockNote) {
  const std::string path = configFilePath(dataDir);
  const int lock = lockDataDirectory(dataDir, lockNote);
  std::string error = "the settings kept changing while hestle tried to change them; try again";
  for (int attempt = 0; attempt < kMaxUpdateAttempts; ++attempt) {
    const int held = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    const FileIdentity before = held >= 0 && fstat(held, &st) == 0 ? identityOfStat(st) : FileIdentity{};
    LoadedConfig loaded = loadConfig(dataDir);
    if (!loaded.config) {
      if (held >= 0) close(held);
      error = loaded.error;
      break;
    }
    change(*loaded.config);
    // Another writer got in between the read and here: start again from its
    // content. (With the lock held that can only be a writer other than hestle.)
    const bool unchanged = currentIdentity(path) == before;
    if (unchanged) error = saveConfig(dataDir, *loaded.config, loaded.text);
    if (held >= 0) close(held);
    if (unchanged) break;
  }
  if (lock >= 0) close(lock);
  return error;
}
