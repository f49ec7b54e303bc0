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

// An exchange succeeds when the call returns 0 and the reply's `result` is 0.
// Every operation builds both blocks afresh, zeroed, and fetches key info
// anew (never cached), so a read or write costs two exchanges; after failed
// key info no second exchange is sent. Out-parameters are written only on
// success.

size_t smc_struct_size();  // 80
// Opens the AppleSMC user client. -1 when there is no AppleSMC service,
// otherwise the status of IOServiceOpen; *conn is written only on success.
// The service object is released either way.
kern_return_t smc_open(io_connect_t *conn);
kern_return_t smc_close(io_connect_t conn);
// The one exchange with the driver: selector 2, 80 bytes each way.
kern_return_t smc_call(io_connect_t conn, const SMCParamStruct *input, SMCParamStruct *output);
// Command 9: the key's value size and type code.
bool smc_read_key_info(io_connect_t conn, uint32_t key, uint32_t *size, uint32_t *type);
// True exactly when the controller answers key info for `key`.
bool smc_key_exists(io_connect_t conn, uint32_t key);
// Command 5 at the key's size: the value's first byte.
bool smc_read_byte(io_connect_t conn, uint32_t key, uint8_t *value);
// Command 6 at the key's own size: the value is `value` then zeros, or b0 to
// b3 then zeros. Nothing is read back.
bool smc_write_byte(io_connect_t conn, uint32_t key, uint8_t value);
bool smc_write_bytes(io_connect_t conn, uint32_t key, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
// Packs up to four characters, the first most significant: "CH0B" is
// 0x43483042, "AB" 0x4142, "" 0; characters after the fourth are ignored.
uint32_t smc_fourcc(const char *name);
