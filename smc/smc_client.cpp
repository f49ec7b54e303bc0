// placeholder
#include "smc/smc_client.h"
bool smcOpen() { return false; }
bool smcKeyExists(uint32_t) { return false; }
std::optional<uint8_t> smcReadByte(uint32_t) { return std::nullopt; }
bool smcWriteByte(uint32_t, uint8_t) { return false; }
bool smcWriteBytes4(uint32_t, uint8_t, uint8_t, uint8_t, uint8_t) { return false; }
void detectFirmware() {}
