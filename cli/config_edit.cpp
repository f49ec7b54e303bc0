// Loading and saving config.json for the front end.
#include "cli/config_edit.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "cli/data_files.h"
#include "store/safe_file.h"

LoadedConfig loadConfig(const std::string& dataDir) {
  const std::string path = configFilePath(dataDir);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {ChargeConfig{}, false, ""};
    return {std::nullopt, false, "cannot read " + path + ": " + std::strerror(errno)};
  }
  if (!S_ISREG(st.st_mode)) {
    return {std::nullopt, false, path + " is not a regular file; remove it to start from the defaults"};
  }
  auto bytes = readRegularFile(path, kMaxConfigBytes);
  if (!bytes) return {std::nullopt, false, "cannot read " + path};
  auto config = decodeChargeConfig(*bytes);
  if (!config) {
    return {std::nullopt, false,
            path + " is malformed (hestled needs all five settings with their exact types, "
                   "and uses the defaults until then); it was left as it is: fix it, or remove it "
                   "to start from the defaults"};
  }
  return {config, true, ""};
}

std::string saveConfig(const std::string& dataDir, const ChargeConfig& config) {
  const std::string path = configFilePath(dataDir);
  struct stat st {};
  if (stat(dataDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "there is no data directory " + dataDir + "; is hestled installed and started?";
  }
  auto json = encodeChargeConfig(config);
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
