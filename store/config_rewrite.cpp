// Changing config.json in place, under the lock both programs take.
#include "store/config_rewrite.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "state/globals.h"
#include "store/safe_file.h"

int lockConfigDirectory(const std::string& dir, double waitSeconds, const std::function<void(double)>& pause,
                        bool& heldByOther) {
  heldByOther = false;
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  constexpr double kStep = 0.01;
  for (double waited = 0.0; flock(fd, LOCK_EX | LOCK_NB) != 0; waited += kStep) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitSeconds) {
      heldByOther = errno == EWOULDBLOCK || errno == EINTR;
      close(fd);
      return -1;
    }
    pause(kStep);
  }
  return fd;
}

std::optional<std::string> encodeConfigKeeping(const ChargeConfig& config, const std::string& keptFrom) {
  auto out = encodeChargeConfig(config);
  if (!out || keptFrom.empty()) return out;
  try {
    const auto object = nlohmann::ordered_json::parse(keptFrom);
    if (!object.is_object()) return std::nullopt;
    out->pop_back();  // the closing brace
    for (const auto& [name, value] : object.items()) {
      if (std::find(std::begin(kChargeConfigMembers), std::end(kChargeConfigMembers), name) !=
          std::end(kChargeConfigMembers))
        continue;
      *out += ',' + nlohmann::json(name).dump() + ':' + value.dump();
    }
    *out += '}';
  } catch (...) {
    return std::nullopt;  // not reached for text that decodeChargeConfig() accepted
  }
  return out;
}

void recordCalibrationTime(double timestamp) {
  // As readConfig() takes the file: at most 64 KiB, no link followed; and
  // written with the mode 0666 that lets every user's front end edit it.
  bool heldByOther = false;
  const int lock = lockConfigDirectory(configDir, 2.0, pauseFor, heldByOther);
  const auto bytes = readRegularFile(configPath, 64 * 1024);
  std::optional<ChargeConfig> current = bytes ? decodeChargeConfig(*bytes) : std::nullopt;
  if (current) {
    current->lastCalibrationTimestamp = timestamp;
    if (const auto json = encodeConfigKeeping(*current, *bytes)) replaceFileAtomically(configPath, *json, 0666);
  }
  if (lock >= 0) close(lock);
}
