// Link-proof, non-blocking file access for the world-writable data directory.
#include "store/safe_file.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state/globals.h"
#include "store/temporary_name.h"
#include "util/posix_io.h"

// The directory part of `path` ("." when there is none).
static std::string_view directoryOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

static std::string_view baseNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// How many names a fresh temporary may try before giving up, as mkostemp.
static constexpr int kNameAttempts = 100;

// Opens a fresh file of `mode` exclusively in the directory of `path` (never
// through a link: O_EXCL refuses any entry already there), with `flags` added
// (O_CLOEXEC always); the name goes to `tmpPath`. The mode is set on the
// descriptor unless the umask is known to be 0. -1 on failure, nothing left.
namespace {
struct TemporaryPath {
  char text[PATH_MAX];
  const char* c_str() const { return text; }
};
}  // namespace
static int createTemporaryBeside(const std::string& path, mode_t mode, int flags, TemporaryPath& tmpPath) {
  static constexpr std::string_view suffix = ".tmp-XXXXXX";
  const std::string_view directory = directoryOf(path);
  const std::string_view base = baseNameOf(path);
  if (directory.size() + base.size() + 2 + suffix.size() >= sizeof tmpPath.text) {
    errno = ENAMETOOLONG;
    return -1;
  }
  char* end = std::copy(directory.begin(), directory.end(), tmpPath.text);
  *end++ = '/', *end++ = '.';
  end = std::copy(base.begin(), base.end(), end);
  end = std::copy(suffix.begin(), suffix.end(), end);
  *end = '\0';
  char* name = end - 6;
  int fd = -1;
  bool modeSet = false;  // the umask took nothing from `mode`
  if (!nextTemporaryName(name)) {
    fd = retryOnInterrupt([&] { return mkostemp(tmpPath.text, O_CLOEXEC | flags); });
  } else {
    for (int attempt = 0; fd < 0 && attempt < kNameAttempts; ++attempt) {
      if (attempt > 0 && !nextTemporaryName(name)) return -1;
      fd = openRetrying(tmpPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | flags, mode);
      if (fd < 0 && errno != EEXIST) return -1;
    }
    if (fd < 0) return -1;
    modeSet = creationMaskCleared;
  }
  if (!modeSet && fchmod(fd, mode) != 0) {
    unlink(tmpPath.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

int createFileReplacing(const std::string& path, mode_t mode, int flags) {
  TemporaryPath tmp;
  const int fd = createTemporaryBeside(path, mode, flags, tmp);
  if (fd < 0) return -1;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// Removes the file open at `fd` from the directory of `path`, wherever
// another user renamed it there (never following a link): so that taken
// temporaries do not pile up in the directory.
static void removeTakenFile(const std::string& path, int fd) {
  struct stat own {};
  const int dirFd = open(std::string(directoryOf(path)).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* listing = dirFd >= 0 && fstat(fd, &own) == 0 ? fdopendir(dirFd) : nullptr;
  if (!listing) {
    if (dirFd >= 0) close(dirFd);
    return;
  }
  while (const dirent* entry = readdir(listing)) {
    struct stat st {};
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_ino == own.st_ino && st.st_dev == own.st_dev) {
      unlinkat(dirFd, entry->d_name, 0);
      break;
    }
  }
  closedir(listing);
}

bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  // The mode is the temporary's own from its creation, so no link planted at
  // `path` is ever followed. No fsync: this runs every ten seconds for
  // months, and a record lost in a power cut is rewritten on the next pass;
  // rename still keeps readers from seeing a partial file. A temporary that
  // another user renamed away before it was moved into place is emptied
  // through its descriptor (what they took holds nothing) and removed where
  // it is found in the directory, and the write is made once more under a
  // new name.
  for (int attempt = 0; attempt < 2; ++attempt) {
    TemporaryPath tmp;
    const int fd = createTemporaryBeside(path, mode, 0, tmp);
    if (fd < 0) return false;
    const bool written = writeAll(fd, bytes);
    const bool moved = written && rename(tmp.c_str(), path.c_str()) == 0;
    const bool stolen = written && !moved && errno == ENOENT;
    if (stolen && ftruncate(fd, 0) != 0) {
    }
    if (stolen) removeTakenFile(path, fd);
    if (!moved) unlink(tmp.c_str());
    if (close(fd) != 0 || !stolen) return moved;
  }
  return false;
}

std::string writeTemporaryBeside(const std::string& path, std::string_view bytes, mode_t mode) {
  TemporaryPath tmp;
  const int fd = createTemporaryBeside(path, mode, 0, tmp);
  if (fd < 0) return "";
  const bool ok = writeAll(fd, bytes);
  if (close(fd) == 0 && ok) return tmp.c_str();
  unlink(tmp.c_str());
  return "";
}

// The modification and change times, whichever member names they have here.
template <typename Stat>
static auto modified(const Stat& st, int) -> decltype(st.st_mtim) { return st.st_mtim; }
template <typename Stat>
static auto modified(const Stat& st, long) -> decltype(st.st_mtimespec) { return st.st_mtimespec; }
template <typename Stat>
static auto changed(const Stat& st, int) -> decltype(st.st_ctim) { return st.st_ctim; }
template <typename Stat>
static auto changed(const Stat& st, long) -> decltype(st.st_ctimespec) { return st.st_ctimespec; }

FileIdentity identityOfStat(const struct stat& st) {
  const auto m = modified(st, 0);
  const auto c = changed(st, 0);
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(m.tv_sec), static_cast<int64_t>(m.tv_nsec), static_cast<int64_t>(c.tv_sec),
          static_cast<int64_t>(c.tv_nsec)};
}

std::optional<FileIdentity> regularFileIdentity(const std::string& path) {
  struct stat st {};
  if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return identityOfStat(st);
}

// readRegularFile(), and with `owner` readOwnedFile().
static std::optional<std::string> readFile(const std::string& path, size_t maxBytes, const uid_t* owner,
                                           FileRefusal* why, FileIdentity* identity) {
  FileRefusal ignored;
  FileRefusal& refusal = why ? *why : ignored;
  refusal = FileRefusal::none;
  // Only the descriptor is examined, so the path is looked up once: O_NOFOLLOW
  // refuses a link, O_NONBLOCK keeps a FIFO from blocking the open, and fstat
  // refuses anything that is not a regular file before a byte is read. (A
  // device node cannot appear here: making one needs root, and a hard link to
  // one in /dev would cross file systems.)
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    refusal = errno == ENOENT ? FileRefusal::missing
              : errno == ELOOP ? FileRefusal::notRegularFile  // a symbolic link
                               : FileRefusal::unreadable;
    return std::nullopt;
  }
  struct stat st {};
  const bool statted = fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > maxBytes) {
    refusal = !statted || st.st_size < 0 ? FileRefusal::unreadable
              : !S_ISREG(st.st_mode)     ? FileRefusal::notRegularFile
                                         : FileRefusal::tooLarge;
    close(fd);
    return std::nullopt;
  }
  if (owner && (st.st_uid != *owner || st.st_nlink != 1 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
    refusal = FileRefusal::untrusted;
    close(fd);
    return std::nullopt;
  }
  if (identity) *identity = identityOfStat(st);
  // Ask for one byte more than the file holds: a short read is its end, so a
  // file read whole costs one read(). A file that grew since fstat is read on,
  // but never beyond one byte more than allowed, and then refused.
  std::string bytes(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  for (;;) {
    const ssize_t n = retryOnInterrupt([&] { return ::read(fd, bytes.data() + got, bytes.size() - got); });
    if (n < 0) {
      close(fd);
      refusal = FileRefusal::unreadable;
      return std::nullopt;
    }
    got += static_cast<size_t>(n);
    if (n == 0 || got < bytes.size() || got > maxBytes) break;
    bytes.resize(std::min(maxBytes + 1, 2 * bytes.size()));
  }
  close(fd);
  if (got > maxBytes) {
    refusal = FileRefusal::tooLarge;
    return std::nullopt;
  }
  bytes.resize(got);
  return bytes;
}

std::optional<std::string> readRegularFile(const std::string& path, size_t maxBytes, FileRefusal* why,
                                           FileIdentity* identity) {
  return readFile(path, maxBytes, nullptr, why, identity);
}

std::optional<std::string> readOwnedFile(const std::string& path, size_t maxBytes, uid_t owner, FileRefusal* why,
                                         FileIdentity* identity) {
  return readFile(path, maxBytes, &owner, why, identity);
}

bool setRegularFileMode(const std::string& path, mode_t mode) {
  struct stat before {};
  if (lstat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_nlink != 1)
    return false;
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                  fchmod(fd, mode) == 0;
  close(fd);
  return ok;
}

// ".NAME.tmp-" and six letters or digits, as mkostemp makes them.
static bool isTemporaryOf(std::string_view entry, std::string_view base) {
  const size_t stem = 1 + base.size() + 5;
  if (entry.size() != stem + 6 || entry[0] != '.' || entry.substr(1, base.size()) != base ||
      entry.substr(1 + base.size(), 5) != ".tmp-")
    return false;
  return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(stem), entry.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

int removeLeftoverTemporaries(const std::string& directory, std::initializer_list<std::string_view> baseNames) {
  const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return 0;
  DIR* listing = fdopendir(dirFd);
  if (!listing) {
    close(dirFd);
    return 0;
  }
  int removed = 0;
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (std::none_of(baseNames.begin(), baseNames.end(), [&](std::string_view b) { return isTemporaryOf(name, b); }))
      continue;
    // unlinkat removes the entry itself and never follows a link; one that a
    // user swapped in after the check is theirs to lose in this directory anyway.
    struct stat st {};
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_nlink == 1 && st.st_uid == geteuid() && unlinkat(dirFd, entry->d_name, 0) == 0)
      ++removed;
  }
  closedir(listing);
  return removed;
}
