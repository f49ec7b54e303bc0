// The AppleSMC user-client protocol: key info, one-byte reads and writes over
// the 80-byte parameter block.
#include "smc/smc_protocol.h"

#include <cstring>

#include <mach/mach.h>

// Both blocks start zeroed for every exchange: fields a request does not set
// must reach the driver as zero, and nothing of an earlier reply may linger.
static void clearBlocks(SMCParamStruct *input, SMCParamStruct *output) {
  std::memset(input, 0, sizeof *input);
  std::memset(output, 0, sizeof *output);
}

// One exchange; true only when the call and the controller both succeeded.
static bool exchange(io_connect_t conn, const SMCParamStruct *input, SMCParamStruct *output) {
  return smc_call(conn, input, output) == KERN_SUCCESS && output->result == 0;
}

// Sends a write of `bytes` at the key's own size; the rest of the value is zero.
static bool writeKey(io_connect_t conn, uint32_t key, const uint8_t *bytes, size_t count) {
  uint32_t size = 0;
  uint32_t type = 0;
  if (!smc_read_key_info(conn, key, &size, &type)) return false;
  SMCParamStruct input;
  SMCParamStruct output;
  clearBlocks(&input, &output);
  input.key = key;
  input.valueSize = size;
  input.command = kSMCCommandWriteBytes;
  std::memcpy(input.data, bytes, count);
  return exchange(conn, &input, &output);
}

size_t smc_struct_size() { return sizeof(SMCParamStruct); }

kern_return_t smc_open(io_connect_t *conn) {
  // The lookup consumes the matching dictionary, so it is not released here.
  io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
  if (service == 0) return -1;
  io_connect_t opened = 0;
  kern_return_t status = IOServiceOpen(service, mach_task_self(), 0, &opened);
  IOObjectRelease(service);
  if (status == KERN_SUCCESS) *conn = opened;
  return status;
}

kern_return_t smc_close(io_connect_t conn) { return IOServiceClose(conn); }

kern_return_t smc_call(io_connect_t conn, const SMCParamStruct *input, SMCParamStruct *output) {
  size_t outputSize = sizeof(SMCParamStruct);
  return IOConnectCallStructMethod(conn, kSMCSelector, input, sizeof(SMCParamStruct), output, &outputSize);
}

bool smc_read_key_info(io_connect_t conn, uint32_t key, uint32_t *size, uint32_t *type) {
  SMCParamStruct input;
  SMCParamStruct output;
  clearBlocks(&input, &output);
  input.key = key;
  input.command = kSMCCommandReadKeyInfo;
  if (!exchange(conn, &input, &output)) return false;
  *size = output.valueSize;
  *type = output.valueType;
  return true;
}

bool smc_key_exists(io_connect_t conn, uint32_t key) {
  uint32_t size = 0;
  uint32_t type = 0;
  return smc_read_key_info(conn, key, &size, &type);
}

bool smc_read_byte(io_connect_t conn, uint32_t key, uint8_t *value) {
  uint32_t size = 0;
  uint32_t type = 0;
  if (!smc_read_key_info(conn, key, &size, &type)) return false;
  SMCParamStruct input;
  SMCParamStruct output;
  clearBlocks(&input, &output);
  input.key = key;
  input.valueSize = size;
  input.command = kSMCCommandReadBytes;
  if (!exchange(conn, &input, &output)) return false;
  *value = output.data[0];
  return true;
}

bool smc_write_byte(io_connect_t conn, uint32_t key, uint8_t value) {
  return writeKey(conn, key, &value, 1);
}

bool smc_write_bytes(io_connect_t conn, uint32_t key, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint8_t bytes[4] = {b0, b1, b2, b3};
  return writeKey(conn, key, bytes, sizeof bytes);
}

uint32_t smc_fourcc(const char *name) {
  uint32_t code = 0;
  if (name == nullptr) return code;
  for (int i = 0; i < 4 && name[i] != '\0'; ++i) code = (code << 8) | static_cast<uint8_t>(name[i]);
  return code;
}
