// File access that is safe in a directory every local user can write: no
// link is ever followed, nothing blocks, and a replaced file is never seen
// half written.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

// Writes `bytes` to a fresh temporary in the same directory (created
// exclusively, mode set on the descriptor), then renames it over `path`.
// The temporary is removed on every failure. True on success.
bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Creates a fresh empty file of `mode` the same way and renames it over
// `path`, replacing whatever entry was there (a directory excepted). Returns
// the open read-write descriptor, with `flags` (e.g. O_APPEND) and O_CLOEXEC
// set, or -1 with nothing left behind.
int createFileReplacing(const std::string& path, mode_t mode, int flags);

// Why readRegularFile gave nothing.
enum class FileRefusal { none, missing, notRegularFile, tooLarge, unreadable };

// The whole content of `path` when it is a regular file (not a link, FIFO,
// device or directory) of at most `maxBytes`; none otherwise, and then `why`
// (when given) says which. Never blocks.
std::optional<std::string> readRegularFile(const std::string& path, size_t maxBytes,
                                           FileRefusal* why = nullptr);

// Sets the mode of an existing regular file with a single link, through a
// descriptor opened without following links. False otherwise.
bool setRegularFileMode(const std::string& path, mode_t mode);
