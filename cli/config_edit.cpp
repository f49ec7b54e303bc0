// Loading, changing and saving config.json for the front end.
#include "cli/config_edit.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/data_files.h"
#include "platform/exchange_entries.h"
#include "store/config_rewrite.h"
#include "store/safe_file.h"

constexpr int kMaxUpdateAttempts = 20;

static std::string cannotWrite(const std::string& path, int error) {
  return "cannot write " + path + (error != 0 ? std::string(": ") + std::strerror(error) : "");
}

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

// A temporary beside config.json in `dataDir` holding `config` and the other
// members of `keptFrom`, mode 0666 so that hestled and every user can use it;
// its path goes to `tmp`. Empty on success, otherwise the reason.
static std::string writeConfigTemporary(const std::string& dataDir, const ChargeConfig& config,
                                        const std::string& keptFrom, std::string& tmp) {
  const std::string path = configFilePath(dataDir);
  struct stat st {};
  if (stat(dataDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "there is no data directory " + dataDir + "; is hestled installed and started?";
  }
  auto json = encodeConfigKeeping(config, keptFrom);
  if (!json) return "cannot encode the settings (the last calibration time is not a number)";
  errno = 0;
  tmp = writeTemporaryBeside(path, *json, 0666);
  return tmp.empty() ? cannotWrite(path, errno) : "";
}

enum class Placed { swapped, created, failed };

// Puts the file at `from` at `path` and whatever was at `path` at `from`, in
// one step, so that the caller learns which file it displaced; with nothing
// at `path`, links `from` there, which fails if another writer made it first.
// Where the file system cannot exchange, a plain rename (nothing learnt).
static Placed exchangeInto(const std::string& from, const std::string& path) {
  if (exchangeEntries(from.c_str(), path.c_str()) == 0) return Placed::swapped;
  if (errno == ENOENT) return link(from.c_str(), path.c_str()) == 0 ? Placed::created : Placed::failed;
  if (errno != EINVAL && errno != ENOTSUP) return Placed::failed;
  return rename(from.c_str(), path.c_str()) == 0 ? Placed::created : Placed::failed;
}

// Every member of the object `now` that `before` lacks or holds with another
// value, into `changes`: what another writer changed.
static void collectChanges(const std::string& before, const std::string& now, nlohmann::ordered_json& changes) {
  const auto old = nlohmann::ordered_json::parse(before.empty() ? "{}" : before, nullptr, false);
  const auto current = nlohmann::ordered_json::parse(now, nullptr, false);
  if (!old.is_object() || !current.is_object()) return;
  for (const auto& [name, value] : current.items())
    if (!old.contains(name) || old.at(name) != value) changes[name] = value;
}

// The settings loaded, with what other writers changed laid over them.
static void layOver(LoadedConfig& loaded, const nlohmann::ordered_json& changes) {
  if (changes.empty() || !loaded.config) return;
  auto merged = nlohmann::ordered_json::parse(loaded.fromFile ? loaded.text : *encodeChargeConfig(*loaded.config));
  for (const auto& [name, value] : changes.items()) merged[name] = value;
  loaded.text = merged.dump();
  loaded.config = decodeChargeConfig(loaded.text);
  if (!loaded.config) loaded.error = "another writer left settings that hestle cannot use; try again";
}

// The change is never lost, with or without the lock (which another user may
// hold): the new file is exchanged with the one in place, and when that is
// not the file read (another writer got in between), what that writer changed
// is kept and the change made again on top of the file now in place, until
// the file displaced is the one read. The file read stays open meanwhile, so
// that its inode cannot be reused; its size and modification time tell an
// edit in place.
std::string updateConfig(const std::string& dataDir, const std::function<void(ChargeConfig&)>& change,
                         bool& lockNote) {
  const std::string path = configFilePath(dataDir);
  const int lock = lockConfigDirectory(dataDir, kConfigLockWaitSeconds,
                                       [](double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); },
                                       lockNote);
  auto others = nlohmann::ordered_json::object();
  std::string error = "the settings kept changing while hestle tried to change them; try again";
  for (int attempt = 0; attempt < kMaxUpdateAttempts; ++attempt) {
    const int held = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    const FileIdentity before = held >= 0 && fstat(held, &st) == 0 ? identityOfStat(st) : FileIdentity{};
    LoadedConfig loaded = loadConfig(dataDir);
    const std::string read = loaded.fromFile ? loaded.text : "";
    layOver(loaded, others);
    std::string tmp;
    if (loaded.config) change(*loaded.config);
    const std::string failed = loaded.config ? writeConfigTemporary(dataDir, *loaded.config, loaded.text, tmp) : loaded.error;
    const Placed placed = failed.empty() ? exchangeInto(tmp, path) : Placed::failed;
    const int saved = errno;
    FileIdentity was;
    const auto displaced = placed == Placed::swapped ? readRegularFile(tmp, kMaxConfigBytes, nullptr, &was) : std::nullopt;
    if (!tmp.empty()) unlink(tmp.c_str());
    if (held >= 0) close(held);
    if (placed == Placed::failed) {
      error = failed.empty() ? cannotWrite(path, saved) : failed;
      break;
    }
    if (placed == Placed::created || (displaced && was.device == before.device && was.inode == before.inode &&
                                      was.size == before.size && was.modifiedSeconds == before.modifiedSeconds &&
                                      was.modifiedNanoseconds == before.modifiedNanoseconds)) {
      error = "";
      break;
    }
    if (displaced) collectChanges(read, *displaced, others);
  }
  if (lock >= 0) close(lock);
  return error;
}
