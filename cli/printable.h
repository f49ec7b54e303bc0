// Text from files that any local user can write, made safe for a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `text` with every control character shown escaped, so that a planted file
// cannot send escape sequences to the user's terminal: a C0 byte (line feed
// excepted when `keepLineFeeds`), DEL and every byte that is not part of valid
// UTF-8 as "\x1B", a C1 character (U+0080 to U+009F, such as the one-character
// CSI U+009B) as "\u009B", and a character that shows nothing yet changes how
// a line reads (bidirectional controls, zero-width characters, U+2028,
// U+2029, tag characters) as "\u202E" or "\U000E0001". Valid UTF-8 otherwise
// passes unchanged.
std::string printableText(std::string_view text, bool keepLineFeeds = true);

// How many bytes at the end of `text` begin a UTF-8 sequence that is not
// complete yet (0 to 3): a reader of a growing file keeps them for later.
size_t incompleteUtf8Tail(std::string_view text);
