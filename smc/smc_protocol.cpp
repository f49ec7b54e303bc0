// placeholder: implemented by the SMC work
#include "smc/smc_protocol.h"

size_t smc_struct_size() { return sizeof(SMCParamStruct); }
kern_return_t smc_open(io_connect_t*) { return -1; }
kern_return_t smc_close(io_connect_t) { return 0; }
kern_return_t smc_call(io_connect_t, const SMCParamStruct*, SMCParamStruct*) { return -1; }
bool smc_read_key_info(io_connect_t, uint32_t, uint32_t*, uint32_t*) { return false; }
bool smc_key_exists(io_connect_t, uint32_t) { return false; }
bool smc_read_byte(io_connect_t, uint32_t, uint8_t*) { return false; }
bool smc_write_byte(io_connect_t, uint32_t, uint8_t) { return false; }
bool smc_write_bytes(io_connect_t, uint32_t, uint8_t, uint8_t, uint8_t, uint8_t) { return false; }
uint32_t smc_fourcc(const char* name) {
  uint32_t code = 0;
  for (int i = 0; i < 4 && name[i] != '\0'; ++i) code = (code << 8) | static_cast<uint8_t>(name[i]);
  return code;
}
