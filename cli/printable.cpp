// Replacing control bytes before text reaches a terminal.
#include "cli/printable.h"

std::string printableText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) c = '?';
  }
  return out;
}
