// File access that is safe in a directory every local user can write: no
// link is ever followed, nothing blocks, and a replaced file is never seen
// half written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// Writes `bytes` to a fresh temporary in the same directory (created
// exclusively under a name nobody can predict, with `mode`: set on the
// descriptor unless creationMaskCleared), then renames it over `path`.
// The temporary is removed on every failure. True on success.
bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Writes `bytes` to a fresh temporary beside `path` as replaceFileAtomically()
// does, but leaves it there for the caller to move: its path, or "" with
// nothing left behind.
std::string writeTemporaryBeside(const std::string& path, std::string_view bytes, mode_t mode);

// Creates a fresh empty file of `mode` the same way and renames it over
// `path`, replacing whatever entry was there (a directory excepted). Returns
// the open read-write descriptor, with `flags` (e.g. O_APPEND) and O_CLOEXEC
// set, or -1 with nothing left behind.
int createFileReplacing(const std::string& path, mode_t mode, int flags);

// Why readRegularFile gave nothing.
enum class FileRefusal { none, missing, notRegularFile, tooLarge, unreadable, untrusted };

// What tells one content of a file from another without reading it: a file
// replaced (another inode), rewritten (times to the nanosecond) or resized.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
  int64_t changedSeconds = 0, changedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity that `st` describes.
FileIdentity identityOfStat(const struct stat& st);
// The identity of `path` when it is a regular file (no link followed): one
// fstatat. None otherwise (missing, a link, a FIFO, ...).
std::optional<FileIdentity> regularFileIdentity(const std::string& path);

// The whole content of `path` when it is a regular file (not a link, FIFO,
// device or directory) of at most `maxBytes`; none otherwise, and then `why`
// (when given) says which. `identity` (when given) receives that of the
// descriptor read. Never blocks.
std::optional<std::string> readRegularFile(const std::string& path, size_t maxBytes,
                                           FileRefusal* why = nullptr, FileIdentity* identity = nullptr);

// As readRegularFile, for a file only `owner` can have written: owned by
// `owner`, with a single link, and writable by no group or other user.
// Anything else is refused as untrusted.
std::optional<std::string> readOwnedFile(const std::string& path, size_t maxBytes, uid_t owner,
                                         FileRefusal* why = nullptr, FileIdentity* identity = nullptr);

// Sets the mode of an existing regular file with a single link, through a
// descriptor opened without following links. False otherwise.
bool setRegularFileMode(const std::string& path, mode_t mode);

// Removes the temporaries that replaceFileAtomically() and createFileReplacing()
// left in `directory` when the process was killed between creating and
// renaming one: entries named ".NAME.tmp-XXXXXX" for the given base names,
// only when they are regular files with a single link owned by the effective
// user. Links, directories and other users' files stay. Returns the count.
int removeLeftoverTemporaries(const std::string& directory, std::initializer_list<std::string_view> baseNames);
