// The AppleSMC user-client protocol: one 80-byte parameter block exchanged
// through IOKit's struct-method call. Plain functions that take the
// connection explicitly, keep no state and log nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include <IOKit/IOKitLib.h>

struct SMCParamStruct {
  uint32_t key;           // 0: key code, first character most significant
  uint8_t reserved0[24];  // 4
  uint32_t valueSize;     // 28: key info size; size sent with reads and writes
  uint32_t valueType;     // 32: key info type code
  uint8_t reserved1[4];   // 36
  uint8_t result;         // 40: 0 when the controller carried out the command
  uint8_t reserved2;      // 41
  uint8_t command;        // 42
  uint8_t reserved3[5];   // 43
  uint8_t data[32];       // 48: value bytes
};
static_assert(sizeof(SMCParamStruct) == 80, "the AppleSMC parameter block is 80 bytes");

inline constexpr uint32_t kSMCSelector = 2;
inline constexpr uint8_t kSMCCommandReadKeyInfo = 9;
inline constexpr uint8_t kSMCCommandReadBytes = 5;
inline constexpr uint8_t kSMCCommandWriteBytes = 6;

size_t smc_struct_size();
kern_return_t smc_open(io_connect_t *conn);  // -1 when there is no AppleSMC service
kern_return_t smc_close(io_connect_t conn);
kern_return_t smc_call(io_connect_t conn, const SMCParamStruct *input, SMCParamStruct *output);
bool smc_read_key_info(io_connect_t conn, uint32_t key, uint32_t *size, uint32_t *type);
bool smc_key_exists(io_connect_t conn, uint32_t key);
bool smc_read_byte(io_connect_t conn, uint32_t key, uint8_t *value);
bool smc_write_byte(io_connect_t conn, uint32_t key, uint8_t value);
bool smc_write_bytes(io_connect_t conn, uint32_t key, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
uint32_t smc_fourcc(const char *name);
