// Where hestle finds the daemon's three files inside its data directory.
#pragma once

#include <string>

inline std::string configFilePath(const std::string& dataDir) { return dataDir + "/config.json"; }
inline std::string statusFilePath(const std::string& dataDir) { return dataDir + "/status.json"; }
inline std::string logFilePath(const std::string& dataDir) { return dataDir + "/daemon.log"; }
