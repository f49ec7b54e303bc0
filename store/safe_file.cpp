// placeholder
#include "store/safe_file.h"
bool replaceFileAtomically(const std::string&, std::string_view, mode_t) { return false; }
std::optional<std::string> readRegularFile(const std::string&, size_t) { return std::nullopt; }
bool setRegularFileMode(const std::string&, mode_t) { return false; }
