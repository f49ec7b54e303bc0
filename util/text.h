// Small texts that logs and JSON records share.
#pragma once

#include <cstdint>
#include <string>

// "true" or "false".
const char* boolText(bool value);

// Two lower-case hex digits: 0x0a gives "0a".
std::string hexByte(uint8_t value);
