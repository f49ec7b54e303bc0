// Text from files that any local user can write, made safe for a terminal.
#pragma once

#include <string>
#include <string_view>

// `text` with every control byte except line feed and tab replaced by "?", so
// a planted file cannot send escape sequences to the user's terminal. Bytes
// from 0x80 up (UTF-8) pass unchanged.
std::string printableText(std::string_view text);
