// The SMC bound to the daemon's connection smcConn, and the firmware probe.
#pragma once

#include <cstdint>
#include <optional>

// Opens the connection into smcConn; on failure logs
// "ERROR: smc_open failed with {status}" (signed decimal) and returns false.
// With `patienceSeconds`, a failed open is tried again quietly each second
// for that long (the service can come late at boot), and only the last
// failure is logged.
bool smcOpen(double patienceSeconds = 0.0);
bool smcKeyExists(uint32_t key);
std::optional<uint8_t> smcReadByte(uint32_t key);
bool smcWriteByte(uint32_t key, uint8_t value);
bool smcWriteBytes4(uint32_t key, uint8_t b0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0);

#include <string>

// Logs the struct size, the seven keys (CH0B, CH0C, CHTE, CH0I, CH0J, CHIE,
// ACLC: readable value or NOT FOUND) and the family, and sets useTahoe from
// CHTE's key info alone. Then sets chargeInhibitUsable: false when the
// family's inhibit keys are zero-size stubs (every one of them), which the
// next line says.
void detectFirmware();

// Charging cannot be inhibited on this controller: clears
// chargeInhibitUsable and logs "Firmware: {finding} — charging cannot be
// inhibited; holding the limit with the adapter alone".
void markChargeInhibitUnusable(const std::string& finding);
