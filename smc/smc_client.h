// The SMC bound to the daemon's connection smcConn, and the firmware probe.
#pragma once

#include <cstdint>
#include <optional>

// Opens the connection into smcConn; on failure logs
// "ERROR: smc_open failed with {status}" (signed decimal) and returns false.
bool smcOpen();
bool smcKeyExists(uint32_t key);
std::optional<uint8_t> smcReadByte(uint32_t key);
bool smcWriteByte(uint32_t key, uint8_t value);
bool smcWriteBytes4(uint32_t key, uint8_t b0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0);

// Logs the struct size, the seven keys (CH0B, CH0C, CHTE, CH0I, CH0J, CHIE,
// ACLC: readable value or NOT FOUND) and the family, and sets useTahoe from
// CHTE's key info alone.
void detectFirmware();
