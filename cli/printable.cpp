// Escaping control characters and broken UTF-8 before text reaches a terminal.
#include "cli/printable.h"

#include <cstdint>
#include <cstdio>

static unsigned byteAt(std::string_view text, size_t i) { return static_cast<unsigned char>(text[i]); }

// The length a UTF-8 sequence starting with `lead` has, 0 for a byte that
// starts none (a continuation byte, C0, C1, F5 to FF).
static size_t sequenceLength(unsigned lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The length of the valid UTF-8 sequence at `i`, 0 if there is none: no
// overlong form, no surrogate, nothing above U+10FFFF.
static size_t validSequenceAt(std::string_view text, size_t i) {
  const unsigned lead = byteAt(text, i);
  const size_t length = sequenceLength(lead);
  if (length <= 1 || i + length > text.size()) return length == 1 ? 1 : 0;
  const unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (byteAt(text, i + 1) < low || byteAt(text, i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byteAt(text, i + k) < 0x80 || byteAt(text, i + k) > 0xBF) return 0;
  }
  return length;
}

static void appendEscape(std::string& out, const char* prefix, unsigned value) {
  static constexpr char digits[] = "0123456789ABCDEF";
  out += prefix;
  out += digits[value >> 4];
  out += digits[value & 0xF];
}

// The code point of the valid `length`-byte sequence at `i`.
static uint32_t codePointAt(std::string_view text, size_t i, size_t length) {
  uint32_t cp = byteAt(text, i) & (0xFFu >> (length + 1));
  for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (byteAt(text, i + k) & 0x3Fu);
  return cp;
}

// Characters that show nothing yet change how a line reads: bidirectional
// marks, embeddings, overrides and isolates, zero-width characters, the line
// and paragraph separators, and tag characters.
static bool changesHowALineReads(uint32_t cp) {
  return cp == 0x061C || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
         (cp >= 0x2060 && cp <= 0x2069) || cp == 0xFEFF || (cp >= 0xE0000 && cp <= 0xE007F);
}

std::string printableText(std::string_view text, bool keepLineFeeds) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned byte = byteAt(text, i);
    const size_t length = byte < 0x20 || byte == 0x7F ? 0 : validSequenceAt(text, i);
    if (byte == '\n' && keepLineFeeds) {
      out += '\n';
      i += 1;
    } else if (length == 0) {
      appendEscape(out, "\\x", byte);
      i += 1;
    } else if (byte == 0xC2 && byteAt(text, i + 1) <= 0x9F) {
      appendEscape(out, "\\u00", byteAt(text, i + 1));
      i += 2;
    } else if (const uint32_t cp = length > 1 ? codePointAt(text, i, length) : 0; changesHowALineReads(cp)) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, cp > 0xFFFF ? "\\U%08X" : "\\u%04X", static_cast<unsigned>(cp));
      out += escaped;
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

size_t incompleteUtf8Tail(std::string_view text) {
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const unsigned byte = byteAt(text, text.size() - back);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    return sequenceLength(byte) > back ? back : 0;
  }
  return 0;
}
