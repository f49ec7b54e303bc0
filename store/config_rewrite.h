// Changing config.json where it is: both programs take the same lock, read
// the file as it is, change their members and keep every other one.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "store/charge_config.h"

// The lock that hestle and hestled hold while they change config.json: an
// exclusive flock on the data directory `dir`, which no user can replace (so
// nothing can be planted in its place), released when the descriptor closes.
// Tries again after `pause(seconds)` for at most `waitSeconds`; -1 when it is
// not had, and then `heldByOther` when another holder kept it that long.
int lockConfigDirectory(const std::string& dir, double waitSeconds, const std::function<void(double)>& pause,
                        bool& heldByOther);

// The compact form of `config`, then the members of the JSON object
// `keptFrom` that are not among its five, in their order. None when the
// timestamp is not finite or `keptFrom` is not an object.
std::optional<std::string> encodeConfigKeeping(const ChargeConfig& config, const std::string& keptFrom);

// The daemon's one change to the settings, at a calibration's completion:
// under the lock (waiting for it at most two seconds on the monotonic clock,
// then going on without it), `lastCalibrationTimestamp` set in configPath as
// it is then, every other member kept. A file that is missing or that cannot
// be used is left as it is: the settings that asked for the cycle are gone.
void recordCalibrationTime(double timestamp);
