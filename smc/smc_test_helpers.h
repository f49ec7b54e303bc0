// Test helpers: reading the simulated Mac's record of SMC exchanges.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simulated_mac.h"

// The four-character name of the key a request addresses (native byte order).
inline std::string requestKeyName(const std::vector<uint8_t>& request) {
  if (request.size() < 4) return "";
  return {static_cast<char>(request[3]), static_cast<char>(request[2]), static_cast<char>(request[1]),
          static_cast<char>(request[0])};
}

inline uint8_t requestCommand(const std::vector<uint8_t>& request) { return request.size() > 42 ? request[42] : 0; }

// Names of the keys addressed by every request with `command`, in order.
inline std::vector<std::string> keysSentWithCommand(uint8_t command) {
  std::vector<std::string> keys;
  for (const auto& exchange : simmac::smcExchanges())
    if (requestCommand(exchange.request) == command) keys.push_back(requestKeyName(exchange.request));
  return keys;
}

// An 80-byte request: the key code, little-endian, at 0, `valueSize` at 28,
// `command` at 42, `data` from 48, zero elsewhere.
inline std::vector<uint8_t> expectedRequest(uint32_t key, uint32_t valueSize, uint8_t command,
                                            const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> block(80, 0);
  for (int i = 0; i < 4; ++i) {
    block[static_cast<size_t>(i)] = static_cast<uint8_t>(key >> (8 * i));
    block[static_cast<size_t>(28 + i)] = static_cast<uint8_t>(valueSize >> (8 * i));
  }
  block[42] = command;
  for (size_t i = 0; i < data.size(); ++i) block[48 + i] = data[i];
  return block;
}
