// Small texts that logs and JSON records share.
#include "util/text.h"

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string hexByte(uint8_t value) {
  static constexpr char digits[] = "0123456789abcdef";
  return {digits[value >> 4], digits[value & 0x0f]};
}
